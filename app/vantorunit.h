// The batch run: command line, run control and result saving.
#ifndef VANTOR_APP_VANTORUNIT_H
#define VANTOR_APP_VANTORUNIT_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "app/csv_stream.h"
#include "app/form.h"
#include "app/paths.h"
#include "app/run_params.h"

namespace vantor::app {

// Exit statuses of the program.
enum ExitStatus : int {
  kExitOk = 0,          // run done, or help shown
  kExitNoImages = 1,    // path cannot be formed, or no image compared
  kExitBadParameter = 2,  // also: an output would replace an input or another output
  kExitNotSaved = 3,    // an output was not written whole (the table: not even in TMPDIR)
  kExitOutOfMemory = 4, // memory ran out (nothing is saved)
};

// What a comparison works with: the parameter block, the window and the
// result buffer (plain text, "\r\n" line ends, no terminating zero).
// How pairs are measured: the registration search alone (--classic), the
// search with the global check that rescues lost frames (--search), or the
// precise method (the default).
enum class Method { kClassic, kSearch, kPrecise };

// Options of the command line beyond the six parameters.
struct RunOptions {
  int threads = 0;  // threads registering pairs; 0 means one per processor
  Method method = Method::kPrecise;
  std::string csvPath;  // full-precision table: a file, "-" for standard output, "" for none
  std::string alignedDir;  // folder for the frames moved onto the first, "" for none
  int32_t interpolation = 2;  // --interpolation: kResampleCubic (2), linear (1), nearest (0)
  std::optional<double> fill = {};  // --fill; none: 0, NaN for floating-point frames
  std::string fillText = {};        // --fill's value as given, for messages
  std::string applyPath = {};       // --apply: the saved drift table; nothing is measured
  std::string plotPath;    // SVG drawing of the drift, "" for none
  int32_t firstFrame = 0, lastFrame = 0;  // --frames: 1-based range, 0 for an open end
  bool partial = false;                   // --frames was given
  bool quiet = false;                     // --quiet: no closing line
  double follow = -1.0;  // --follow: seconds without a new frame that end the run; < 0: off
  int64_t maxFrameMemory = 0;             // --max-frame-memory in bytes; 0: the default
  int32_t channel = 0;  // --channel: of hyperstacks, the channel measured (from 1); 0: the first
  int32_t z = 0;        // --z: kSequenceZMax (0), kSequenceZMean (-1) or a slice from 1
  ReferenceChoice reference = {};         // --reference; kind kNone when not given
  int32_t model = 0;  // --model: kDriftTranslation (0) .. kDriftAffine
};

// What the closing line of a run says: the rows written, the largest
// displacement from the first frame among them (failed frames left out) and
// how many were rescued, suspect and failed.
struct RunSummary {
  int32_t frames = 0;
  double largest = 0.0;
  int32_t largestFrame = 1;
  int32_t rescued = 0, suspect = 0, failed = 0;
};

struct RunContext {
  RunParameters params;
  TForm1& form;
  std::string result;
  RunOptions options;
  std::unique_ptr<CsvStream> csv = {};  // the full-precision table when options.csvPath is set
  bool outputFailed = false;  // an aligned frame or the plot could not be written
  bool outOfMemory = false;   // the comparison stopped because memory ran out
  bool refused = false;       // an output would have replaced an input or another output
  std::pair<int32_t, int32_t> framesWritten{0, 0};  // the rows' frames, 1-based
  RunSummary summary = {};
  bool folderRule = false;  // parameter 1 was a folder, made into FOLDER/*.tif
  std::string stackName = {};  // a multi-page file given on its own: its name
};

// A sequence comparison: lists and compares the images of the full path held
// in pathBuffer (zero-terminated, at least kPathBufferSize bytes; the last component starts at
// filePart), appends rows to ctx.result, returns the number of images handled
// (at least 1) or -1. On failure it reports the cause on standard error.
using CompareFunction = std::function<int(RunContext& ctx, char* pathBuffer, size_t filePart)>;

// The result table's file name: ResVantor.txt, with --frames
// ResVantor_FIRST-LAST.txt of ctx.framesWritten.
std::string TableName(const RunContext& ctx);

// The milliseconds clock the run is timed with.
using ClockFunction = std::function<long double()>;

// Writes data to `name` in the temporary folder when writeFirst is nonzero
// (length 0: the zero-terminated text and its terminator), names the file on
// standard error and shows its text on standard output (print false: only
// names it, when standard output carries something else). With writeFirst 0
// the file `name` is shown as it is. Returns 0, or -1 when nothing could be
// shown.
int ShowInNotePad(int writeFirst, const std::string& name, const char* data, int32_t length,
                  bool print = true);

// The whole run after the parameters were read: forms the full path, runs the
// comparison of the chosen mode, appends the trailer and saves the table.
// Returns the exit status.
int FormCreate(RunContext& ctx, const CompareFunction& compareToPrevious,
               const CompareFunction& compareToFirst, const ClockFunction& clock);

// Runs the whole program on the process arguments and returns its exit status.
int VantorMain(int argc, char** argv);

}  // namespace vantor::app

#endif
