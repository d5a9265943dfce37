// Internal: the display look-up table back to its start (no entries), which
// no keyword of mrDisplayLut gives; for tests that need the start state in a
// process where others installed a table.
#ifndef VANTOR_MEMRECT_DISPLAY_LUT_INTERNAL_H
#define VANTOR_MEMRECT_DISPLAY_LUT_INTERNAL_H

namespace vantor {
void ForgetDisplayLut();
}

#endif
