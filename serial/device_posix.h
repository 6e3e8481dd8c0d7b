// The POSIX backend's pieces that tests reach directly: the line settings as
// pure functions, and the device with its port-to-path mapping.
#pragma once

#include <termios.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform.h"

namespace serial {

// 9600 baud both ways, 8 data bits, no parity, one stop bit, receiver on,
// modem-control lines ignored, and raw bytes: no line editing, echo, signals,
// translation or software flow control. Hardware flow control is kept.
void ApplyLineSettings(termios& tio);
bool HasLineSettings(const termios& tio);
// Writes `wanted` to the port and reads back what the driver kept: true only
// when the speed, the frame and the raw mode all took as asked.
bool WriteLineSettings(int fd, const termios& wanted);

// "COM1" is /dev/ttyS0, "COM2" is /dev/ttyS1; anything else has no device.
std::string DevicePath(const std::string& portName);

// Where lock files mark a held device ("LCK..ttyUSB0"), as minicom and the Qt
// terminals keep them.
inline constexpr char kLockDirectory[] = "/var/lock";

class PosixDevice final : public Device {
 public:
  using PathMap = std::function<std::string(const std::string& portName)>;
  explicit PosixDevice(PathMap pathOf = DevicePath, std::string lockDirectory = kLockDirectory);
  ~PosixDevice() override;

  Handle OpenPort(const std::string& name) override;
  bool SetLine(Handle port) override;
  void ClosePort(Handle port) override;
  std::size_t Write(Handle port, const char* data, std::size_t size) override;
  std::optional<std::size_t> Waiting(Handle port) override;
  std::optional<std::size_t> Read(Handle port, char* buffer, std::size_t size) override;
  bool Gone(Handle port) override;
  void Alert(const std::string& utf8Text, const std::string& caption) override;

 private:
  struct Held;  // what an open port holds besides its descriptor
  PathMap pathOf_;
  std::string lockDirectory_;
  std::map<Handle, std::unique_ptr<Held>> held_;
  int failure_ = 0;  // errno of the last call on a port, 0 when it succeeded
};

}  // namespace serial
