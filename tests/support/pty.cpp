#include "pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace test {

namespace {

[[noreturn]] void Fail(const char* what) {
  throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) Fail("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) Fail("grantpt");
  path_ = ptsname(master_);
  keeper_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (keeper_ < 0) Fail("open slave");
  // The peer sees bytes exactly as sent: no echo, no translation either way.
  termios tio{};
  if (tcgetattr(master_, &tio) != 0) Fail("tcgetattr");
  cfmakeraw(&tio);
  if (tcsetattr(master_, TCSANOW, &tio) != 0) Fail("tcsetattr");
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

Pty::~Pty() {
  if (master_ >= 0) close(master_);
  if (keeper_ >= 0) close(keeper_);
}

void Pty::Write(const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      Fail("write to pty");
    } else {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 100);
    }
  }
}

std::string Pty::ReadUpTo(std::size_t count, std::chrono::milliseconds deadline) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + Patience(deadline);
  while (got.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
    if (n > 0)
      got.append(buffer, static_cast<std::size_t>(n));
    else if (n == 0 || (errno != EAGAIN && errno != EINTR))
      break;  // the near end has gone
  }
  return got;
}

std::string Pty::Drain(std::chrono::milliseconds quiet) {
  std::string got;
  for (;;) {
    std::string more = ReadUpTo(1 << 20, quiet);
    if (more.empty()) return got;
    got += more;
  }
}

void Pty::CloseMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void Pty::ReleaseNearEnd() {
  if (keeper_ >= 0) close(keeper_);
  keeper_ = -1;
}

}  // namespace test
