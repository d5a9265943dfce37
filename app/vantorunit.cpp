#include "app/vantorunit.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <new>
#include <optional>

#include "app/compare.h"
#include "app/outputs.h"
#include "generic/clock.h"

namespace vantor::app {

namespace {

// Writes to standard output at once; a failure is reported here, with its
// cause, and main turns it into status 3.
void WriteAll(std::FILE* f, const char* data, size_t n) {
  if (n > 0) std::fwrite(data, 1, n, f);
  if (std::fflush(f) != 0)
    std::fprintf(stderr, "vantor: cannot write to standard output: %s\n", std::strerror(errno));
}

std::string CurrentFolder() {
  std::string buf(4096, '\0');
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return "/";
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

// The trailer; a mean or template reference adds its line after CompareMode
// (which --classic never has, so its trailer stays as it always was).
std::string FormatTrailer(const RunParameters& p, const ReferenceChoice& reference, int seconds) {
  char head[64], tail[512];
  const int h = std::snprintf(head, sizeof head, "\r\nCompareMode=%i\r\n", p.CompareMode);
  const int t = std::snprintf(tail, sizeof tail,
                              "StartPixStep=%.4g\r\nFinPixStep=%.4g\r\nMinDiff=%.4g"
                              "\r\nMaskFraction=%.4g\r\nSeconds=%i\r\n",
                              p.StartPixStep, p.FinPixStep, p.MinDiff, p.MaskFraction, seconds);
  std::string s(head, h > 0 ? static_cast<size_t>(h) : 0);
  if (reference.Fixed()) {
    std::string value = reference.value;  // one line, whatever the file's name holds
    for (char& c : value)
      if (c == '\r' || c == '\n') c = ' ';
    s += "Reference=" + value + "\r\n";
  }
  return s.append(tail, t > 0 ? static_cast<size_t>(t) : 0);
}

// Puts --reference and parameter 2 together: "" when they agree (MODE then
// follows the reference), else one line naming both or why the reference
// cannot be used.
std::string ResolveReference(RunContext& ctx, bool modeGiven) {
  const ReferenceChoice& r = ctx.options.reference;
  if (r.kind == ReferenceChoice::kNone) return "";
  const bool previous = r.kind == ReferenceChoice::kPrevious;
  if (modeGiven && (ctx.params.CompareMode == 0) != previous)
    return "--reference=" + r.value + " and parameter 2 (mode " +
           std::to_string(ctx.params.CompareMode) + ") say different things: mode 0 is each " +
           "image against the previous one, mode 1 against the first or another fixed " +
           "reference; leave one out";
  if (r.Fixed() && ctx.options.method == Method::kClassic)
    return "--reference=" + r.value + ": --classic measures against the first or the previous "
           "image only";
  if (r.kind == ReferenceChoice::kMean && ctx.options.follow >= 0.0)
    return "--reference=" + r.value + ": the mean of the first images is not taken while "
           "following (--follow); give a template image file";
  ctx.params.CompareMode = previous ? 0 : 1;
  return "";
}

// FIRST:LAST, FIRST:, :LAST or a single number N (N:N); 0 for an open end.
bool ParseFrames(const std::string& text, int32_t* first, int32_t* last) {
  const size_t colon = text.find(':');
  const std::string a = colon == std::string::npos ? text : text.substr(0, colon);
  const std::string b = colon == std::string::npos ? text : text.substr(colon + 1);
  auto number = [](const std::string& s, int32_t* out) {
    if (s.empty()) {
      *out = 0;
      return true;
    }
    auto n = StrToInt(s);
    if (!n || *n < 1 || s[0] == '+' || s[0] == '-') return false;
    *out = *n;
    return true;
  };
  if (!number(a, first) || !number(b, last)) return false;
  return *last == 0 || *first <= *last;
}

// Puts the full-precision table, streamed while the frames were measured, in
// place; false (with a message) when it was not written whole.
bool SaveCsv(const RunContext& ctx) { return ctx.csv == nullptr || ctx.csv->Finish(); }

}  // namespace

int ShowInNotePad(int writeFirst, const std::string& name, const char* data, int32_t length,
                  bool print) {
  std::string path = name;
  if (writeFirst != 0) {
    path = GetTempPath();
    if (path.size() + name.size() > kPathBufferSize - 1) return -1;
    path += name;
    if (length == 0) length = static_cast<int32_t>(std::strlen(data)) + 1;
    std::string cause;
    if (!WriteWholeFile(path, data, static_cast<size_t>(length), &cause)) {
      std::fprintf(stderr, "vantor: cannot save %s: %s\n", path.c_str(), cause.c_str());
      return -1;
    }
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return -1;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!text.empty() && text.back() == '\0') text.pop_back();
  std::fprintf(stderr, "vantor: %s %s\n", print ? "showing" : "saved the table as", path.c_str());
  std::fflush(stderr);
  if (print) WriteAll(stdout, text.data(), text.size());
  return 0;
}

std::string TableName(const RunContext& ctx) {
  // A part of a sequence has its own table, so that parts run side by side;
  // so has a stack given on its own, so that two stacks of a folder do not
  // share one.
  const std::string base = ctx.options.partial
                               ? "ResVantor_" + std::to_string(ctx.framesWritten.first) + "-" +
                                     std::to_string(ctx.framesWritten.second) + ".txt"
                               : "ResVantor.txt";
  return ctx.stackName.empty() ? base : ctx.stackName + "." + base;
}

// One line on standard error after a run: what was measured and where it
// went. Not with --quiet, and not with --classic, which keeps the program's
// output as it has always been.
void PrintClosingLine(const RunContext& ctx, const std::string& table) {
  if (ctx.options.quiet || ctx.options.method == Method::kClassic) return;
  const RunSummary& s = ctx.summary;
  std::string csv;
  if (ctx.options.csvPath == "-")
    csv = ", CSV to standard output";
  else if (!ctx.options.csvPath.empty())
    csv = ", CSV " + ctx.options.csvPath;
  std::fprintf(stderr,
               "vantor: %d frame%s measured; largest displacement from the %s %.2f px (frame "
               "%d); %d rescued, %d suspect, %d failed; table %s%s\n",
               static_cast<int>(s.frames), s.frames == 1 ? "" : "s",
               ctx.options.reference.kind == ReferenceChoice::kTemplate ? "template" : "first",
               s.largest,
               static_cast<int>(s.largestFrame), static_cast<int>(s.rescued),
               static_cast<int>(s.suspect), static_cast<int>(s.failed), table.c_str(), csv.c_str());
}

int FormCreate(RunContext& ctx, const CompareFunction& compareToPrevious,
               const CompareFunction& compareToFirst, const ClockFunction& clock) {
  // --classic keeps the path buffer it always had and its folder rule by name.
  const bool classic = ctx.options.method == Method::kClassic;
  const size_t longest = classic ? kPathBufferSize - 2 : kLongestPath;
  auto full = GetFullPathName(ctx.params.pathPattern, CurrentFolder(), longest);
  if (!full) {
    if (ctx.params.pathPattern.empty())
      std::fprintf(stderr, "vantor: parameter 1: the path is empty\n");
    else
      std::fprintf(stderr, "vantor: parameter 1: '%s': the full path is longer than %zu characters\n",
                   ctx.params.pathPattern.c_str(), longest);
    return kExitNoImages;
  }
  ctx.form.ShowFolder(full->path);
  const std::string given = full->path;
  const std::string& pattern = ctx.params.pathPattern;
  const FolderRuleOutcome rule =
      classic ? (ApplyFolderRule(*full) ? FolderRuleOutcome::kDone : FolderRuleOutcome::kTooLong)
              : ApplyFolderRuleOnDisk(*full, pattern.back() == '/' || pattern.back() == '\\');
  if (rule == FolderRuleOutcome::kLinkLoop) {
    std::fprintf(stderr, "vantor: parameter 1: '%s': a symbolic-link loop (%s)\n",
                 full->path.c_str(), std::strerror(ELOOP));
    return kExitNoImages;
  }
  if (rule == FolderRuleOutcome::kTooLong) {
    std::fprintf(stderr, "vantor: parameter 1: '%s': the folder path with \"/*.tif\" appended is "
                 "longer than %zu characters\n", full->path.c_str(), longest);
    return kExitNoImages;
  }
  ctx.folderRule = full->path != given;
  std::vector<char> pathBuffer(std::max(kPathBufferSize, full->path.size() + 2), '\0');
  std::memcpy(pathBuffer.data(), full->path.c_str(), full->path.size() + 1);

  const long double t0 = std::trunc(clock());
  ctx.result.clear();
  const CompareFunction& compare = ctx.params.CompareMode == 0 ? compareToPrevious : compareToFirst;
  int count = compare ? compare(ctx, pathBuffer.data(), full->filePart) : -1;
  ctx.form.FinishStatus();
  if (count < 1)
    return ctx.outOfMemory ? kExitOutOfMemory : ctx.refused ? kExitBadParameter : kExitNoImages;
  if (!ctx.options.applyPath.empty()) {
    // Nothing was measured: no table; the closing line says what was moved.
    if (!ctx.options.quiet && !classic)
      std::fprintf(stderr, "vantor: %d frame%s moved by %s into %s\n", count,
                   count == 1 ? "" : "s", ctx.options.applyPath.c_str(),
                   ctx.options.alignedDir.c_str());
    return ctx.outputFailed ? kExitNotSaved : kExitOk;
  }

  const long double t1 = clock();
  // 0.001 as a double lies just above a thousandth, so 1500 ms gives exactly 2.
  const int seconds = static_cast<int>((t1 - t0 + 500.0L) * static_cast<long double>(0.001));
  ctx.result += FormatTrailer(ctx.params, ctx.options.reference, seconds);

  std::string resultPath(pathBuffer.data(), full->filePart);
  const std::string tableName = TableName(ctx);
  resultPath += tableName;
  const bool csvSaved = SaveCsv(ctx) && !ctx.outputFailed;
  const int32_t length = static_cast<int32_t>(ctx.result.size());
  std::string cause = "the path is too long";
  errno = 0;
  if (resultPath.size() <= longest &&
      WriteWholeFile(resultPath, ctx.result.data(), ctx.result.size(), &cause)) {
    PrintClosingLine(ctx, resultPath);
    return csvSaved ? kExitOk : kExitNotSaved;
  }
  if (errno == ENOMEM) {  // the table is not lost for want of a place: memory ran out
    std::fprintf(stderr, "vantor: out of memory\n");
    return kExitOutOfMemory;
  }
  std::fprintf(stderr, "vantor: cannot save %s: %s\n", resultPath.c_str(), cause.c_str());
  // In the temporary folder the table carries its images folder's name, so
  // that the jobs of many folders do not overwrite each other's (--classic
  // keeps the name it always had).
  std::string fallback = tableName;
  if (ctx.options.method != Method::kClassic) {
    std::string folder(pathBuffer.data(), full->filePart);
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    const std::string base = folder.substr(folder.rfind('/') + 1);
    // (unless the name would be longer than a file name may be)
    if (!base.empty() && base.size() + 1 + tableName.size() <= 255)
      fallback = base + "." + tableName;
  }
  // With the CSV on standard output, the table is not printed after it.
  if (ShowInNotePad(1, fallback, ctx.result.data(), length, ctx.options.csvPath != "-") != 0) {
    std::fprintf(stderr, "vantor: the result table is lost\n");
    return kExitNotSaved;
  }
  PrintClosingLine(ctx, "the temporary folder (above)");
  return csvSaved ? kExitOk : kExitNotSaved;
}

int VantorMain(int argc, char** argv) {
  try {
    // Long options may stand anywhere and are not positional parameters.
    std::vector<std::string> args;
    RunOptions options;
    int methods = 0;  // method options given
    int alignedOnly = 0;  // options that mean something with --aligned only
    Method method = Method::kPrecise;
    for (int i = 1; i < argc; ++i) {
      std::string a = argv[i];
      if (a == "-h" || a == "--help") {  // -h is never a folder name here
        WriteAll(stdout, UsageText().data(), UsageText().size());
        return kExitOk;
      } else if (a.rfind("--", 0) != 0 || a.size() == 2) {
        args.push_back(std::move(a));
      } else if (a == "--classic" || a == "--search" || a == "--precise") {
        ++methods;
        method = a == "--classic" ? Method::kClassic
                 : a == "--search" ? Method::kSearch
                                   : Method::kPrecise;
      } else if (a.rfind("--model=", 0) == 0) {
        const std::string name = a.substr(8);
        const char* names[] = {"translation", "rigid", "similarity", "affine"};
        const auto at = std::find(std::begin(names), std::end(names), name);
        if (at == std::end(names)) {
          std::fprintf(stderr, "vantor: %s: give translation, rigid, similarity or affine\n",
                       a.c_str());
          return kExitBadParameter;
        }
        options.model = static_cast<int32_t>(at - std::begin(names));
      } else if (a == "--quiet") {
        options.quiet = true;
      } else if (a.rfind("--aligned=", 0) == 0 || a.rfind("--plot=", 0) == 0) {
        const bool plot = a[2] == 'p';
        std::string value = a.substr(plot ? 7 : 10);
        if (value.empty()) {
          std::fprintf(stderr, "vantor: %s: the %s name is empty\n", a.c_str(),
                       plot ? "file" : "folder");
          return kExitBadParameter;
        }
        // The plot is SVG: a name that says another format would mislabel it.
        if (plot) {
          const size_t dot = value.rfind('.');
          std::string ext = dot == std::string::npos || value.find('/', dot) != std::string::npos
                                ? std::string()
                                : value.substr(dot + 1);
          for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
          if (ext != "svg") {
            std::fprintf(stderr, "vantor: %s: the plot is written as SVG only; give the file "
                         "the ending .svg\n", a.c_str());
            return kExitBadParameter;
          }
        }
        (plot ? options.plotPath : options.alignedDir) = std::move(value);
      } else if (a.rfind("--interpolation=", 0) == 0) {
        const std::string v = a.substr(16);
        if (v != "cubic" && v != "linear" && v != "nearest") {
          std::fprintf(stderr, "vantor: %s: give cubic (the default), linear or nearest\n",
                       a.c_str());
          return kExitBadParameter;
        }
        options.interpolation = v == "cubic" ? 2 : v == "linear" ? 1 : 0;
        ++alignedOnly;
      } else if (a.rfind("--fill=", 0) == 0) {
        std::string v = a.substr(7);
        for (char& c : v) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto number = v == "nan" ? std::optional<double>(std::nan("")) : StrToFloat(v, '.');
        if (!number) {
          std::fprintf(stderr, "vantor: %s: give a number, or nan for floating-point frames\n",
                       a.c_str());
          return kExitBadParameter;
        }
        options.fill = *number;
        options.fillText = a;
        ++alignedOnly;
      } else if (a.rfind("--apply=", 0) == 0) {
        options.applyPath = a.substr(8);
        if (options.applyPath.empty()) {
          std::fprintf(stderr, "vantor: --apply=: the file name is empty\n");
          return kExitBadParameter;
        }
      } else if (a.rfind("--frames=", 0) == 0) {
        if (!ParseFrames(a.substr(9), &options.firstFrame, &options.lastFrame)) {
          std::fprintf(stderr, "vantor: %s: give FIRST:LAST, whole numbers from 1 to 2147483647 "
                       "with FIRST <= LAST, either may be left out\n", a.c_str());
          return kExitBadParameter;
        }
        options.partial = true;
      } else if (a.rfind("--csv=", 0) == 0) {
        options.csvPath = a.substr(6);
        if (options.csvPath.empty()) {
          std::fprintf(stderr, "vantor: --csv=: the file name is empty (use - for standard "
                       "output)\n");
          return kExitBadParameter;
        }
      } else if (a == "--follow" || a.rfind("--follow=", 0) == 0) {
        const auto seconds = a.size() == 8 ? std::optional<double>(60.0)
                                           : StrToFloat(std::string_view(a).substr(9), '.');
        if (!seconds || !std::isfinite(*seconds) || *seconds < 0.0 || *seconds > 1e7) {
          std::fprintf(stderr, "vantor: %s: give the seconds without a new frame after which the "
                       "run ends, a number from 0 to 10000000\n", a.c_str());
          return kExitBadParameter;
        }
        options.follow = *seconds;
      } else if (a == "--version") {
        std::printf("vantor %s\n", VANTOR_VERSION);
        return kExitOk;
      } else if (a.rfind("--threads=", 0) == 0) {
        auto n = StrToInt(std::string_view(a).substr(10));
        if (!n || *n < 1) {
          std::fprintf(stderr, "vantor: %s: the thread count must be a whole number from 1 to "
                       "2147483647\n", a.c_str());
          return kExitBadParameter;
        }
        options.threads = *n;
      } else if (a.rfind("--channel=", 0) == 0) {
        auto n = StrToInt(std::string_view(a).substr(10));
        if (!n || *n < 1) {
          std::fprintf(stderr, "vantor: %s: give the channel measured, a whole number from 1\n",
                       a.c_str());
          return kExitBadParameter;
        }
        options.channel = *n;
      } else if (a.rfind("--z=", 0) == 0) {
        const std::string v = a.substr(4);
        auto n = StrToInt(v);
        if (v == "max" || v == "mean") {
          options.z = v == "max" ? 0 : -1;
        } else if (n && *n >= 1 && v[0] != '+') {
          options.z = *n;
        } else {
          std::fprintf(stderr, "vantor: %s: give max, mean or a slice number from 1\n", a.c_str());
          return kExitBadParameter;
        }
      } else if (a.rfind("--reference=", 0) == 0) {
        std::string error;
        auto choice = ParseReference(a.substr(12), &error);
        if (!choice) {
          std::fprintf(stderr, "vantor: %s\n", error.c_str());
          return kExitBadParameter;
        }
        options.reference = std::move(*choice);
      } else if (a.rfind("--max-frame-memory=", 0) == 0) {
        auto n = ParseByteSize(std::string_view(a).substr(19));
        if (!n) {
          std::fprintf(stderr, "vantor: %s: give a size in bytes of 1 or more, or with K, M or G "
                       "(powers of 1024), e.g. 512M\n", a.c_str());
          return kExitBadParameter;
        }
        options.maxFrameMemory = *n;
      } else {
        std::fprintf(stderr, "vantor: unknown option '%s' (try --help)\n", a.c_str());
        return kExitBadParameter;
      }
    }
    if (alignedOnly > 0 && options.alignedDir.empty()) {
      std::fprintf(stderr, "vantor: --interpolation and --fill say how --aligned=DIR moves the "
                   "frames; give --aligned as well\n");
      return kExitBadParameter;
    }
    if (!options.applyPath.empty()) {
      if (options.alignedDir.empty()) {
        std::fprintf(stderr, "vantor: --apply=%s: give --aligned=DIR, where the moved frames "
                     "go\n", options.applyPath.c_str());
        return kExitBadParameter;
      }
      const char* other = !options.csvPath.empty()  ? "--csv"
                          : !options.plotPath.empty() ? "--plot"
                          : options.follow >= 0.0     ? "--follow"
                          : options.partial           ? "--frames"
                                                      : nullptr;
      if (other != nullptr) {
        std::fprintf(stderr, "vantor: --apply=%s moves frames by a saved table and measures "
                     "nothing; %s cannot be used with it\n", options.applyPath.c_str(), other);
        return kExitBadParameter;
      }
    }
    if (methods > 1) {
      std::fprintf(stderr, "vantor: --classic, --search and --precise exclude each other\n");
      return kExitBadParameter;
    }
    options.method = method;
    if (options.model != 0 && method != Method::kPrecise) {
      std::fprintf(stderr, "vantor: --model measures with the precise method only, not with %s\n",
                   method == Method::kClassic ? "--classic" : "--search");
      return kExitBadParameter;
    }
    TForm1 form;
    RunContext ctx{RunParameters{}, form, std::string(), options};
    ParameterOutcome outcome = ReadParameters(args, ctx.params, LocaleDecimalSeparator());
    if (outcome.kind == ParameterOutcome::kHelp) {
      ShowInNotePad(1, "ParReadMe.txt", HelpText().c_str(), 0);
      return kExitOk;
    }
    if (outcome.kind == ParameterOutcome::kError) {
      // Outside --classic the line also says what the parameter takes.
      const char* range = ParameterRange(outcome.index);
      if (ctx.options.method != Method::kClassic && *range != '\0')
        outcome.error += std::string("; give ") + range;
      std::fprintf(stderr, "vantor: %s\n", outcome.error.c_str());
      return kExitBadParameter;
    }
    if (ctx.options.method != Method::kClassic) {
      const std::string why = CheckRanges(ctx.params);
      if (!why.empty()) {
        std::fprintf(stderr, "vantor: %s\n", why.c_str());
        return kExitBadParameter;
      }
    }
    const std::string conflict = ResolveReference(ctx, args.size() >= 2);
    if (!conflict.empty()) {
      std::fprintf(stderr, "vantor: %s\n", conflict.c_str());
      return kExitBadParameter;
    }
    form.SetVisible(outcome.visible);
    return FormCreate(ctx, CompareToPrevious, CompareToFirst, [] { return GetTimeMsec(); });
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "vantor: out of memory\n");
    return kExitOutOfMemory;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantor: %s\n", e.what());
  }
  return kExitNoImages;
}

}  // namespace vantor::app
