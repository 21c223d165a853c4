#include "control/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "setup/run_files.hpp"

namespace questrand {

namespace {

long read_holder(int fd) {
  char buf[32] = {};
  const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  return std::strtol(buf, nullptr, 10);
}

bool same_file(int fd) {
  struct stat open_file {}, named {};
  return ::fstat(fd, &open_file) == 0 && ::stat(kRunLockFile, &named) == 0 && open_file.st_dev == named.st_dev &&
         open_file.st_ino == named.st_ino;
}

}  // namespace

RunLock RunLock::acquire() {
  // A run that ends removes the file while it holds the lock; a run that had
  // opened the removed file then locks a file no one else will find, so it
  // checks the name still leads to the file it locked, and tries again if not.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::open(kRunLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return RunLock(State::Unavailable, -1, 0);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const bool busy = errno == EWOULDBLOCK;
      const long holder = busy ? read_holder(fd) : 0;
      ::close(fd);
      return RunLock(busy ? State::Busy : State::Unavailable, -1, holder);
    }
    if (same_file(fd)) {
      const std::string pid = std::to_string(static_cast<long>(::getpid())) + "\n";
      if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) < 0) {
        // the process id is only for the other run's message
      }
      return RunLock(State::Held, fd, 0);
    }
    ::close(fd);
  }
  return RunLock(State::Unavailable, -1, 0);
}

RunLock::RunLock(RunLock&& other) noexcept : state_(other.state_), fd_(other.fd_), holder_(other.holder_) {
  other.state_ = State::Unavailable;
  other.fd_ = -1;
}

RunLock::~RunLock() {
  if (state_ != State::Held) return;
  ::unlink(kRunLockFile);
  ::close(fd_);
}

}  // namespace questrand
