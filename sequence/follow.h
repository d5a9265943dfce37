// Following a folder: the feed that gives the engine each new file matching a
// pattern once it is complete, and tells it when following ends (no new frame
// for a while, a stop flag, or a file named STOP in the folder).
#ifndef VANTOR_SEQUENCE_FOLLOW_H
#define VANTOR_SEQUENCE_FOLLOW_H

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sequence/engine.h"
#include "sequence/frame_source.h"

namespace vantor::seq {

class FolderFeed : public FrameFeed {
 public:
  // known: the files already in the sequence (paths), not taken again.
  // stop may be null. polling: look every 50 ms rather than being told.
  FolderFeed(const std::string& pattern, double idleSeconds, const volatile int32_t* stop,
             bool polling, const std::vector<std::string>& known, const std::string& lastName);
  ~FolderFeed() override;
  FolderFeed(const FolderFeed&) = delete;
  FolderFeed& operator=(const FolderFeed&) = delete;

  bool Next(std::vector<FrameSource>* more) override;
  bool StopNow() const override { return stop_ != nullptr && *stop_ != 0; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Candidate {
    bool closed = false;   // its writer closed it (or moved it in) since it last changed
    bool initial = false;  // there at the first look
  };
  // One look at the folder: appends the files that became complete.
  bool Scan(std::vector<FrameSource>* more);
  // *settled: untouched for a while (an incomplete one will stay so).
  bool Ready(const std::string& name, Candidate& c, bool* settled);
  // Waits for a change in the folder or for the next look, at most `ms`.
  void Wait(int ms);
  void ReadEvents();

  std::string pattern_, folder_;
  double idle_;
  const volatile int32_t* stop_;
  int notify_ = -1;  // inotify descriptor, -1 when polling
  std::set<std::string> taken_;                 // names already frames
  std::map<std::string, Candidate> waiting_;    // names seen, not yet complete
  std::string lastName_;                        // the newest frame's file name
  Clock::time_point lastArrival_;
  bool stopFile_ = false;
  bool firstLook_ = true;
};

}  // namespace vantor::seq

#endif
