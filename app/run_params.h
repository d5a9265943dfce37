// The run's parameter block, the help text and the conversions of parameters.
#ifndef VANTOR_APP_RUN_PARAMS_H
#define VANTOR_APP_RUN_PARAMS_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantor::app {

// The six command-line values and the two fixed search arguments.
struct RunParameters {
  std::string pathPattern = "./\\*.tif";
  int32_t CompareMode = 1;
  double StartPixStep = 4.0;
  double FinPixStep = 0.05;
  double MinDiff = 3.0;
  double MaskFraction = 0.5;
  int32_t CoarseSize = 512;
  int32_t TimeLimit = 0;
};

// The help text shown for "?", "\r\n" after every line.
const std::string& HelpText();

// The usage printed by --help: synopsis, parameters, options, exit statuses
// and examples, "\n" line ends.
const std::string& UsageText();

// Whole number in the range of int32_t, optional sign, nothing else.
std::optional<int32_t> StrToInt(std::string_view text);

// A byte count: digits, optionally followed by K, M or G (powers of 1024);
// nothing for anything else, 0, or more than 2^62.
std::optional<int64_t> ParseByteSize(std::string_view text);

// Decimal number with the given decimal separator or a dot (the dot is read
// in every locale): optional blanks around it, optional sign, digits with at
// most one separator, optional exponent.
std::optional<double> StrToFloat(std::string_view text, char separator);

// Why parameters 2 to 6 cannot mean anything for a measurement ("" when they
// can): a mode other than 0 or 1, a start or final step that is not above 0
// and at most 65536 pixels, a negative minimum difference, a mask fraction
// outside [0.01, 1]. --classic takes them as given.
std::string CheckRanges(const RunParameters& params);

// What parameter 2 to 6 takes outside --classic, as "give ..." ends it ("" for
// another index).
const char* ParameterRange(int index);

// The decimal separator of the user's locale (LC_NUMERIC), '.' when it gives none.
char LocaleDecimalSeparator();

// What --reference=VALUE names: the first image, the previous one, the mean
// of the first N images, or a template image file.
struct ReferenceChoice {
  enum Kind { kNone, kFirst, kPrevious, kMean, kTemplate } kind = kNone;
  int32_t frames = 0;  // kMean: N
  std::string value;   // VALUE as given (kTemplate: the file's path)
  bool Fixed() const { return kind == kMean || kind == kTemplate; }
};

// Reads VALUE: "first", "previous", "mean:N" (N a whole number from 1), any
// other text a template file (./first names a file called first). Nothing,
// with *error one line naming the option, for an empty value or a bad N.
std::optional<ReferenceChoice> ParseReference(const std::string& value, std::string* error);

// What ReadParameters found on the command line.
struct ParameterOutcome {
  enum Kind { kRun, kHelp, kError } kind = kRun;
  bool visible = false;  // a minus sign on parameter 3
  std::string error;     // for kError: one line naming the parameter and the cause
  int index = 0;         // for kError: the parameter that is not valid
};

// Fills the parameter block from the positional parameters (the program name
// not included). Parameters after the sixth are ignored.
ParameterOutcome ReadParameters(const std::vector<std::string>& args, RunParameters& params,
                                char separator);

}  // namespace vantor::app

#endif
