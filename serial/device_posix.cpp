// Serial ports on POSIX termios (Linux). Provides the port operations and a
// fallback for the two messages on stderr (text conversions: text_posix.cpp).
// Must match the Win32 backend: exclusive open (here also against other
// programs: flock, TIOCEXCL and a lock file in /var/lock), 9600 8N1 with the
// driver's flow control otherwise kept, blocking writes, and a status query
// that fails once the line is gone so that a read never waits for bytes.
#include "serial/device_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>


namespace serial {

namespace {

// Owns a descriptor until the open has fully succeeded.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

int Fd(Handle port) { return static_cast<int>(port); }

constexpr tcflag_t kRawInput =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
constexpr tcflag_t kRawLocal = ECHO | ECHONL | ICANON | ISIG | IEXTEN;

}  // namespace

void ApplyLineSettings(termios& tio) {
  // Raw channel: the bytes on the line are exactly the bytes of the text.
  tio.c_iflag &= ~kRawInput;
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~kRawLocal;
  tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
}

bool HasLineSettings(const termios& tio) {
  return cfgetispeed(&tio) == B9600 && cfgetospeed(&tio) == B9600 &&
         (tio.c_cflag & CSIZE) == CS8 && !(tio.c_cflag & (PARENB | CSTOPB)) &&
         (tio.c_cflag & (CREAD | CLOCAL)) == (CREAD | CLOCAL) && !(tio.c_iflag & kRawInput) &&
         !(tio.c_oflag & OPOST) && !(tio.c_lflag & kRawLocal) && tio.c_cc[VMIN] == 0 &&
         tio.c_cc[VTIME] == 0;
}

std::string DevicePath(const std::string& portName) {
  if (portName == "COM1") return "/dev/ttyS0";
  if (portName == "COM2") return "/dev/ttyS1";
  return {};
}

namespace {

// What the process gives back if it ends holding a port (its window closed by
// the frame, a SIGTERM): written before a handler can read it, all of it
// plain data that a signal handler may use.
struct EndRecord {
  pid_t owner;  // a forked child holds none of it
  int fd;
  bool ownsExclusive;
  char lockPath[256];
};
EndRecord g_end{};
volatile sig_atomic_t g_endSet = 0;

void GiveBackAtEnd() {
  if (!g_endSet || getpid() != g_end.owner) return;
  if (g_end.ownsExclusive) ioctl(g_end.fd, TIOCNXCL);
  if (g_end.lockPath[0]) unlink(g_end.lockPath);
}

void GiveBackOnSignal(int sig) {
  GiveBackAtEnd();
  signal(sig, SIG_DFL);
  raise(sig);  // ends the process as the signal would have
}

void RememberAtEnd(int fd, bool ownsExclusive, const std::string& lockPath) {
  static const bool watching = [] {
    std::atexit(GiveBackAtEnd);
    // Only signals that would end the process untended: a handler someone
    // else installed, or an ignored signal, stays as it is.
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
      struct sigaction now {};
      if (sigaction(sig, nullptr, &now) != 0 || (now.sa_flags & SA_SIGINFO) || now.sa_handler != SIG_DFL)
        continue;
      struct sigaction ours {};
      ours.sa_handler = GiveBackOnSignal;
      sigemptyset(&ours.sa_mask);
      sigaction(sig, &ours, nullptr);
    }
    return true;
  }();
  (void)watching;
  g_endSet = 0;
  g_end.owner = getpid();
  g_end.fd = fd;
  g_end.ownsExclusive = ownsExclusive;
  // A path too long for the record is not removed at the end; it never is in
  // practice, the directory being /var/lock.
  if (lockPath.size() >= sizeof g_end.lockPath) g_end.lockPath[0] = '\0';
  else std::memcpy(g_end.lockPath, lockPath.c_str(), lockPath.size() + 1);
  g_endSet = 1;
}

void ForgetAtEnd(int fd) {
  if (g_endSet && g_end.fd == fd) g_endSet = 0;
}

// The whole of a small file, or nothing.
std::string ReadSmallFile(const std::string& path) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  char text[512];
  const ssize_t n = file.get() < 0 ? -1 : read(file.get(), text, sizeof text);
  return n > 0 ? std::string(text, static_cast<std::size_t>(n)) : std::string();
}

// The kernel's name of the device open on `fd` ("ttyUSB0", "pts/3"): the same
// wherever its node stands, as in the port launcher's private /dev. Empty for
// anything that is not a character device.
std::string KernelName(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return {};
  const unsigned devMajor = major(st.st_rdev), devMinor = minor(st.st_rdev);
  const std::string sys = "/sys/dev/char/" + std::to_string(devMajor) + ":" + std::to_string(devMinor);
  const std::string uevent = ReadSmallFile(sys + "/uevent");
  const std::size_t at = uevent.find("DEVNAME=");
  if (at != std::string::npos && (at == 0 || uevent[at - 1] == '\n')) {
    const std::size_t start = at + 8;
    return uevent.substr(start, uevent.find('\n', start) - start);
  }
  // Pseudo-terminals have no entry there: devpts names them by their minor.
  constexpr unsigned kPtySlaveMajor = 136;
  if (devMajor == kPtySlaveMajor) return "pts/" + std::to_string(devMinor);
  char link[PATH_MAX];
  const ssize_t n = readlink(sys.c_str(), link, sizeof link - 1);
  if (n <= 0) return {};
  const std::string target(link, static_cast<std::size_t>(n));
  return target.substr(target.rfind('/') + 1);
}

// "LCK..ttyUSB0"; a name with directories in it has them joined by '_', as
// minicom and QSerialPort write "LCK..pts_3".
std::string LockFileName(std::string deviceName) {
  for (char& c : deviceName)
    if (c == '/') c = '_';
  return "LCK.." + deviceName;
}

// The process id a lock file holds: HDB's ten right-aligned characters, or
// QLockFile's id on the first of its lines. 0 when it holds none.
pid_t LockOwner(int fd) {
  char text[32] = {};
  if (pread(fd, text, sizeof text - 1, 0) <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);  // the leading blanks too
  return end != text && pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

// Alive, or someone else's that we may not signal. A process that has ended
// and only waits to be reaped (a killed holder whose parent went first, say)
// answers kill() all the same, yet holds nothing.
bool Alive(pid_t pid) {
  if (kill(pid, 0) != 0 && errno != EPERM) return false;
  const std::string stat = ReadSmallFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t state = stat.rfind(") ");  // the name before it may hold anything
  return state == std::string::npos || state + 2 >= stat.size() ||
         (stat[state + 2] != 'Z' && stat[state + 2] != 'X');
}

}  // namespace

// Everything an open port holds, given back together when its owner goes:
// by ClosePort, or by an Open that fails half-way.
struct PosixDevice::Held {
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    ForgetAtEnd(port.get());
    // The tty keeps TIOCEXCL for as long as anyone holds it open (a
    // pseudo-terminal's far end, say): give ours back with the port, or no
    // one but root could open the line again; someone else's is theirs.
    if (ownsExclusive) ioctl(port.get(), TIOCNXCL);
    port.reset(-1);  // and with it the flock
    if (lock.get() >= 0) unlink(lockPath.c_str());
  }

  Descriptor port{-1};
  bool ownsExclusive = false;
  Descriptor lock{-1};  // the lock file, flock'ed so that no one takes it for stale
  std::string lockPath;
};

PosixDevice::PosixDevice(PathMap pathOf, std::string lockDirectory)
    : pathOf_(std::move(pathOf)), lockDirectory_(std::move(lockDirectory)) {}

PosixDevice::~PosixDevice() = default;

namespace {

enum class LockResult { kTaken, kHeldByOther, kNone };

// Takes the lock file at `path` into `lock`, unless a live process holds it.
// A stale one (its process gone) is removed first. Where the file can't be
// made (no lock directory, not writable for this user) the port goes on
// without one: that refuses nothing.
LockResult TakeLockFile(const std::string& path, Descriptor& lock, std::string& lockPath) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
      lock.reset(fd);  // owned, and removed by the owner, from here on
      lockPath = path;
      char pid[16];
      const int length = std::snprintf(pid, sizeof pid, "%10d\n", static_cast<int>(getpid()));
      if (flock(fd, LOCK_EX | LOCK_NB) != 0 || write(fd, pid, static_cast<std::size_t>(length)) != length)
        return LockResult::kHeldByOther;  // someone took our new file: never ours after all
      return LockResult::kTaken;
    }
    if (errno != EEXIST) return LockResult::kNone;

    // Held while it is flock'ed (QLockFile) or names a live process (minicom);
    // a file without a process id is one being written now.
    Descriptor other(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (other.get() < 0) continue;  // gone meanwhile
    if (flock(other.get(), LOCK_EX | LOCK_NB) != 0) return LockResult::kHeldByOther;
    const pid_t owner = LockOwner(other.get());
    if (owner == 0 || Alive(owner)) return LockResult::kHeldByOther;
    // Stale: remove it, unless another Open has replaced it meanwhile.
    struct stat opened {}, named {};
    if (fstat(other.get(), &opened) != 0 || stat(path.c_str(), &named) != 0) continue;
    if (opened.st_ino != named.st_ino || opened.st_dev != named.st_dev) continue;
    if (unlink(path.c_str()) != 0) return LockResult::kNone;  // someone else's, in a sticky directory
  }
  return LockResult::kHeldByOther;
}

}  // namespace

Handle PosixDevice::OpenPort(const std::string& name) {
  const std::string path = pathOf_(name);
  if (path.empty()) return kInvalidHandle;
  auto held = std::make_unique<Held>();  // gives back whatever is taken, until kept

  // The order matters; each step relies on those before it.
  // 1. Non-blocking for the open alone, so that a missing carrier can't hang it.
  Descriptor& fd = held->port;
  fd.reset(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return kInvalidHandle;
  // Handle 0 means "no port", so the port never takes descriptors 0 to 2.
  if (fd.get() < 3) fd.reset(fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
  if (fd.get() < 0) return kInvalidHandle;

  // 2. flock refuses any second holder that locks too: this process, a
  //    second copy of it, picocom, tio.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return kInvalidHandle;
  // 3. A tty already marked exclusive is held by someone who set it (screen,
  //    QSerialPort); root passes the mark, so look at it. A device that is
  //    no tty at all opens here and is refused its settings.
  int exclusive = 0;
  if (ioctl(fd.get(), TIOCGEXCL, &exclusive) == 0 && exclusive) return kInvalidHandle;
  // 4. The lock file that minicom and QSerialPort honour, named after the
  //    device rather than the path, so that all agree whatever path opened it.
  const std::string deviceName = KernelName(fd.get());
  if (!deviceName.empty() &&
      TakeLockFile(lockDirectory_ + "/" + LockFileName(deviceName), held->lock, held->lockPath) ==
          LockResult::kHeldByOther)
    return kInvalidHandle;
  // 5. Our own mark: refuses any later open of the tty but root's.
  if (ioctl(fd.get(), TIOCEXCL) == 0)
    held->ownsExclusive = true;
  else if (errno != ENOTTY)
    return kInvalidHandle;

  // 6. Writes block, as they do on a Windows port.
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return kInvalidHandle;

  RememberAtEnd(fd.get(), held->ownsExclusive, held->lockPath);
  const Handle port = fd.get();
  held_[port] = std::move(held);
  return port;
}

bool WriteLineSettings(int fd, const termios& wanted) {
  if (tcsetattr(fd, TCSANOW, &wanted) != 0) return false;
  // tcsetattr succeeds when any one change took, and a UART's driver keeps
  // its old speed when asked for one it can't make: look at what it kept.
  termios now{};
  if (tcgetattr(fd, &now) != 0) return false;
  constexpr tcflag_t kFrame = CSIZE | PARENB | PARODD | CSTOPB | CREAD | CLOCAL;
  return cfgetispeed(&now) == cfgetispeed(&wanted) && cfgetospeed(&now) == cfgetospeed(&wanted) &&
         (now.c_cflag & kFrame) == (wanted.c_cflag & kFrame) &&
         (now.c_iflag & kRawInput) == (wanted.c_iflag & kRawInput) &&
         (now.c_oflag & OPOST) == (wanted.c_oflag & OPOST) &&
         (now.c_lflag & kRawLocal) == (wanted.c_lflag & kRawLocal) &&
         now.c_cc[VMIN] == wanted.c_cc[VMIN] && now.c_cc[VTIME] == wanted.c_cc[VTIME];
}

bool PosixDevice::SetLine(Handle port) {
  termios tio{};
  if (tcgetattr(Fd(port), &tio) != 0) return false;
  ApplyLineSettings(tio);
  return WriteLineSettings(Fd(port), tio);
}

void PosixDevice::ClosePort(Handle port) {
  // The one place a port is given up: its flag, descriptor and lock file.
  if (held_.erase(port) == 0) close(Fd(port));
}

std::size_t PosixDevice::Write(Handle port, const char* data, std::size_t size) {
  ssize_t n;
  do n = write(Fd(port), data, size);
  while (n < 0 && errno == EINTR);
  failure_ = n < 0 ? errno : 0;
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::optional<std::size_t> PosixDevice::Waiting(Handle port) {
  int queued = 0;
  if (ioctl(Fd(port), FIONREAD, &queued) != 0) {
    failure_ = errno;
    return std::nullopt;
  }
  failure_ = 0;
  if (queued < 0) return std::nullopt;
  if (queued > 0) return static_cast<std::size_t>(queued);
  // Nothing queued: tell an idle line from one whose peer has gone.
  pollfd p{Fd(port), POLLIN, 0};
  if (poll(&p, 1, 0) < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return std::nullopt;
  return 0;
}

std::optional<std::size_t> PosixDevice::Read(Handle port, char* buffer, std::size_t size) {
  ssize_t n;
  do n = read(Fd(port), buffer, size);
  while (n < 0 && errno == EINTR);
  failure_ = n < 0 ? errno : 0;
  if (n < 0) return std::nullopt;
  return static_cast<std::size_t>(n);
}

bool PosixDevice::Gone(Handle port) {
  // A USB adapter's driver may say ENODEV before the tty is hung up; once it
  // is, every call says EIO and poll says POLLHUP, as for a pseudo-terminal
  // whose far end has closed.
  const int failure = std::exchange(failure_, 0);
  if (failure == EIO || failure == ENODEV) return true;
  pollfd p{Fd(port), 0, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

void PosixDevice::Alert(const std::string& utf8Text, const std::string& caption) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), utf8Text.c_str());
}

Device& PlatformDevice() {
  static PosixDevice device;
  return device;
}

}  // namespace serial
