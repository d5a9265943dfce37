// CSV lines of a run as the engine hands over final results: standard output
// flushed line by line, a file through an OutputFile (renamed into place at
// the end, or at once and then appended to when it is followed live).
#include "app/csv_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vantor::app {

namespace {

// A field of the CSV, quoted when it holds a separator, a quote or a line end.
std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + '"';
}

std::string Fixed(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6f", v);
  return buf;
}

}  // namespace

void CsvStream::Open(const std::string& path, bool precise, bool live, const std::string& note,
                     int32_t model) {
  path_ = path;
  precise_ = precise;
  firstMeasured_ = !note.empty();
  model_ = model;
  stdout_ = path == "-";
  std::string error;
  if (!stdout_ && !file_.Open(path, &error)) {
    failed_ = true;
    cause_ = errno;
    return;
  }
  // The precise method's standard error goes with its numbers; the search's
  // table keeps its own columns.
  if (!note.empty()) Put("# " + note + "\n");
  // With a motion model, the pair's motion and then the frame's matrix to
  // the first (what --aligned moves it by, and --apply reads back).
  const char* motion =
      model == kDriftTranslation ? ""
      : model == kDriftAffine    ? ",angle,scale,a11,a12,a21,a22,a11_first,a12_first,a21_first,a22_first"
                                 : ",angle,scale,a11_first,a12_first,a21_first,a22_first";
  Put(std::string("frame,file,dx,dy,dx_first,dy_first") + motion + ",distance,quality" +
      (precise ? ",sigma\n" : "\n"));
  if (live && !stdout_ && !failed_ && !file_.Publish(&error)) {
    failed_ = true;
    cause_ = errno;
  }
}

void CsvStream::Row(const SequenceFrame& f) {
  std::string line = std::to_string(f.frame);
  line += ',';
  line += CsvField(f.name);
  if (f.frame == 1 && !firstMeasured_) {
    line += ",0.000000,0.000000,0.000000,0.000000";
    if (model_ != kDriftTranslation) line += ",0.000000,1.000000";
    if (model_ == kDriftAffine) line += ",1.000000,0.000000,0.000000,1.000000";
    if (model_ != kDriftTranslation) line += ",1.000000,0.000000,0.000000,1.000000";
    line += ",0.000000,ok";
    line += precise_ ? ",0.000000\n" : "\n";
    Put(line);
    return;
  }
  const DriftResult& r = f.result;
  for (double v : {r.dx, r.dy, f.dxFirst, f.dyFirst}) {
    line += ',';
    line += Fixed(v);
  }
  // The pair's motion (the table's convention: counter-clockwise as displayed).
  if (model_ != kDriftTranslation)
    for (double v : {r.angle, r.scale}) {
      line += ',';
      line += Fixed(v);
    }
  if (model_ == kDriftAffine)
    for (double v : {r.a11, r.a12, r.a21, r.a22}) {
      line += ',';
      line += Fixed(v);
    }
  if (model_ != kDriftTranslation)
    for (double v : f.matrixFirst) {
      line += ',';
      line += Fixed(v);
    }
  line += ',';
  line += Fixed(r.distance);
  line += ',';
  line += DriftQualityName(r.quality);
  // A failed pair has no standard error: the field stays empty.
  if (precise_) {
    line += ',';
    if (r.quality != kDriftFailed && r.precision >= 0.0) line += Fixed(std::min(r.precision, 1e6));
  }
  line += '\n';
  Put(line);
}

void CsvStream::Put(const std::string& line) {
  if (failed_) return;
  if (stdout_) {
    errno = 0;
    const bool written = std::fwrite(line.data(), 1, line.size(), stdout) == line.size();
    if (std::fflush(stdout) != 0 || !written || std::ferror(stdout) != 0) {
      failed_ = true;
      cause_ = errno != 0 ? errno : EIO;
    }
    return;
  }
  std::string error;
  if (!file_.Write(line.data(), line.size(), &error)) {
    failed_ = true;
    cause_ = errno;
  }
}

bool CsvStream::Finish() {
  std::string error;
  if (!failed_ && (stdout_ || file_.Commit(&error))) return true;
  if (!failed_) cause_ = errno;
  if (stdout_)
    std::fprintf(stderr, "vantor: cannot write the CSV to standard output: %s\n",
                 std::strerror(cause_ != 0 ? cause_ : EIO));
  else
    std::fprintf(stderr, "vantor: cannot write %s: %s\n", path_.c_str(),
                 std::strerror(cause_ != 0 ? cause_ : EIO));
  return false;
}

}  // namespace vantor::app
