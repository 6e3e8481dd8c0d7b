// What the serial link needs from the operating system. One backend per
// platform implements it: device_posix.cpp (termios) and device_win32.cpp
// (kernel32 and user32).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "serial.h"

namespace serial {

class Device {
 public:
  virtual ~Device() = default;

  // Opens the named port ("COM1") for reading and writing, exclusively, for
  // synchronous I/O. kInvalidHandle when it is missing or held by anyone.
  virtual Handle OpenPort(const std::string& name) = 0;
  // Sets 9600 baud, 8 data bits, no parity, one stop bit, keeping the driver's
  // other settings. False when the driver refuses.
  virtual bool SetLine(Handle port) = 0;
  virtual void ClosePort(Handle port) = 0;
  // Hands up to `size` bytes to the driver; returns how many it took, 0 when
  // it took none or failed.
  virtual std::size_t Write(Handle port, const char* data, std::size_t size) = 0;
  // Bytes received and not yet read; nothing when the query fails.
  virtual std::optional<std::size_t> Waiting(Handle port) = 0;
  // Reads `size` bytes that are already queued; nothing when the read fails.
  virtual std::optional<std::size_t> Read(Handle port, char* buffer, std::size_t size) = 0;
  // Asked after Write took nothing, or Waiting or Read failed: true when the
  // device itself has gone (an adapter pulled out, the far end hung up), so
  // that nothing will ever pass on this handle again.
  virtual bool Gone(Handle port) = 0;
  // A modal message box with one OK button and no owner.
  virtual void Alert(const std::string& utf8Text, const std::string& caption) = 0;
};

// The backend of this platform.
Device& PlatformDevice();

// The device the operations use: PlatformDevice() unless a test installed
// another. Passing nullptr restores the platform's.
Device& CurrentDevice();
void UseDevice(Device* device);

// Text conversions of this platform. "Local" is the 8-bit text the line
// carries: the ANSI code page on Windows, the locale's encoding elsewhere.
std::string LocalToUtf8(std::string_view local);
std::string Utf8ToLocal(std::string_view utf8);
std::string Big5ToUtf8(std::string_view big5);
// How many bytes at the end of `local` begin a character that they do not
// complete: 0 when the text ends on a whole character.
std::size_t IncompleteTail(std::string_view local);

}  // namespace serial
