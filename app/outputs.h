// The files a run writes: the check that none of them replaces an input or
// another output, and writing each one whole or not at all.
#ifndef VANTOR_APP_OUTPUTS_H
#define VANTOR_APP_OUTPUTS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor::app {

// An output of the run and how messages name it ("--csv=a.csv").
struct NamedOutput {
  std::string path;
  std::string label;
};

// Compares every output with the inputs and with the outputs before it by the
// file each path is (device and inode of an existing file, else the path with
// its folders resolved). Returns one line naming both files of the first
// clash, or "" when there is none.
std::string FindOutputClash(const std::vector<std::string>& inputs,
                            const std::vector<NamedOutput>& outputs);

// A file written under a temporary name in the destination's folder (created
// exclusively, never through a link, mode 0644 less the umask), flushed to
// the disk and renamed over the destination once complete, so that readers
// see the old file or the whole new one. A link at the destination is
// replaced, not written through. A destination that exists and is neither a
// regular file nor a folder (a device such as /dev/stdout, a pipe) is written
// directly. Failures give the cause as the system states it (and leave it in
// errno).
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // an unfinished file is removed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool Open(const std::string& path, std::string* error);
  // The open file, for writers of their own (written from offset 0).
  int fd() const { return fd_; }
  bool Write(const void* data, size_t size, std::string* error);
  // Flushes, closes and renames over the destination; the file is removed
  // when any step fails.
  bool Commit(std::string* error);
  // Renames what is written so far over the destination now and keeps the
  // file open: later writes append in place (a file read while it grows),
  // and Commit only closes it.
  bool Publish(std::string* error);
  // Closes and removes the unfinished file.
  void Discard();

 private:
  std::string path_, temp_;
  int fd_ = -1;
  int entry_ = -1;  // the entry removed on a signal
  bool direct_ = false;
};

// Writes size bytes to path through an OutputFile.
bool WriteWholeFile(const std::string& path, const void* data, size_t size, std::string* error);

// From now on SIGINT, SIGTERM, SIGHUP and SIGPIPE remove the unfinished
// output files before ending the program as they would have (signals that
// are ignored or handled stay so).
void RemoveUnfinishedOutputsOnSignals();

// While a folder is followed: the first SIGINT or SIGTERM sets *flag (the run
// ends and writes its outputs), a second one ends the program as
// RemoveUnfinishedOutputsOnSignals does. Ignored signals stay so. Null
// restores that behaviour.
void StopOnSignals(volatile int32_t* flag);

}  // namespace vantor::app

#endif
