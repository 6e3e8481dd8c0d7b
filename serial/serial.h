// The serial link: one port handle and the four operations the window's
// buttons start. Every operation runs to its end inside one click, with
// synchronous calls; nothing runs between clicks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace serial {

// A platform handle (a Win32 HANDLE or a POSIX descriptor) as an integer, so
// that this header needs no system include.
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;  // INVALID_HANDLE_VALUE

inline constexpr std::size_t kReceiveLimit = 1024;

// The open port: 0 at start, kInvalidHandle after a failed open. Both mean
// that no port is open.
extern Handle hCom;

bool IsOpen();

// "COM" followed by index + 1.
std::string PortName(int index);

// Opens the port of the chooser's index exclusively and sets 9600 8N1. A port
// already open is closed first. Failures are shown as one of the two messages.
void Open(int portIndex);

// Puts the text on the line as the platform's 8-bit text, every byte, with
// nothing added. `text` is UTF-8 with lines joined by CR LF. Silent when no port
// is open or the line fails; a port whose device has gone is given up (closed,
// not open), so that the next Open opens it again.
void Send(const std::string& text);

// Reads up to kReceiveLimit waiting bytes (the rest stay queued) and returns
// them as UTF-8 text, each zero byte shown as U+2400, each line break as CR LF.
// A character cut at the end is held back and shown whole at the front of the
// next press; a CR LF cut in two shows as one line break, as it does whole.
// Returns nothing when no port is open or the port cannot be queried or read:
// the box stays as it is, and a port whose device has gone is given up, as by
// Send.
std::optional<std::string> Receive();

// Closes the port if open and ends the process with status 0.
[[noreturn]] void Exit();

// Where the link's two messages are shown; the window layer installs its own
// message box here. Without one, the platform backend shows them.
using AlertSink = void (*)(const std::string& utf8Text, const std::string& caption);
void SetAlertSink(AlertSink sink) noexcept;

}  // namespace serial
