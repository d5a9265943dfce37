#include "app/run_params.h"

#include <langinfo.h>
#include <locale.h>

#include <cctype>
#include <charconv>
#include <cmath>

namespace vantor::app {

const std::string& HelpText() {
  static const std::string text = [] {
    const char* lines[] = {
        "   PARAMETERS for VANTOR.EXE:",
        "1: Path and file name specification, e.g.: C:...IMG*.jpg; DEFAULT: *.tif",
        "2: Compare mode: 0 - previous to next, 1 - first to each;  DEFAULT: 1",
        "3: Starting search step (in pixels);  DEFAULT: 4",
        "4: Final search step (in pixels);  DEFAULT: 0.05",
        "5: Final value of Distance function;  DEFAULT: 3.0",
        "6: Fraction of image used in calculations (fraction of each dimension);  DEFAULT: 0.5",
        "",
        "   NOTES:",
        "  Parameters must be listed in this order. All parameters are optional.",
        "  If parameter 3 (starting search step) is preceeded by minus sign, the current file name "
        "will be displayed while running.",
        "  For each pair of images the search continues until the final search step and the final "
        "value of Distance function drop below the given values for parameters 4 and 5.",
        "  If the question mark is the first parameter, this text will be displayed.",
        "  If the result file can't be saved, then the result table will be displayed with "
        "NotePad.exe",
        "  If no files are found in the path specification, no output is generated.",
    };
    std::string s;
    for (const char* l : lines) {
      s += l;
      s += "\r\n";
    }
    return s;
  }();
  return text;
}

const std::string& UsageText() {
  static const std::string text =
      "Usage: vantor [PATTERN [MODE [START-STEP [FINAL-STEP [MIN-DIFF [FRACTION]]]]]] [OPTION]...\n"
      "       vantor ?\n"
      "\n"
      "Measures the displacement of every image of a sequence against the first\n"
      "(or the previous) image and writes ResVantor.txt in the images' folder.\n"
      "\n"
      "Parameters (positional, all optional):\n"
      "  PATTERN     image files, with * and ?; a folder means its *.tif   [./*.tif]\n"
      "  MODE        0: each image against the previous one, 1: against the first   [1]\n"
      "  START-STEP  starting search step in pixels; a minus sign shows progress   [4]\n"
      "  FINAL-STEP  final search step in pixels   [0.05]\n"
      "  MIN-DIFF    final value of the distance function (mean square grey\n"
      "              difference)   [3.0]\n"
      "  FRACTION    fraction of each image dimension compared   [0.5]\n"
      "  START-STEP, FINAL-STEP and MIN-DIFF apply to --search and --classic only (the\n"
      "  minus sign of START-STEP shows progress with every method); FRACTION to all.\n"
      "  Outside --classic a value that cannot mean anything is status 2: MODE is 0\n"
      "  or 1, the steps lie above 0 and at most 65536 and the first image's larger\n"
      "  side, MIN-DIFF is at least 0, FRACTION from 0.01 to 1.\n"
      "\n"
      "Options (anywhere on the command line):\n"
      "  --threads=N  measure pairs on N threads (default: one per processor); every\n"
      "               thread count gives the same results\n"
      "  --precise    the default method: robust sub-pixel measurement on the\n"
      "               images' full depth, unbiased under noise and held by the\n"
      "               background when objects move\n"
      "  --search     the registration search (START-STEP, FINAL-STEP, MIN-DIFF)\n"
      "               with a global check that rescues lost frames\n"
      "  --classic    the registration search alone: no global check and rescue of\n"
      "               lost frames, no suspect warnings\n"
      "  --model=M    what the precise method measures besides the displacement:\n"
      "               translation (the default), rigid (a rotation), similarity\n"
      "               (rotation and scale) or affine, about the frame's centre; the\n"
      "               CSV gains angle and scale (affine: a11,a12,a21,a22 too) and\n"
      "               the matrix to the first frame, a11_first .. a22_first\n"
      "  --csv=FILE   also write every frame's unrounded displacement, its\n"
      "               displacement from the first frame, distance and quality (ok,\n"
      "               rescued, suspect, failed) as CSV, a line as soon as each frame\n"
      "               is measured; - for standard output\n"
      "  --follow[=SECONDS]  then keep watching the folder and measure each new\n"
      "               matching file once it is complete; end when no new frame came\n"
      "               for SECONDS [60], on SIGINT or SIGTERM, or when a file named\n"
      "               STOP appears; then write the outputs (the CSV grows in place)\n"
      "  --aligned=DIR  write every frame moved onto the first frame into DIR, under\n"
      "               its own name, at its own depth, as uncompressed TIFF (DIR is\n"
      "               created when missing)\n"
      "  --interpolation=cubic|linear|nearest  how --aligned resamples   [cubic]\n"
      "  --fill=VALUE  --aligned's value where no pixel of the frame falls, on every\n"
      "               side: a number in the frames' range, or nan   [0; NaN for\n"
      "               floating-point frames]\n"
      "  --apply=FILE.csv  measure nothing: move the frames by the dx_first, dy_first\n"
      "               (and a11_first .. a22_first) of a CSV written with --csv into\n"
      "               --aligned=DIR (required)\n"
      "  --channel=N  of a hyperstack (an ImageJ or OME-TIFF file of channels and\n"
      "               z-slices), measure channel N [1]; rows name its time points\n"
      "               (stack.tif[t=5]); --aligned writes one hyperstack of the same\n"
      "               axes and calibration, every channel and slice moved\n"
      "  --z=max|mean|N  of a hyperstack's z-slices, measure the maximum or the mean\n"
      "               projection or slice N [max]\n"
      "  --plot=FILE.svg  draw DX and DY against the first frame as an SVG picture\n"
      "  --quiet      no closing line (frames measured, largest displacement,\n"
      "               rescued, suspect and failed frames, where the table went)\n"
      "  --reference=first|previous|mean:N|FILE  what each image is measured\n"
      "               against: the first image, the previous one (as MODE 1 and 0),\n"
      "               the mean of the first N images moved onto the first, or a\n"
      "               template image FILE of the images' size. With mean:N and FILE\n"
      "               the first image is measured too, and DX, DY are the\n"
      "               displacement from the first image (mean:N) or from the\n"
      "               template (FILE); N above the number of images is status 2.\n"
      "               Overrides MODE when MODE is not given; a MODE that says\n"
      "               otherwise is status 2. Not with --classic (first and\n"
      "               previous only) nor mean:N with --follow\n"
      "  --frames=FIRST:LAST  write the rows of these frames only (1-based, either end\n"
      "               may be left out), as the whole run would, into\n"
      "               ResVantor_FIRST-LAST.txt; the CSV lines of parts joined give\n"
      "               the whole run's CSV\n"
      "  --max-frame-memory=SIZE  the memory one image may take when loaded (its\n"
      "               pixels, the method's working copies and the decoder's buffers),\n"
      "               checked before it is decoded: bytes, or with K, M or G (powers\n"
      "               of 1024); default a quarter of the physical memory divided by\n"
      "               the threads, at most 2 GiB. An image over it stops the run\n"
      "               (status 1)\n"
      "  --help, -h   show this text;  --version  show the version\n"
      "\n"
      "Exit status: 0 success (or help shown); 1 the path cannot be formed, no image\n"
      "matches or an image cannot be loaded; 2 a parameter or option is not valid;\n"
      "3 a result table, the CSV, an aligned frame or the plot could not be saved;\n"
      "4 memory ran out.\n"
      "\n"
      "Examples:\n"
      "  vantor /data/run7 1 --csv=/data/run7/drift.csv\n"
      "  vantor '/data/stack/img*.tif' 0 --aligned=/data/stack/aligned\n"
      "  vantor /data/run7 1 4 0.05 0 --search\n";
  return text;
}

std::optional<int32_t> StrToInt(std::string_view text) {
  if (text.empty()) return std::nullopt;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') {
    negative = text[0] == '-';
    i = 1;
  }
  if (i == text.size()) return std::nullopt;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > int64_t{INT32_MAX} + 1) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<int64_t> ParseByteSize(std::string_view text) {
  int shift = 0;
  if (!text.empty()) {
    switch (std::toupper(static_cast<unsigned char>(text.back()))) {
      case 'K': shift = 10; break;
      case 'M': shift = 20; break;
      case 'G': shift = 30; break;
      default: break;
    }
    if (shift != 0) text.remove_suffix(1);
  }
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  constexpr uint64_t kMax = uint64_t{1} << 62;
  if (value == 0 || value > (kMax >> shift)) return std::nullopt;
  return static_cast<int64_t>(value << shift);
}

std::optional<double> StrToFloat(std::string_view text, char separator) {
  auto blank = [](char c) { return c == ' ' || c == '\t'; };
  size_t b = 0, e = text.size();
  while (b < e && blank(text[b])) ++b;
  while (e > b && blank(text[e - 1])) --e;
  std::string s;  // the number rewritten with '.' for from_chars
  size_t i = b;
  if (i < e && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') s += '-';
    ++i;
  }
  size_t digits = 0;
  bool seenSeparator = false;
  for (; i < e; ++i) {
    char c = text[i];
    if (c >= '0' && c <= '9') {
      s += c;
      ++digits;
    } else if ((c == separator || c == '.') && !seenSeparator) {
      s += '.';
      seenSeparator = true;
    } else {
      break;
    }
  }
  if (digits == 0) return std::nullopt;
  if (i < e && (text[i] == 'e' || text[i] == 'E')) {
    s += 'e';
    ++i;
    if (i < e && (text[i] == '+' || text[i] == '-')) s += text[i++];
    size_t expDigits = 0;
    for (; i < e && text[i] >= '0' && text[i] <= '9'; ++i, ++expDigits) s += text[i];
    if (expDigits == 0) return std::nullopt;
  }
  if (i != e) return std::nullopt;
  double value = 0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (ec != std::errc() || ptr != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<ReferenceChoice> ParseReference(const std::string& value, std::string* error) {
  ReferenceChoice r;
  r.value = value;
  if (value == "first") {
    r.kind = ReferenceChoice::kFirst;
  } else if (value == "previous") {
    r.kind = ReferenceChoice::kPrevious;
  } else if (value.rfind("mean:", 0) == 0) {
    const std::string n = value.substr(5);
    const auto frames = StrToInt(n);
    if (!frames || *frames < 1 || n[0] == '+') {
      *error = "--reference=" + value + ": give mean:N, N the number of images averaged from the "
               "first, a whole number from 1 to 2147483647";
      return std::nullopt;
    }
    r.kind = ReferenceChoice::kMean;
    r.frames = *frames;
  } else if (value.empty()) {
    *error = "--reference=: give first, previous, mean:N or a template image file";
    return std::nullopt;
  } else {
    r.kind = ReferenceChoice::kTemplate;
  }
  return r;
}

const char* ParameterRange(int index) {
  switch (index) {
    case 2: return "0 (each image against the previous) or 1 (against the first)";
    case 3:
    case 4: return "a number of pixels above 0 and at most 65536";
    case 5: return "a number of at least 0";
    // Below a hundredth the compared area is a few pixels even of a large frame.
    case 6: return "a number from 0.01 to 1";
  }
  return "";
}

std::string CheckRanges(const RunParameters& p) {
  char value[64];
  auto bad = [&](int index, const char* name, double v) {
    std::snprintf(value, sizeof value, "%.6g", v);
    return "parameter " + std::to_string(index) + " (" + name + "): " + value + " cannot be " +
           "used; give " + ParameterRange(index) + " (--classic takes it as given)";
  };
  if (p.CompareMode != 0 && p.CompareMode != 1) return bad(2, "mode", p.CompareMode);
  const double largest = 65536.0;
  if (!(p.StartPixStep > 0 && p.StartPixStep <= largest))
    return bad(3, "start step", p.StartPixStep);
  if (!(p.FinPixStep > 0 && p.FinPixStep <= largest)) return bad(4, "final step", p.FinPixStep);
  if (!(p.MinDiff >= 0 && std::isfinite(p.MinDiff))) return bad(5, "minimum difference", p.MinDiff);
  if (!(p.MaskFraction >= 0.01 && p.MaskFraction <= 1)) return bad(6, "mask fraction", p.MaskFraction);
  return "";
}

char LocaleDecimalSeparator() {
  locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return '.';
  const char* radix = nl_langinfo_l(RADIXCHAR, loc);
  char sep = (radix != nullptr && radix[0] != '\0' && radix[1] == '\0') ? radix[0] : '.';
  freelocale(loc);
  return sep;
}

ParameterOutcome ReadParameters(const std::vector<std::string>& args, RunParameters& params,
                                char separator) {
  ParameterOutcome out;
  const size_t n = args.size();
  if (n == 0) return out;
  params.pathPattern = args[0];
  if (params.pathPattern == "?") {
    out.kind = ParameterOutcome::kHelp;
    return out;
  }
  auto fail = [&](int index, const std::string& text, const char* what) {
    out.kind = ParameterOutcome::kError;
    out.error = "parameter " + std::to_string(index) + ": '" + text + "' is not a valid " + what;
    out.index = index;
    return out;
  };
  if (n >= 2) {
    auto v = StrToInt(args[1]);
    if (!v) return fail(2, args[1], "integer value");
    params.CompareMode = *v;
  }
  double* targets[] = {&params.StartPixStep, &params.FinPixStep, &params.MinDiff,
                       &params.MaskFraction};
  for (size_t k = 2; k < n && k < 6; ++k) {
    auto v = StrToFloat(args[k], separator);
    if (!v) return fail(static_cast<int>(k + 1), args[k], "floating point value");
    *targets[k - 2] = *v;
  }
  if (params.StartPixStep < 0) {
    params.StartPixStep = -params.StartPixStep;
    out.visible = true;
  }
  // -0 is not below zero: the window stays hidden, but the trailer shows 0.
  if (params.StartPixStep == 0) params.StartPixStep = 0.0;
  return out;
}

}  // namespace vantor::app
