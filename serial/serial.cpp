#include "serial.h"

#include <array>
#include <cstdlib>
#include <utility>

#include "messages.h"
#include "platform.h"
#include "text.h"

namespace serial {

Handle hCom = 0;

namespace {

Device* g_device = nullptr;
AlertSink g_alertSink = nullptr;
// The leading bytes of a character that the end of the last Receive cut in
// two; they go in front of the next Receive's bytes.
std::string g_heldBack;
// Whether the last bytes shown ended in CR: an LF first in the next ones ends
// that same line break (CR LF), already shown. Nothing else is kept.
bool g_endedInCr = false;

void Show(const Message& message) {
  const std::string text = Big5ToUtf8(message.big5Text);
  const std::string caption(message.caption);
  if (g_alertSink)
    g_alertSink(text, caption);
  else
    CurrentDevice().Alert(text, caption);
}

// After a failed call on the open port: a device that has gone is given up at
// once, as a refused setting gives it up, so that the next Open opens it
// afresh (a replugged adapter, say) instead of failing on a dead handle.
void GiveUpIfGone(Device& device) {
  if (!device.Gone(hCom)) return;
  device.ClosePort(hCom);
  hCom = kInvalidHandle;
}

}  // namespace

Device& CurrentDevice() { return g_device ? *g_device : PlatformDevice(); }
void UseDevice(Device* device) { g_device = device; }
void SetAlertSink(AlertSink sink) noexcept { g_alertSink = sink; }

bool IsOpen() { return hCom != 0 && hCom != kInvalidHandle; }

std::string PortName(int index) { return "COM" + std::to_string(index + 1); }

void Open(int portIndex) {
  Device& device = CurrentDevice();
  // Reopening, or switching ports, must not leave the earlier port held.
  if (IsOpen()) device.ClosePort(hCom);
  g_heldBack.clear();
  g_endedInCr = false;

  hCom = device.OpenPort(PortName(portIndex));
  if (!IsOpen()) {
    hCom = kInvalidHandle;
    Show(kOpenError);
    return;
  }
  if (!device.SetLine(hCom)) {
    Show(kSetError);
    device.ClosePort(hCom);
    hCom = kInvalidHandle;
  }
}

void Send(const std::string& text) {
  if (!IsOpen()) return;
  const std::string bytes = Utf8ToLocal(text);
  Device& device = CurrentDevice();
  // The driver may take the bytes in parts; stop only when it takes none.
  for (std::size_t sent = 0; sent < bytes.size();) {
    const std::size_t taken = device.Write(hCom, bytes.data() + sent, bytes.size() - sent);
    if (taken == 0) return GiveUpIfGone(device);
    sent += taken;
  }
}

std::optional<std::string> Receive() {
  if (!IsOpen()) return std::nullopt;
  Device& device = CurrentDevice();
  const std::optional<std::size_t> waiting = device.Waiting(hCom);
  if (!waiting) {
    GiveUpIfGone(device);
    return std::nullopt;
  }

  // More than the limit: show the first part, leave the rest for the next press.
  std::array<char, kReceiveLimit> buffer;
  const std::size_t wanted = *waiting < kReceiveLimit ? *waiting : kReceiveLimit;
  std::size_t got = 0;
  if (wanted > 0) {
    const std::optional<std::size_t> read = device.Read(hCom, buffer.data(), wanted);
    if (!read) {
      GiveUpIfGone(device);
      return std::nullopt;
    }
    got = *read;
  }
  std::string bytes = std::exchange(g_heldBack, {});
  bytes.append(buffer.data(), got);
  g_heldBack = bytes.substr(bytes.size() - IncompleteTail(bytes));
  bytes.resize(bytes.size() - g_heldBack.size());
  if (!bytes.empty()) {
    if (g_endedInCr && bytes.front() == '\n') bytes.erase(0, 1);
    g_endedInCr = !bytes.empty() && bytes.back() == '\r';
  }
  return ReceivedText(bytes);
}

void Exit() {
  if (IsOpen()) CurrentDevice().ClosePort(hCom);
  hCom = 0;
  std::exit(0);
}

}  // namespace serial
