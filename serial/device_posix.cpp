// The device on POSIX termios (Linux), with the two messages on stderr where
// no window shows them. It adds: the port is held against other programs too
// (flock, TIOCEXCL and the lock file of lock_posix.cpp), all three given back
// when the process ends by exit or by SIGTERM, SIGHUP, SIGINT or SIGQUIT,
// whichever thread the signal lands on; writes block, as on a Windows port;
// a hung-up line fails the status query, so a read never waits. Text
// conversions: text_posix.cpp.
#include "device_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "descriptor_posix.h"
#include "lock_posix.h"

namespace serial {

namespace {

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
  return cfgetispeed(&tio) == B9600 && cfgetospeed(&tio) == B9600 && (tio.c_cflag & CSIZE) == CS8 &&
         !(tio.c_cflag & (PARENB | CSTOPB)) &&
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
// the frame, a SIGTERM): plain data that a signal handler may use.
struct EndRecord {
  pid_t owner;  // a forked child holds none of it
  int fd;
  bool ownsExclusive;
  char lockPath[256];  // empty when the port has no lock file
  dev_t lockDevice;
  ino_t lockInode;
};
EndRecord g_end{};
volatile sig_atomic_t g_endSet = 0;
volatile sig_atomic_t g_givenBack = 0;  // by the process's end, before the owners' destructors

void GiveBackAtEnd() {
  if (!g_endSet || getpid() != g_end.owner) return;
  if (g_end.ownsExclusive) ioctl(g_end.fd, TIOCNXCL);
  if (g_end.lockPath[0]) RemoveLockFileIfOurs(g_end.lockPath, g_end.lockDevice, g_end.lockInode);
  g_endSet = 0;
  g_givenBack = 1;
}

// While an Open or a Close changes what is held and the record of it
// together, a signal that would end the process waits for them to finish;
// then the record is whole and what it names is given back. Once the end has
// begun, on whichever thread the toolkit's signal landed, no change starts:
// the record stays what the end is giving back.
constexpr int kNotBusy = 0, kBusy = -1, kEnding = -2;  // or the number of the signal waiting
std::atomic<int> g_busy{kNotBusy};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

// Every ending signal held off this thread: one that comes during the
// clean-up waits, and the end, once given back, is the first signal's.
void HoldEndingSignals() {
  sigset_t all;
  sigemptyset(&all);
  for (int sig : kEndingSignals) sigaddset(&all, sig);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

[[noreturn]] void EndBySignal(int sig) {
  HoldEndingSignals();
  GiveBackAtEnd();
  // Ends the process as the signal would have, inside its handler too; the
  // _exit below, should signal or raise fail.
  (void)signal(sig, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, sig);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  (void)raise(sig);
  _exit(128 + sig);
}

void GiveBackOnSignal(int sig) {
  for (int state = g_busy.load();;) {
    if (state == kNotBusy && g_busy.compare_exchange_weak(state, kEnding)) EndBySignal(sig);
    if (state == kBusy && g_busy.compare_exchange_weak(state, sig)) return;  // ended once whole
    // The end has begun, here or on another thread, or waits on a change
    // that will end it: this signal adds nothing.
    if (state == kEnding || state > 0) return;
  }
}

// Installed before anything is taken, for the signals that would end the
// process untended: a handler someone else installed, or an ignored signal
// (nohup), stays as it is.
void WatchEndingSignals() {
  for (int sig : kEndingSignals) {
    struct sigaction now {};
    if (sigaction(sig, nullptr, &now) != 0 || (now.sa_flags & SA_SIGINFO) ||
        now.sa_handler != SIG_DFL)
      continue;
    struct sigaction ours {};
    ours.sa_handler = GiveBackOnSignal;
    sigemptyset(&ours.sa_mask);
    for (int other : kEndingSignals) sigaddset(&ours.sa_mask, other);
    sigaction(sig, &ours, nullptr);
  }
  static const bool atExit = std::atexit(GiveBackAtEnd) == 0;
  (void)atExit;
}

class RecordChange {
 public:
  RecordChange() {
    int state = kNotBusy;
    outer_ = g_busy.compare_exchange_strong(state, kBusy);
    // Another thread is ending the process with the record as it stands:
    // wait here for the end rather than take anything new.
    if (state == kEnding)
      for (;;) pause();
  }
  ~RecordChange() {
    if (!outer_) return;
    int state = kBusy;
    if (!g_busy.compare_exchange_strong(state, kNotBusy) &&
        g_busy.compare_exchange_strong(state, kEnding))
      EndBySignal(state);
  }
  RecordChange(const RecordChange&) = delete;
  RecordChange& operator=(const RecordChange&) = delete;

 private:
  bool outer_;  // an Open's failure releases inside the Open's own change
};

void RememberAtEnd(int fd, bool ownsExclusive, const LockFile& lock) {
  g_endSet = 0;
  g_givenBack = 0;
  g_end.owner = getpid();
  g_end.fd = fd;
  g_end.ownsExclusive = ownsExclusive;
  g_end.lockPath[0] = '\0';
  // A path too long for the record is not removed at the end; it never is in
  // practice, the directory being /var/lock.
  if (lock.taken() && lock.path().size() < sizeof g_end.lockPath) {
    std::memcpy(g_end.lockPath, lock.path().c_str(), lock.path().size() + 1);
    g_end.lockDevice = lock.device();
    g_end.lockInode = lock.inode();
  }
  g_endSet = 1;
}

// Whether the process's end has given back the port on `fd` already.
bool ForgetAtEnd(int fd) {
  if (g_end.fd != fd || getpid() != g_end.owner) return false;
  g_endSet = 0;
  return g_givenBack;
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
  const std::string sys =
      "/sys/dev/char/" + std::to_string(devMajor) + ":" + std::to_string(devMinor);
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

}  // namespace

// Everything an open port holds, given back together when its owner goes:
// by ClosePort, or by an Open that fails half-way.
struct PosixDevice::Held {
  Held() = default;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    RecordChange change;
    // A forked child's copy is its parent's still; the process's end may
    // have given everything back already.
    if (getpid() != owner || ForgetAtEnd(port.get())) {
      lock.Forget();
      return;
    }
    // The tty keeps TIOCEXCL for as long as anyone holds it open (a
    // pseudo-terminal's far end, say): give ours back with the port, or no
    // one but root could open the line again; someone else's is theirs.
    if (ownsExclusive) ioctl(port.get(), TIOCNXCL);
    port.reset(-1);  // and with it the flock
    lock.Release();
  }

  const pid_t owner = getpid();
  Descriptor port{-1};
  bool ownsExclusive = false;
  LockFile lock;
};

PosixDevice::PosixDevice(PathMap pathOf, std::string lockDirectory)
    : pathOf_(std::move(pathOf)), lockDirectory_(std::move(lockDirectory)) {}

PosixDevice::~PosixDevice() = default;

Handle PosixDevice::OpenPort(const std::string& name) {
  const std::string path = pathOf_(name);
  if (path.empty()) return kInvalidHandle;
  WatchEndingSignals();
  RecordChange change;
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
      held->lock.Take(lockDirectory_ + "/" + LockFileName(deviceName)) == LockFile::Outcome::kHeld)
    return kInvalidHandle;
  // 5. Our own mark: refuses any later open of the tty but root's.
  if (ioctl(fd.get(), TIOCEXCL) == 0)
    held->ownsExclusive = true;
  else if (errno != ENOTTY)
    return kInvalidHandle;

  // 6. Writes block, as they do on a Windows port.
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return kInvalidHandle;

  RememberAtEnd(fd.get(), held->ownsExclusive, held->lock);
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
  // Without a window, standard error is the one place left to tell.
  (void)std::fprintf(stderr, "%s: %s\n", caption.c_str(), utf8Text.c_str());
}

Device& PlatformDevice() {
  static PosixDevice device;
  return device;
}

}  // namespace serial
