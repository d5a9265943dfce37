// The parsers behind mrStackAxes, apart from the file, for the tests.
#ifndef VANTOR_MEMRECT_STACK_AXES_INTERNAL_H
#define VANTOR_MEMRECT_STACK_AXES_INTERNAL_H

#include <string>
#include <string_view>

#include "memrect/stack_axes.h"

namespace vantor {

// An ImageJ description's axes and calibration into *axes (pages and the
// first page's fields already set). False, *axes untouched, when the text is
// no ImageJ description or its counts do not give axes->pages pages.
bool ParseImageJAxes(std::string_view text, VantorStackAxes* axes);

// The same for OME-XML: the first Pixels element. fileName is the file's own
// name: planes in any other file make it a set, *error names one (returns
// false with *error set); malformed XML or other counts return false with
// *error empty.
bool ParseOmeAxes(std::string_view text, std::string_view fileName, VantorStackAxes* axes,
                  std::string* error);

}  // namespace vantor

#endif
