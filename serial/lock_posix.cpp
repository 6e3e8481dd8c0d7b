#include "lock_posix.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <optional>

#include "descriptor_posix.h"

namespace serial {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Alive, or someone else's that we may not signal. A process that has ended
// and only waits to be reaped (a killed holder whose parent went first, say)
// answers kill() all the same, yet holds nothing.
bool Alive(pid_t pid) {
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  char text[512];
  const ssize_t n = file.get() < 0 ? -1 : read(file.get(), text, sizeof text);
  if (n <= 0) return true;
  // "PID (name) S ...": the name is the program's to choose, ") " included,
  // so the state follows the last ") ".
  const std::string_view stat(text, static_cast<std::size_t>(n));
  const std::size_t state = stat.rfind(") ");
  return state == std::string_view::npos || state + 2 >= stat.size() ||
         (stat[state + 2] != 'Z' && stat[state + 2] != 'X');
}

// Empty, and unchanged for longer than any writer takes between making the
// file and writing its id. A time ahead of the clock counts as fresh.
bool LongEmpty(int fd) {
  constexpr time_t kGraceSeconds = 5;
  struct stat now {};
  timespec clock{};
  return fstat(fd, &now) == 0 && now.st_size == 0 && clock_gettime(CLOCK_REALTIME, &clock) == 0 &&
         now.st_mtim.tv_sec <= clock.tv_sec - kGraceSeconds;
}

}  // namespace

std::string LockFileName(std::string deviceName) {
  for (char& c : deviceName)
    if (c == '/') c = '_';
  return "LCK.." + deviceName;
}

pid_t LockFilePid(std::string_view contents) {
  std::size_t at = 0;
  while (at < contents.size() && IsBlank(contents[at])) ++at;
  long long pid = 0;
  const std::size_t first = at;
  for (; at < contents.size() && contents[at] >= '0' && contents[at] <= '9'; ++at) {
    pid = pid * 10 + (contents[at] - '0');
    if (pid > INT_MAX) return 0;
  }
  if (at == first || (at < contents.size() && !IsBlank(contents[at]))) return 0;
  return static_cast<pid_t>(pid);
}

void RemoveLockFileIfOurs(const char* path, dev_t device, ino_t inode) {
  struct stat named {};
  if (lstat(path, &named) == 0 && named.st_dev == device && named.st_ino == inode) unlink(path);
}

LockFile::Outcome LockFile::Take(const std::string& path) {
  Release();
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int created =
        open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (created >= 0) {
      if (const std::optional<Outcome> outcome = Keep(created, path, true)) return *outcome;
      continue;
    }
    if (errno != EEXIST) return Outcome::kWithout;

    // Someone's file. Opened for writing where we may, so that a stale one
    // can be taken over in place.
    bool writable = true;
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
      writable = false;
      fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0 && errno == ENOENT) continue;  // gone meanwhile
    Descriptor other(fd);
    struct stat opened {};
    if (fd < 0 || fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) return Outcome::kHeld;
    // Its writer keeps it flock'ed (QLockFile, this program). Ours keeps any
    // other copy of this program from judging it at the same moment.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return Outcome::kHeld;
    char text[64];
    const ssize_t n = read(fd, text, sizeof text);
    const pid_t owner = n > 0 ? LockFilePid({text, static_cast<std::size_t>(n)}) : 0;
    // Without an id it is being written now, unless it has stayed empty past
    // the grace: its writer died before writing, or someone touched it. Our
    // own id, on a file no lock of ours holds, is a dead process's whose id
    // has come round to us.
    if (owner == 0 ? n != 0 || !LongEmpty(fd) : owner != getpid() && Alive(owner))
      return Outcome::kHeld;
    // A file with another name, or another user's while we are root, is not
    // a lock file anyone made for us to take: writing would reach the other
    // name's file, which root may write whatever its mode.
    if (opened.st_nlink != 1 || (geteuid() == 0 && opened.st_uid != 0)) writable = false;
    if (!writable) return Outcome::kWithout;  // stale, and only its owner may replace it
    if (const std::optional<Outcome> outcome = Keep(other.release(), path, false)) return *outcome;
  }
  return Outcome::kHeld;
}

// Makes `fd` ours: a file just created, or a stale one whose flock we hold.
// Nothing when the name no longer leads to it (someone replaced it).
std::optional<LockFile::Outcome> LockFile::Keep(int fd, const std::string& path, bool created) {
  Descriptor file(fd);
  struct stat opened {};
  if (fstat(fd, &opened) != 0) return Outcome::kWithout;
  // Someone judging a new file before its id is in finds it empty and holds
  // its flock for a moment: the file is ours all the same.
  if (created) (void)flock(fd, LOCK_EX | LOCK_NB);
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  const bool written =
      pwrite(fd, text, static_cast<std::size_t>(length), 0) == length && ftruncate(fd, length) == 0;
  if (!written) {
    // A full or failing directory marks nothing: a half-written file would
    // keep everyone out for ever.
    if (created) RemoveLockFileIfOurs(path.c_str(), opened.st_dev, opened.st_ino);
    return Outcome::kWithout;
  }
  struct stat named {};
  if (lstat(path.c_str(), &named) != 0 || named.st_dev != opened.st_dev ||
      named.st_ino != opened.st_ino)
    return std::nullopt;
  fd_ = file.release();
  path_ = path;
  device_ = opened.st_dev;
  inode_ = opened.st_ino;
  return Outcome::kTaken;
}

void LockFile::Release() {
  if (fd_ >= 0) RemoveLockFileIfOurs(path_.c_str(), device_, inode_);
  Forget();
}

void LockFile::Forget() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  path_.clear();
}

}  // namespace serial
