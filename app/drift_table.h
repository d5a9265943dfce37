// A saved drift table read back: the program's own CSV (--csv), whose
// dx_first and dy_first move other data the same way (--apply).
#ifndef VANTOR_APP_DRIFT_TABLE_H
#define VANTOR_APP_DRIFT_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

namespace vantor::app {

struct DriftRow {
  int32_t frame = 0;  // the frame column, from 1
  double dxFirst = 0, dyFirst = 0;  // as the CSV has them (dy counts up the picture)
  // a11_first .. a22_first when the CSV has them (a motion model's run):
  // the frame's matrix to the first.
  bool hasMatrix = false;
  double matrixFirst[4] = {1, 0, 0, 1};
  bool failed = false;  // quality "failed": not a measurement
  int32_t line = 0;     // where the row starts in the file, from 1
};

// Reads the CSV at path: a header naming the columns (frame, dx_first and
// dy_first needed, quality and a11_first .. a22_first read when present,
// others ignored; quoted fields
// by the usual CSV rules), then one row per frame, in any order, each frame
// number once. Rows come back sorted by frame. On failure *error gets one
// line naming the file, the line and the cause.
bool ReadDriftTable(const std::string& path, std::vector<DriftRow>* rows, std::string* error);

// The displacement as the CSV writes it (%.6f) read back: what --aligned
// moves frames by, so that --apply with the run's CSV writes the same files.
double AsInCsv(double value);

}  // namespace vantor::app

#endif
