// The drift plot: DX and DY of every frame relative to the first frame
// against the frame number, as a self-contained SVG 1.1 drawing.
#ifndef VANTOR_APP_PLOT_H
#define VANTOR_APP_PLOT_H

#include <string>
#include <vector>

namespace vantor::app {

struct PlotPoint {
  int frame = 0;         // frame number (the x axis)
  double dxFirst = 0.0;  // displacement against the first frame, pixels
  double dyFirst = 0.0;
  // kRescued and kSuspect frames get their own markers on both lines; kFailed
  // frames (and values that are not finite numbers) get no point on the lines,
  // which break there, but a mark on the frame axis.
  enum Quality { kOk, kRescued, kSuspect, kFailed } quality = kOk;
  double angleFirst = 0.0;  // a motion model's turn against the first frame, degrees
  double scaleFirst = 1.0;  // and its scale (drawn only for a motion model)
};

// The drawing: labelled axes (frame; displacement in pixels) with ticks at 1,
// 2 or 5 times a power of ten, a line per component, markers, a legend and the
// title (any text; escaped for XML, invalid UTF-8 replaced). Points may come in
// any order; any number of them, none included. motion: a model other than
// translation was measured; two panels below give the angle and the scale.
std::string DriftPlotSvg(const std::vector<PlotPoint>& points, const std::string& title,
                         bool motion = false);

// Writes the drawing to path, whole or not at all (a file of that name is
// replaced). On failure *error (may be null) gets one line naming the file and
// the cause.
bool WriteDriftPlot(const std::string& path, const std::vector<PlotPoint>& points,
                    const std::string& title, std::string* error, bool motion = false);

}  // namespace vantor::app

#endif
