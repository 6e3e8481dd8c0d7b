// Serial ports on POSIX termios (Linux). Provides the port operations, the
// locale's text conversions and a fallback for the two messages on stderr.
// Must match the Win32 backend: exclusive open, 9600 8N1 with the driver's
// flow control otherwise kept, blocking writes, and a status query that fails
// once the line is gone so that a read never waits for bytes.
#include "serial/device_posix.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "serial/text.h"

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

// Converts with iconv, stepping one byte past anything the source encoding
// can't decode, which becomes `replacement`. `incomplete`, when given, learns
// how many bytes at the end start a character they don't finish.
std::string Convert(std::string_view in, const char* to, const char* from,
                    std::string_view replacement = "\xEF\xBF\xBD",
                    std::size_t* incomplete = nullptr) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(in);
  std::string out;
  char buffer[256];
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  while (srcLeft > 0) {
    char* dst = buffer;
    std::size_t dstLeft = sizeof buffer;
    const std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
      if (errno == EINVAL && incomplete) {
        *incomplete = srcLeft;
        break;
      }
      out += replacement;
      ++src;
      --srcLeft;
    }
  }
  iconv_close(cd);
  return out;
}

// The locale's encoding, or nothing when text passes as UTF-8 unchanged (a
// UTF-8 locale, or the plain C locale, which the toolkit treats as UTF-8).
const char* LocaleEncoding() {
  const char* codeset = nl_langinfo(CODESET);
  if (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "ANSI_X3.4-1968") == 0)
    return nullptr;
  return codeset;
}

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

// The port held now, for the one thing the process must do with it as it
// ends without Exit (its window closed by the frame, say): give the flag back.
int g_heldPort = -1;

void GiveBackAtExit() {
  if (g_heldPort >= 0) ioctl(g_heldPort, TIOCNXCL);
}

}  // namespace

Handle PosixDevice::OpenPort(const std::string& name) {
  const std::string path = pathOf_(name);
  if (path.empty()) return kInvalidHandle;

  // Non-blocking for the open alone, so that a missing carrier can't hang it.
  Descriptor fd(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) return kInvalidHandle;
  // Handle 0 means "no port", so the port never takes descriptors 0 to 2.
  if (fd.get() < 3) fd.reset(fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
  if (fd.get() < 0) return kInvalidHandle;

  // Exclusive against everyone, this process included; the lock refuses any
  // second holder, TIOCEXCL also refuses a second open of the tty.
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return kInvalidHandle;
  // A device that is no tty at all opens here and is refused its settings.
  if (ioctl(fd.get(), TIOCEXCL) != 0 && errno != ENOTTY) return kInvalidHandle;

  // Writes block, as they do on a Windows port.
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    ioctl(fd.get(), TIOCNXCL);
    return kInvalidHandle;
  }
  static const bool registered = std::atexit(GiveBackAtExit) == 0;
  (void)registered;
  g_heldPort = fd.get();
  return fd.release();
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
  // The tty keeps TIOCEXCL for as long as anyone holds it open (a
  // pseudo-terminal's far end, say): give it back with the port, or no one
  // but root could open the line again.
  ioctl(Fd(port), TIOCNXCL);
  if (Fd(port) == g_heldPort) g_heldPort = -1;
  close(Fd(port));
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

std::string LocalToUtf8(std::string_view local) {
  const char* encoding = LocaleEncoding();
  return encoding ? Convert(local, "UTF-8", encoding) : std::string(local);
}

std::string Utf8ToLocal(std::string_view utf8) {
  const char* encoding = LocaleEncoding();
  if (!encoding) return std::string(utf8);
  // Characters the locale can't hold become the nearest it can, or '?'.
  return Convert(utf8, (std::string(encoding) + "//TRANSLIT").c_str(), "UTF-8", "?");
}

std::string Big5ToUtf8(std::string_view big5) { return Convert(big5, "UTF-8", "BIG5"); }

std::size_t IncompleteTail(std::string_view local) {
  const char* encoding = LocaleEncoding();
  if (!encoding) return Utf8IncompleteTail(local);
  // iconv tells a cut character at the end from a wrong one; decoding from
  // the start keeps double-byte pairs in step.
  std::size_t incomplete = 0;
  Convert(local, "UTF-8", encoding, "?", &incomplete);
  return incomplete;
}

}  // namespace serial
