// A pseudo-terminal pair for tests: the far end (master) is the peer, the
// near end (the slave's path) stands in for a serial port.
#pragma once

#include <time.h>
#include <chrono>
#include <cstddef>
#include <string>

#include "patience.h"

namespace test {

class Pty {
 public:
  Pty();  // a fresh pair, master raw and non-blocking; fails the test when it can't
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& path() const { return path_; }  // the near end, /dev/pts/N
  int master() const { return master_; }

  // The peer writes all of `bytes`.
  void Write(const std::string& bytes);
  // Whatever reaches the peer until `count` bytes or the deadline.
  std::string ReadUpTo(std::size_t count,
                       std::chrono::milliseconds deadline = std::chrono::seconds(5));
  // Everything that reaches the peer within `quiet` of silence.
  std::string Drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));
  // Closes the far end, as when the cable or adapter goes away.
  void CloseMaster();
  // Lets go of the near end that the pair holds so that its settings last
  // until the program opens it; after this the peer sees the program close.
  void ReleaseNearEnd();

 private:
  int master_ = -1;
  int keeper_ = -1;  // the slave held open by the test, so the line stays up
  std::string path_;
};

// Waits for `predicate` to hold, up to the deadline stretched by the
// machine's slowdown.
template <class Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds deadline = std::chrono::seconds(5)) {
  const auto end = std::chrono::steady_clock::now() + Patience(deadline);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > end) return false;
    struct timespec pause {
      0, 2'000'000
    };
    nanosleep(&pause, nullptr);
  }
  return true;
}

}  // namespace test
