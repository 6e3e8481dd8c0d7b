// Runs inside the emulated machine as its only program: the serial driver of
// tests/support/driver.h on COM2, spoken to over the console. COM2 is the
// device named by the one argument, by default /dev/ttyS1: a PC's 16550
// under the kernel's 8250 driver, a USB serial adapter, or an ARM machine's
// PL011 bound there. Its own commands, beside the protocol's:
//   preset          -> sets COM2 to 1200 baud, 7 data bits, odd parity, 2 stop
//                      bits, cooked; replies "termios ..." as below
//   termios         -> "termios <iflag> <oflag> <cflag> <lflag> <ispeed> <ospeed>"
//                      of the open port, flags in hex, speeds in baud
//   speed <baud>    -> asks the open port for that speed with the line's other
//                      settings; "took 1" or "took 0", then the speed it kept
//   second          -> another process opens COM2 as root, then as nobody:
//                      "second root <opened|refused> nobody <opened|errno name>"
//   present         -> "present 1" while COM2's device node exists, else "present 0"
//   state           -> "state open" or "state closed": whether the link holds a port
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "device_posix.h"
#include "driver.h"
#include "serial.h"

namespace {

const char* g_line = "/dev/ttyS1";

std::string PathOf(const std::string& port) { return port == "COM2" ? g_line : ""; }

struct Speed {
  speed_t code;
  unsigned baud;
};
constexpr Speed kSpeeds[] = {
    {B1200, 1200}, {B9600, 9600}, {B115200, 115200}, {B4000000, 4000000}, {B0, 0}};

unsigned Baud(speed_t code) {
  for (const Speed& s : kSpeeds)
    if (s.code == code) return s.baud;
  return ~0u;
}

std::string Describe(const termios& tio) {
  char line[160];
  std::snprintf(line, sizeof line, "termios %x %x %x %x %u %u", tio.c_iflag, tio.c_oflag,
                tio.c_cflag, tio.c_lflag, Baud(cfgetispeed(&tio)), Baud(cfgetospeed(&tio)));
  return line;
}

std::string Preset() {
  const int fd = open(g_line, O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  if (fd < 0 || tcgetattr(fd, &tio) != 0)
    return std::string("preset failed: ") + std::strerror(errno);
  tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS7 | PARENB | PARODD | CSTOPB;
  cfsetspeed(&tio, B1200);
  tcsetattr(fd, TCSANOW, &tio);
  tcgetattr(fd, &tio);
  close(fd);
  return Describe(tio);
}

std::string AskSpeed(unsigned baud) {
  termios tio{};
  if (!serial::IsOpen() || tcgetattr(static_cast<int>(serial::hCom), &tio) != 0) return "took none";
  serial::ApplyLineSettings(tio);
  for (const Speed& s : kSpeeds)
    if (s.baud == baud) cfsetspeed(&tio, s.code);
  const bool took = serial::WriteLineSettings(static_cast<int>(serial::hCom), tio);
  tcgetattr(static_cast<int>(serial::hCom), &tio);
  return std::string("took ") + (took ? "1 " : "0 ") + std::to_string(Baud(cfgetospeed(&tio)));
}

// What another process meets opening the held line: `open` runs in a child.
template <class Open>
std::string InChild(Open open) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "pipe";
  const pid_t child = fork();
  if (child == 0) {
    const std::string result = open();
    (void)!write(pipeEnds[1], result.data(), result.size());
    _exit(0);
  }
  close(pipeEnds[1]);
  char buffer[64];
  const ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
  close(pipeEnds[0]);
  waitpid(child, nullptr, 0);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "nothing";
}

std::string SecondOpen() {
  const std::string root = InChild([] {
    serial::PosixDevice device{PathOf};
    const serial::Handle port = device.OpenPort("COM2");
    return std::string(port == serial::kInvalidHandle ? "refused" : "opened");
  });
  const std::string nobody = InChild([] {
    if (setgid(65534) != 0 || setuid(65534) != 0) return std::string("no-nobody");
    const int fd = open(g_line, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) return std::string("opened");
    return std::string(strerrorname_np(errno));
  });
  return "second root " + root + " nobody " + nobody;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_line = argv[1];
  serial::PosixDevice device{PathOf};
  serial::UseDevice(&device);
  return test::RunDriver(
      [](const std::string& command, const std::string& argument) -> std::optional<std::string> {
        if (command == "preset") return Preset();
        if (command == "termios") {
          termios tio{};
          const bool ok = serial::IsOpen() && tcgetattr(static_cast<int>(serial::hCom), &tio) == 0;
          return ok ? Describe(tio) : "termios none";
        }
        if (command == "speed") return AskSpeed(static_cast<unsigned>(std::stoul(argument)));
        if (command == "second") return SecondOpen();
        if (command == "present") return access(g_line, F_OK) == 0 ? "present 1" : "present 0";
        if (command == "state") return serial::IsOpen() ? "state open" : "state closed";
        return std::nullopt;
      });
}
