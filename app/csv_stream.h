// The run's CSV written as it goes: one line per frame, flushed as soon as the
// frame's result is final, so that another program can read it live.
#ifndef VANTOR_APP_CSV_STREAM_H
#define VANTOR_APP_CSV_STREAM_H

#include <string>

#include "app/outputs.h"
#include "sequence/sequence.h"

namespace vantor::app {

class CsvStream {
 public:
  // path "-": standard output. live: the file is in place from the start and
  // grows a whole line at a time; otherwise it appears whole at Finish. The
  // header goes out at once, after the line "# NOTE" when note is not empty
  // (a mean or template reference: its frame 1 is then measured, not zeros).
  // A failure is kept and reported by Finish.
  // model: the motion model (kDriftTranslation .. kDriftAffine); other than
  // translation the rows carry angle and scale, and affine the matrix, after
  // dy_first.
  void Open(const std::string& path, bool precise, bool live, const std::string& note = "",
            int32_t model = kDriftTranslation);
  // The line of one frame (frame 1 against the first: zeros, "ok"), written and flushed.
  void Row(const SequenceFrame& f);
  // Puts the file in place; false (with the message on stderr) when it was
  // not written whole.
  bool Finish();

 private:
  void Put(const std::string& line);

  std::string path_;
  bool stdout_ = false, precise_ = false, failed_ = false;
  bool firstMeasured_ = false;
  int32_t model_ = kDriftTranslation;
  int cause_ = 0;  // errno of the first failure
  OutputFile file_;
};

}  // namespace vantor::app

#endif
