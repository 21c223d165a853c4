// One run per working directory.  A run holds an exclusive flock(2) on the
// file .questrand.lock (kRunLockFile) in its working directory from before it
// reads PROB.INP until its end; a second run started there meanwhile refuses
// to start.  The kernel releases the lock when the run ends in any way (also
// when it is killed); a normal end also removes the file.
#pragma once

#include <string>

namespace questrand {

class RunLock {
 public:
  enum class State {
    Held,         // this run holds the lock
    Busy,         // another run holds it
    Unavailable,  // no lock file can be made here (e.g. a read-only directory)
  };

  // Takes the lock of the working directory, or finds it taken.
  static RunLock acquire();

  RunLock(RunLock&& other) noexcept;
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;
  RunLock& operator=(RunLock&&) = delete;
  ~RunLock();  // removes the lock file and releases the lock when held

  State state() const { return state_; }
  // The process id the holder wrote into the lock file (Busy), or 0.
  long holder() const { return holder_; }

 private:
  RunLock(State state, int fd, long holder) : state_(state), fd_(fd), holder_(holder) {}
  State state_;
  int fd_;
  long holder_;
};

}  // namespace questrand
