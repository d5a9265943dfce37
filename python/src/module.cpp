// The Python module vantor._core: numpy arrays in and out over the library's
// C API. Arrays are read in place where their rows can be wrapped as they are;
// the interpreter lock is released while the library works.
#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <sys/stat.h>

#include <cerrno>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "generic/errors.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/stack_axes.h"
#include "python/src/frames.h"
#include "python/src/sequence.h"
#include "registration/drift.h"

namespace py = pybind11;
using namespace py::literals;

namespace vantor::pymod {
namespace {

// Frames taken from the caller: the views and the arrays behind them.
struct FrameSet {
  std::vector<FrameView> frames;
  std::vector<py::array> owners;
  bool stacked = false;   // one array of frames (else a sequence of arrays)
  py::object stackShape;  // the stacked array's shape
};

// Bytes of the largest rectangle the store holds, plus one.
constexpr int64_t kLargestRect = 0x7FFFFF33;

py::module_ Numpy() { return py::module_::import("numpy"); }

std::string DtypeName(const py::array& a) { return py::str(a.dtype()).cast<std::string>(); }

// The array as numpy sees it; a byte order other than the machine's is
// converted (a copy), anything that is not an array becomes one.
py::array AsArray(const py::handle& obj) {
  py::array a = py::isinstance<py::array>(obj) ? py::reinterpret_borrow<py::array>(obj)
                                                : Numpy().attr("asarray")(obj);
  if (!a.dtype().attr("isnative").cast<bool>())
    a = a.attr("astype")(a.dtype().attr("newbyteorder")("="));
  return a;
}

// The pixel kind of an array whose frames have frameDims dimensions left
// after the leading ones (2 grey, 3 colour); TypeError when none fits.
PixelKind KindOf(const py::array& a, bool colour, const char* what) {
  const char k = a.dtype().kind();
  const auto size = a.dtype().itemsize();
  if (colour) {
    if (k == 'u' && size == 1) return PixelKind::kRgb8;
    if (k == 'u' && size == 2) return PixelKind::kRgb16;
    throw py::type_error(std::string(what) + ": colour frames must be uint8 or uint16, not " +
                         DtypeName(a));
  }
  if (k == 'u' && size == 1) return PixelKind::kU8;
  if (k == 'u' && size == 2) return PixelKind::kU16;
  if (k == 'f' && size == 4) return PixelKind::kF32;
  if (k == 'f' && size == 8) return PixelKind::kF64;
  throw py::type_error(std::string(what) + ": grey frames must be uint8, uint16, float32 or "
                       "float64, not " + DtypeName(a));
}

// True when the frames' rows can be handed to the library as they are.
bool RowsUsable(const py::array& a, int lead, PixelKind kind) {
  const int64_t item = a.itemsize();
  const int64_t w = a.shape(lead + 1);
  const bool colour = kind == PixelKind::kRgb8 || kind == PixelKind::kRgb16;
  if (!a.attr("flags").attr("aligned").cast<bool>()) return false;
  if (colour && (a.strides(lead + 2) != item || a.strides(lead + 1) != 3 * item)) return false;
  if (!colour && a.strides(lead + 1) != item) return false;
  const int64_t pitch = a.strides(lead);
  const int64_t rowBytes = w * PixelBytes(kind);
  if (a.shape(lead) > 1 && (pitch < rowBytes || pitch > std::numeric_limits<int32_t>::max() ||
                            pitch * a.shape(lead) >= kLargestRect))
    return false;
  // Colour rows also meet the grey conversion's test: pitch / width = pixel bytes.
  if (colour && a.shape(lead) > 1 && pitch / w != PixelBytes(kind)) return false;
  return true;
}

// Adds the frames of array a (lead leading frame dimensions: 0 or 1).
void AddFrames(FrameSet* set, py::array a, int lead, const char* what) {
  const int dims = static_cast<int>(a.ndim()) - lead;
  if (dims != 2 && !(dims == 3 && a.shape(lead + 2) == 3))
    throw py::type_error(std::string(what) + ": a frame must be a 2-D grey array (height, "
                         "width) or a 3-D colour array (height, width, 3); got shape " +
                         py::str(a.attr("shape")).cast<std::string>());
  const PixelKind kind = KindOf(a, dims == 3, what);
  const int64_t h = a.shape(lead), w = a.shape(lead + 1);
  if (h < 1 || w < 1) throw py::value_error(std::string(what) + ": a frame is empty");
  // Both sides are below 2^31 (numpy sizes fit 63 bits, and one frame at most 2 GB).
  const int64_t rowBytes = w * (kind == PixelKind::kF32 ? 8 : PixelBytes(kind));
  if (w >= kLargestRect || h >= kLargestRect || rowBytes * h >= kLargestRect)
    throw py::value_error(std::string(what) + ": a frame is too large (2 GB at most)");
  if (!RowsUsable(a, lead, kind)) a = Numpy().attr("ascontiguousarray")(a);
  const int64_t count = lead ? a.shape(0) : 1;
  const auto* base = static_cast<const uint8_t*>(a.data());
  for (int64_t k = 0; k < count; ++k) {
    FrameView f;
    f.data = base + (lead ? k * a.strides(0) : 0);
    f.width = static_cast<int32_t>(w);
    f.height = static_cast<int32_t>(h);
    f.rowStride = h > 1 ? a.strides(lead) : w * PixelBytes(kind);
    f.kind = kind;
    set->frames.push_back(f);
  }
  set->owners.push_back(std::move(a));
}

// Checks that every frame has the first one's kind and size.
void CheckAlike(const FrameSet& set, const char* what) {
  const FrameView& first = set.frames[0];
  for (size_t k = 1; k < set.frames.size(); ++k) {
    const FrameView& f = set.frames[k];
    if (f.kind != first.kind)
      throw py::type_error(std::string(what) + ": frame " + std::to_string(k) + " is " +
                           KindName(f.kind) + ", frame 0 " + KindName(first.kind));
    if (f.width != first.width || f.height != first.height)
      throw py::value_error(std::string(what) + ": frame " + std::to_string(k) + " is " +
                            std::to_string(f.height) + " x " + std::to_string(f.width) +
                            " (height x width), frame 0 " + std::to_string(first.height) +
                            " x " + std::to_string(first.width));
  }
}

// A stack (frames, height, width[, 3]) or a sequence of frames.
FrameSet TakeFrames(const py::object& frames, const char* what) {
  FrameSet set;
  if (py::isinstance<py::array>(frames)) {
    py::array a = AsArray(frames);
    if (a.ndim() != 3 && a.ndim() != 4)
      throw py::type_error(std::string(what) + ": frames must be a 3-D array (frames, height, "
                           "width), a 4-D colour array (frames, height, width, 3) or a sequence "
                           "of 2-D arrays; got " + std::to_string(a.ndim()) + " dimensions");
    set.stacked = true;
    set.stackShape = a.attr("shape");
    AddFrames(&set, a, 1, what);
  } else if (py::isinstance<py::sequence>(frames) && !py::isinstance<py::str>(frames)) {
    for (const py::handle item : frames) AddFrames(&set, AsArray(item), 0, what);
  } else {
    throw py::type_error(std::string(what) + ": frames must be a numpy array or a sequence of "
                         "arrays, not " + py::str(py::type::of(frames)).cast<std::string>());
  }
  if (set.frames.empty()) throw py::value_error(std::string(what) + ": no frames");
  CheckAlike(set, what);
  return set;
}

// The exception of a failed library call, by its kind, with its text:
// MemoryError, ValueError (a parameter), OSError (a file), else RuntimeError.
[[noreturn]] void RaiseFailure(const Failure& f) {
  PyObject* type = f.kind == VANTOR_ERROR_MEMORY      ? PyExc_MemoryError
                   : f.kind == VANTOR_ERROR_PARAMETER ? PyExc_ValueError
                   : f.kind == VANTOR_ERROR_FILE || f.kind == VANTOR_ERROR_FORMAT
                       ? PyExc_OSError
                       : PyExc_RuntimeError;
  const std::string text = !f.text.empty()                  ? f.text
                           : f.kind == VANTOR_ERROR_MEMORY ? "out of memory"
                                                           : "the library call failed";
  PyErr_SetString(type, text.c_str());
  throw py::error_already_set();
}

// Before a library call whose failure is read with CallFailure.
void StartCall() {
  mrClearLastError();
  errno = 0;
}

// The failure the call just made left in this thread's record; a failed
// allocation in a call that leaves none counts as memory.
Failure CallFailure() {
  return Failure{mrLastErrorKind(), mrLastError()};
}

int ThreadCount(const std::optional<int>& threads) {
  if (!threads) return ProcessorCount();
  if (*threads < 1) throw py::value_error("threads must be at least 1");
  return *threads;
}

DriftOptions Options(double startStep, double finalStep, double minDiff, double maskFraction,
                     const std::string& method) {
  DriftOptions o{};
  if (method == "classic")
    o.method = kDriftClassic;
  else if (method == "search")
    o.method = kDriftDefault;
  else if (method == "precise" || method == "default")
    o.method = kDriftPrecise;
  else
    throw py::value_error("method must be \"precise\" (the default), \"search\" or \"classic\", not \"" +
                          method + "\"");
  if (!(std::isfinite(startStep) && startStep > 0))
    throw py::value_error("start_step must be a positive number");
  if (!(std::isfinite(finalStep) && finalStep > 0))
    throw py::value_error("final_step must be a positive number");
  if (!(std::isfinite(minDiff) && minDiff >= 0))
    throw py::value_error("min_diff must be a number of at least 0");
  if (!(maskFraction > 0 && maskFraction <= 1))
    throw py::value_error("mask_fraction must lie above 0 and at most 1");
  o.startStep = startStep;
  o.finalStep = finalStep;
  o.minDiff = minDiff;
  o.coarseSize = 512;  // the batch program's
  o.maskFraction = maskFraction;
  return o;
}

// The engine counts y up the picture; arrays count rows down.
double Down(double y) { return y == 0.0 ? 0.0 : -y; }

std::vector<SequenceFrame> Run(const FrameSet& set, bool previous, const DriftOptions& options,
                               int threads, const FixedReference& fixed = {}) {
  std::vector<SequenceFrame> results;
  Failure error;
  bool ok;
  {
    py::gil_scoped_release release;
    ok = MeasureSequence(set.frames, previous, options, threads, &results, &error, fixed);
  }
  if (!ok) RaiseFailure(error);
  return results;
}

py::object Register(py::object reference, py::object image, double startStep, double finalStep,
                    double minDiff, double maskFraction, const std::string& method) {
  const DriftOptions options = Options(startStep, finalStep, minDiff, maskFraction, method);
  FrameSet set;
  AddFrames(&set, AsArray(reference), 0, "reference");
  AddFrames(&set, AsArray(image), 0, "image");
  const FrameView &a = set.frames[0], &b = set.frames[1];
  if (a.kind != b.kind)
    throw py::type_error(std::string("register: image is ") + KindName(b.kind) +
                         ", reference " + KindName(a.kind));
  if (a.width != b.width || a.height != b.height)
    throw py::value_error("register: image is " + std::to_string(b.height) + " x " +
                          std::to_string(b.width) + " (height x width), reference " +
                          std::to_string(a.height) + " x " + std::to_string(a.width));
  const std::vector<SequenceFrame> r = Run(set, false, options, 1);
  const DriftResult& p = r[1].result;
  // The result type lives in the package, where pickle finds it.
  return py::module_::import("vantor")
      .attr("Registration")(p.dx, Down(p.dy), p.distance, DriftQualityName(p.quality));
}

// measure's reference (vantor.measure reads the user's value): None, ("mean",
// N), ("file", path) or ("array", a 2-D or colour array).
FixedReference ReferenceOf(const py::object& reference, FrameSet* owner) {
  FixedReference fixed;
  if (reference.is_none()) return fixed;
  const py::tuple t = reference.cast<py::tuple>();
  const std::string kind = t[0].cast<std::string>();
  if (kind == "mean") {
    fixed.mode = kSequenceMean;
    fixed.meanFrames = t[1].cast<int32_t>();
  } else if (kind == "file") {
    fixed.mode = kSequenceTemplate;
    fixed.path = t[1].cast<std::string>();
  } else {
    fixed.mode = kSequenceTemplate;
    AddFrames(owner, AsArray(t[1]), 0, "reference");
    fixed.view = owner->frames.back();
  }
  return fixed;
}

py::object Measure(py::object frames, const std::string& mode, double startStep,
                   double finalStep, double minDiff, double maskFraction,
                   const std::string& method, std::optional<int> threads, py::object reference,
                   const std::string& model) {
  if (mode != "first" && mode != "previous")
    throw py::value_error("mode must be \"first\" or \"previous\", not \"" + mode + "\"");
  DriftOptions options = Options(startStep, finalStep, minDiff, maskFraction, method);
  const char* models[] = {"translation", "rigid", "similarity", "affine"};
  const auto at = std::find(std::begin(models), std::end(models), model);
  if (at == std::end(models))
    throw py::value_error("model must be \"translation\", \"rigid\", \"similarity\" or "
                          "\"affine\", not \"" + model + "\"");
  options.model = static_cast<int32_t>(at - std::begin(models));
  if (options.model != kDriftTranslation && options.method != kDriftPrecise)
    throw py::value_error("model \"" + model + "\" needs the method \"precise\"");
  const int nThreads = ThreadCount(threads);
  const FrameSet set = TakeFrames(frames, "measure");
  const bool previous = mode == "previous";
  FrameSet templateOwner;
  const FixedReference fixed = ReferenceOf(reference, &templateOwner);
  const bool measuredFirst = fixed.mode != kSequenceFirst;
  const std::vector<SequenceFrame> r = Run(set, previous, options, nThreads, fixed);

  const py::ssize_t n = static_cast<py::ssize_t>(r.size());
  py::array_t<double> dx(n), dy(n), fx(n), fy(n), dist(n), sigma(n);
  py::list quality;
  const bool precise = options.method == kDriftPrecise;
  for (py::ssize_t k = 0; k < n; ++k) {
    const DriftResult& p = r[k].result;
    // The standard error as the program's CSV gives it: NaN where it has none.
    sigma.mutable_at(k) = k == 0 && !measuredFirst ? 0.0
                          : precise && p.quality != kDriftFailed && p.precision >= 0.0
                              ? std::min(p.precision, 1e6)
                              : std::numeric_limits<double>::quiet_NaN();
    dx.mutable_at(k) = p.dx;
    dy.mutable_at(k) = Down(p.dy);
    fx.mutable_at(k) = r[k].dxFirst;
    fy.mutable_at(k) = Down(r[k].dyFirst);
    dist.mutable_at(k) = p.distance;
    quality.append(DriftQualityName(p.quality));
  }
  py::module_ np = Numpy();
  py::object dtype = np.attr("dtype")(py::module_::import("vantor._core").attr("_RESULT_FIELDS"));
  py::object out = np.attr("zeros")(n, dtype);
  out.attr("__setitem__")("dx", dx);
  out.attr("__setitem__")("dy", dy);
  out.attr("__setitem__")("dx_first", fx);
  out.attr("__setitem__")("dy_first", fy);
  out.attr("__setitem__")("distance", dist);
  out.attr("__setitem__")("quality", quality);
  out.attr("__setitem__")("sigma", sigma);
  if (options.model == kDriftTranslation) return out;
  // The motion, rows counted down as the arrays hold them: the matrix's
  // off-diagonal terms change sign, the angle (as displayed) does not.
  py::list fields;
  for (py::handle f : py::module_::import("vantor._core").attr("_RESULT_FIELDS")) fields.append(f);
  const char* extra[] = {"angle",     "scale",     "angle_first", "scale_first",
                         "a11",       "a12",       "a21",         "a22",
                         "a11_first", "a12_first", "a21_first",   "a22_first"};
  for (const char* name : extra) fields.append(py::make_tuple(name, "f8"));
  py::object wide = np.attr("zeros")(n, np.attr("dtype")(fields));
  for (py::handle name : out.attr("dtype").attr("names"))
    wide.attr("__setitem__")(name, out.attr("__getitem__")(name));
  std::vector<py::array_t<double>> cols;
  for (size_t i = 0; i < std::size(extra); ++i) cols.emplace_back(n);
  for (py::ssize_t k = 0; k < n; ++k) {
    const DriftResult& p = r[k].result;
    const double* m = r[k].matrixFirst;
    const bool first = k == 0;
    double angleFirst = 0, scaleFirst = 1;
    DriftMatrixTurn(m, &angleFirst, &scaleFirst);
    const double values[] = {first ? 0.0 : p.angle, first ? 1.0 : p.scale, angleFirst, scaleFirst,
                             first ? 1.0 : p.a11, first ? 0.0 : -p.a12, first ? 0.0 : -p.a21,
                             first ? 1.0 : p.a22, m[0], -m[1], -m[2], m[3]};
    for (size_t i = 0; i < std::size(extra); ++i) cols[i].mutable_at(k) = values[i];
  }
  for (size_t i = 0; i < std::size(extra); ++i) wide.attr("__setitem__")(extra[i], cols[i]);
  return wide;
}

// The shifts of align: measure's result (dx_first, dy_first, and with a
// motion model a11_first .. a22_first into *matrices, four per frame) or an
// (n, 2) array.
void TakeShifts(const py::object& shifts, size_t n, std::vector<double>* dx,
                std::vector<double>* dy, std::vector<double>* matrices) {
  py::array a = AsArray(shifts);
  py::object names = a.dtype().attr("names");
  py::array_t<double> x, y;
  if (!names.is_none()) {
    bool has = false;
    for (const py::handle name : names) has |= name.cast<std::string>() == "dx_first";
    if (!has) throw py::type_error("align: shifts has no fields dx_first and dy_first");
    // A motion model's matrices, undone with the displacement.
    for (const py::handle name : names)
      if (name.cast<std::string>() == "a11_first") {
        const char* fields[] = {"a11_first", "a12_first", "a21_first", "a22_first"};
        matrices->assign(4 * static_cast<size_t>(a.shape(0)), 0.0);
        for (size_t i = 0; i < 4; ++i) {
          py::array_t<double> v = py::array_t<double>::ensure(a[py::str(fields[i])]);
          if (!v || v.ndim() != 1) throw py::value_error("align: shifts cannot be read");
          for (py::ssize_t k = 0; k < v.shape(0); ++k) {
            (*matrices)[4 * static_cast<size_t>(k) + i] = v.at(k);
            if (!std::isfinite(v.at(k)))
              throw py::value_error("align: the matrix of shift " + std::to_string(k) +
                                    " is not finite");
          }
        }
      }
    x = py::array_t<double>::ensure(a[py::str("dx_first")]);
    y = py::array_t<double>::ensure(a[py::str("dy_first")]);
  } else {
    if (a.ndim() != 2 || a.shape(1) != 2)
      throw py::value_error("align: shifts must be measure's result or an (n, 2) array of dx, "
                            "dy; got shape " + py::str(a.attr("shape")).cast<std::string>());
    const char k = a.dtype().kind();
    if (k != 'f' && k != 'i' && k != 'u')
      throw py::type_error("align: shifts must be numbers, not " + DtypeName(a));
    py::array_t<double> d = py::array_t<double>::ensure(a);
    x = py::array_t<double>::ensure(d[py::make_tuple(py::slice(0, a.shape(0), 1), 0)]);
    y = py::array_t<double>::ensure(d[py::make_tuple(py::slice(0, a.shape(0), 1), 1)]);
  }
  if (!x || !y || x.ndim() != 1) throw py::value_error("align: shifts cannot be read");
  if (static_cast<size_t>(x.shape(0)) != n)
    throw py::value_error("align: " + std::to_string(x.shape(0)) + " shifts for " +
                          std::to_string(n) + " frames");
  dx->resize(n);
  dy->resize(n);
  for (size_t k = 0; k < n; ++k) {
    (*dx)[k] = x.at(k);
    (*dy)[k] = y.at(k);
    if (!std::isfinite((*dx)[k]) || !std::isfinite((*dy)[k]))
      throw py::value_error("align: shift " + std::to_string(k) + " is not a finite number");
  }
}

py::object Align(py::object frames, py::object shifts, int interpolation, double fill,
                 std::optional<int> threads) {
  const int nThreads = ThreadCount(threads);
  const FrameSet set = TakeFrames(frames, "align");
  std::vector<double> dx, dy, matrices;
  TakeShifts(shifts, set.frames.size(), &dx, &dy, &matrices);
  py::module_ np = Numpy();
  const py::dtype dtype = set.owners[0].dtype();
  std::vector<AlignTarget> targets;
  py::object out;
  auto target = [&](const py::array& a, int64_t k, bool lead) {
    AlignTarget t;
    t.data = static_cast<uint8_t*>(const_cast<void*>(a.data())) + (lead ? k * a.strides(0) : 0);
    t.pitch = a.strides(lead ? 1 : 0);
    targets.push_back(t);
  };
  if (set.stacked) {
    py::array a = np.attr("empty")(set.stackShape, dtype);
    for (size_t k = 0; k < set.frames.size(); ++k) target(a, static_cast<int64_t>(k), true);
    out = a;
  } else {
    py::list list;
    for (const FrameView& f : set.frames) {
      py::tuple shape = f.kind == PixelKind::kRgb8 || f.kind == PixelKind::kRgb16
                            ? py::make_tuple(f.height, f.width, 3)
                            : py::make_tuple(f.height, f.width);
      py::array a = np.attr("empty")(shape, dtype);
      target(a, 0, false);
      list.append(a);
    }
    out = list;
  }
  Failure error;
  bool ok;
  {
    py::gil_scoped_release release;
    ok = AlignFrames(set.frames, dx, dy, matrices, targets, interpolation, fill, nThreads, &error);
  }
  if (!ok) RaiseFailure(error);
  return out;
}

// Raises OSError for a file that cannot be read, with the library's reason:
// "path: reason", or for a file that does not exist or cannot be reached the
// errno's subclass (FileNotFoundError, ...) with its filename.
[[noreturn]] void RaiseFileError(const std::string& path, const std::string& reason) {
  struct stat st;
  int err = 0;
  if (::stat(path.c_str(), &st) != 0) err = errno;
  const py::object name = py::module_::import("os").attr("fsdecode")(py::bytes(path));
  const py::object type = py::reinterpret_borrow<py::object>(PyExc_OSError);
  py::object exc = err != 0 ? type(err, reason, name)
                            : type(py::str(name) + py::str(": ") + py::str(reason));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
  throw py::error_already_set();
}

// The path as the file system takes it, refused (ValueError) when it holds a
// NUL character, which would cut it short; a folder (IsADirectoryError) and
// anything else that is not a regular file (a device, a pipe: OSError) are
// named as what they are rather than read.
std::string PathOf(const py::object& pathObj) {
  const py::module_ os = py::module_::import("os");
  const std::string path = os.attr("fsencode")(pathObj).cast<std::string>();
  const py::object name = os.attr("fsdecode")(py::bytes(path));
  if (path.find('\0') != std::string::npos)
    throw py::value_error(py::repr(name).cast<std::string>() + ": the path holds a NUL character");
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    const py::object type = py::reinterpret_borrow<py::object>(PyExc_OSError);
    const py::object exc = S_ISDIR(st.st_mode)
                               ? type(EISDIR, "is a folder", name)
                               : type(py::str(name) + py::str(": is not a regular file"));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw py::error_already_set();
  }
  return path;
}

int32_t PageCount(const py::object& pathObj) {
  const std::string path = PathOf(pathObj);
  int32_t count;
  std::string reason;
  Failure failure;
  {
    py::gil_scoped_release release;
    StartCall();
    count = mrPageCount(path.c_str());
    if (count < 0) {
      failure = CallFailure();
      reason = mrLastLoadError();
    }
  }
  if (count < 0 && failure.kind == VANTOR_ERROR_MEMORY) RaiseFailure(failure);
  if (count < 0) RaiseFileError(path, reason);
  return count;
}

// The rectangle's rows top row first (row 0 of a loaded rectangle is the
// bottom of the picture), as the dtype its depth calls for.
py::array ToArray(int32_t handle) {
  int32_t w = 0, h = 0, pitch = 0;
  void* pixels = nullptr;
  const int32_t depth = mrGetExtendedInfo(handle, &w, &h, &pitch, &pixels);
  std::vector<py::ssize_t> shape{h, w};
  std::string dtype;
  switch (depth) {
    case 1: dtype = "bool"; break;
    case 4:
    case 8: dtype = "uint8"; break;
    case 16: dtype = "uint16"; break;
    case 32: dtype = "int32"; break;
    case 64: dtype = "float64"; break;
    case 24: dtype = "uint8"; shape.push_back(3); break;
    case 48: dtype = "uint16"; shape.push_back(3); break;
    default: throw py::type_error(std::to_string(depth) + "-bit images cannot be returned");
  }
  py::array out = Numpy().attr("empty")(py::cast(shape), dtype);
  auto* dst = static_cast<uint8_t*>(out.mutable_data());
  const auto* src = static_cast<const uint8_t*>(pixels);
  const size_t outRow = static_cast<size_t>(out.strides(0));
  {
    py::gil_scoped_release release;
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* s = src + static_cast<int64_t>(h - 1 - y) * pitch;
      uint8_t* d = dst + y * outRow;
      switch (depth) {
        case 1:
          for (int32_t x = 0; x < w; ++x) d[x] = (s[x >> 3] >> (x & 7)) & 1;
          break;
        case 4:
          for (int32_t x = 0; x < w; ++x) d[x] = (s[x >> 1] >> ((x & 1) * 4)) & 15;
          break;
        case 24:  // blue, green, red -> red, green, blue
          for (int32_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) d[3 * x + c] = s[3 * x + 2 - c];
          break;
        case 48:
          for (int32_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) std::memcpy(d + 6 * x + 2 * c, s + 6 * x + 4 - 2 * c, 2);
          break;
        default:
          std::memcpy(d, s, outRow);
      }
    }
  }
  return out;
}

py::array Read(const py::object& pathObj, int64_t page, int64_t maxFrameMemory) {
  const std::string path = PathOf(pathObj);
  if (page < 1) throw py::value_error("page must be 1 or more");
  int32_t handle, count = 1;
  std::string reason;
  Failure failure;
  {
    py::gil_scoped_release release;
    StartCall();
    if (page > 1) count = mrPageCount(path.c_str());
    // The frame is checked against the budget before it is decoded.
    VantorLoadLimits limits{};
    limits.maxBytes = static_cast<uint64_t>(SequenceFrameBudget(maxFrameMemory, 1));
    limits.budgetName = "max_frame_memory";
    handle = count >= page ? mrReadFileLimited(path.c_str(), static_cast<int32_t>(page), &limits)
                           : -1;
    if (handle < 1) {
      failure = CallFailure();
      reason = mrLastLoadError();
    }
  }
  if (handle < 1 && failure.kind == VANTOR_ERROR_MEMORY) RaiseFailure(failure);
  if (count >= 1 && page > count)
    throw py::value_error(
        py::str("{}: has {} page{}, not a page {}")
            .format(py::module_::import("os").attr("fsdecode")(py::bytes(path)), count,
                    count == 1 ? "" : "s", page)
            .cast<std::string>());
  if (handle < 1) RaiseFileError(path, reason);
  Rect owner(handle);
  return ToArray(handle);
}

std::unique_ptr<FollowRun> StartFollow(const std::string& pattern, const std::string& mode,
                                       double idle, double startStep, double finalStep,
                                       double minDiff, double maskFraction,
                                       const std::string& method, std::optional<int> threads) {
  if (mode != "first" && mode != "previous")
    throw py::value_error("mode must be \"first\" or \"previous\", not \"" + mode + "\"");
  if (!(idle >= 0 && std::isfinite(idle))) throw py::value_error("idle must be a number of seconds");
  const DriftOptions options = Options(startStep, finalStep, minDiff, maskFraction, method);
  return std::make_unique<FollowRun>(pattern, mode == "previous", options, ThreadCount(threads),
                                     idle);
}

// The next frame's result as a tuple (see vantor.follow), None once the run
// is over; waits with the interpreter free, and lets Ctrl-C through.
py::object FollowNext(FollowRun& run, bool precise) {
  for (;;) {
    FollowedFrame f;
    Failure error;
    int got;
    {
      py::gil_scoped_release release;
      got = run.Next(100, &f, &error);
    }
    if (got < 0 && error.kind != 0) RaiseFailure(error);
    if (got < 0) return py::none();
    if (got == 0) {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      continue;
    }
    const DriftResult& p = f.result;
    const double sigma = f.frame == 1 ? 0.0
                         : precise && p.quality != kDriftFailed && p.precision >= 0.0
                             ? std::min(p.precision, 1e6)
                             : std::numeric_limits<double>::quiet_NaN();
    const bool first = f.frame == 1;
    return py::make_tuple(f.frame, f.name, first ? 0.0 : p.dx, first ? 0.0 : Down(p.dy),
                          f.dxFirst, Down(f.dyFirst), first ? 0.0 : p.distance,
                          DriftQualityName(p.quality), sigma, f.outOfOrder);
  }
}

// A file's axes and calibration (mrStackAxes) as a dict.
py::dict StackAxes(const py::object& pathObj) {
  const std::string path = PathOf(pathObj);
  VantorStackAxes a{};
  int32_t done;
  Failure failure;
  {
    py::gil_scoped_release release;
    StartCall();
    done = mrStackAxes(path.c_str(), &a);
    if (done < 0) failure = CallFailure();
  }
  if (done < 0 && failure.kind == VANTOR_ERROR_MEMORY) RaiseFailure(failure);
  if (done < 0) {
    const std::string lead = path + ": ";  // the path is named once
    RaiseFileError(path, failure.text.rfind(lead, 0) == 0 ? failure.text.substr(lead.size())
                                                            : failure.text);
  }
  static const char* const kKinds[] = {"plain", "imagej", "ome"};
  py::dict d;
  d["kind"] = kKinds[a.kind];
  d["pages"] = a.pages;
  d["channels"] = a.channels;
  d["slices"] = a.slices;
  d["times"] = a.times;
  d["strides"] = py::make_tuple(a.strideC, a.strideZ, a.strideT);
  d["float32"] = a.sampleFormat == 3 && a.bitsPerSample == 32;
  d["pixel_size"] = py::make_tuple(a.pixelWidth, a.pixelHeight);
  d["unit"] = py::str(a.unit);
  d["z_spacing"] = a.zSpacing;
  d["frame_interval"] = a.frameInterval;
  return d;
}

}  // namespace
}  // namespace vantor::pymod

// The package vantor (vantor/__init__.py) checks the arguments, converts the
// dtypes the library does not take and carries the documentation; these are
// the calls it makes.
PYBIND11_MODULE(_core, m) {
  using namespace vantor::pymod;
  m.doc() = "The compiled calls behind the package vantor; use vantor's functions.";
  m.attr("__version__") = VANTOR_VERSION;
  m.attr("_RESULT_FIELDS") = py::eval(
      "[('dx', 'f8'), ('dy', 'f8'), ('dx_first', 'f8'), ('dy_first', 'f8'), "
      "('distance', 'f8'), ('quality', 'U8'), ('sigma', 'f8')]");

  m.def("register", &Register, "reference"_a, "image"_a, py::kw_only(), "start_step"_a = 4.0,
        "final_step"_a = 0.05, "min_diff"_a = 3.0, "mask_fraction"_a = 0.5,
        "method"_a = "precise", "See vantor.register.");
  m.def("measure", &Measure, "frames"_a, py::kw_only(), "mode"_a = "first",
        "start_step"_a = 4.0, "final_step"_a = 0.05, "min_diff"_a = 3.0,
        "mask_fraction"_a = 0.5, "method"_a = "precise", "threads"_a = py::none(),
        "reference"_a = py::none(), "model"_a = "translation", "See vantor.measure.");
  m.def("align", &Align, "frames"_a, "shifts"_a, py::kw_only(), "interpolation"_a, "fill"_a,
        "threads"_a = py::none(),
        "See vantor.align.");
  m.def("read", &Read, "path"_a, "page"_a = 1, "max_frame_memory"_a = 0, "See vantor.read.");
  py::class_<FollowRun>(m, "_Follow", "A followed folder; see vantor.follow.")
      .def(py::init(&StartFollow), "pattern"_a, py::kw_only(), "mode"_a = "first",
           "idle"_a = 60.0, "start_step"_a = 4.0, "final_step"_a = 0.05, "min_diff"_a = 3.0,
           "mask_fraction"_a = 0.5, "method"_a = "precise", "threads"_a = py::none())
      .def("next", &FollowNext, "precise"_a)
      .def("stop", &FollowRun::Stop);
  m.def("page_count", &PageCount, "path"_a, "See vantor.page_count.");
  m.def("stack_axes", &StackAxes, "path"_a, "See vantor.read_stack.");
}
