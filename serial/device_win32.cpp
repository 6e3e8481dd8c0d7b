// The device over kernel32's comm API, the message box from user32, and
// text through the ANSI code page. It adds: nothing queued is ever purged.
#include <windows.h>

#include <limits>

#include "platform.h"
#include "text.h"

namespace serial {

namespace {

HANDLE ToWin32(Handle port) { return reinterpret_cast<HANDLE>(port); }

std::wstring Widen(std::string_view text, UINT codePage) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), size, out.data(), wide);
  return out;
}

std::string Narrow(std::wstring_view text, UINT codePage) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int narrow =
      WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(narrow), '\0');
  WideCharToMultiByte(codePage, 0, text.data(), size, out.data(), narrow, nullptr, nullptr);
  return out;
}

// The largest count one ReadFile or WriteFile takes.
DWORD Clamp(std::size_t size) {
  constexpr std::size_t kMax = std::numeric_limits<DWORD>::max();
  return static_cast<DWORD>(size < kMax ? size : kMax);
}

class Win32Device final : public Device {
 public:
  Handle OpenPort(const std::string& name) override {
    // Share mode 0 is what makes the port exclusive; no overlapped I/O.
    const HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    return reinterpret_cast<Handle>(port);
  }

  bool SetLine(Handle port) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    // Should the query fail, SetCommState below reports the driver's refusal.
    GetCommState(ToWin32(port), &dcb);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return SetCommState(ToWin32(port), &dcb) != 0;
  }

  void ClosePort(Handle port) override { CloseHandle(ToWin32(port)); }

  std::size_t Write(Handle port, const char* data, std::size_t size) override {
    DWORD written = 0;
    if (!WriteFile(ToWin32(port), data, Clamp(size), &written, nullptr)) return 0;
    return written;
  }

  std::optional<std::size_t> Waiting(Handle port) override {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(ToWin32(port), &errors, &stat)) return std::nullopt;
    return stat.cbInQue;
  }

  std::optional<std::size_t> Read(Handle port, char* buffer, std::size_t size) override {
    DWORD read = 0;
    if (!ReadFile(ToWin32(port), buffer, Clamp(size), &read, nullptr)) return std::nullopt;
    return read;
  }

  // A replugged adapter keeps its COM number and Open closes the old handle
  // first, so a failure here never needs the port given up.
  bool Gone(Handle) override { return false; }

  void Alert(const std::string& utf8Text, const std::string& caption) override {
    const std::wstring text = Widen(utf8Text, CP_UTF8);
    const std::wstring title = Widen(caption, CP_UTF8);
    MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_OK);
  }
};

}  // namespace

Device& PlatformDevice() {
  static Win32Device device;
  return device;
}

std::string LocalToUtf8(std::string_view local) { return Narrow(Widen(local, CP_ACP), CP_UTF8); }

std::string Utf8ToLocal(std::string_view utf8) { return Narrow(Widen(utf8, CP_UTF8), CP_ACP); }

std::size_t IncompleteTail(std::string_view local) {
  if (GetACP() == CP_UTF8) return Utf8IncompleteTail(local);
  // Walk from the start: a trail byte may look like a lead byte.
  std::size_t i = 0;
  while (i < local.size()) i += IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(local[i])) ? 2 : 1;
  return i > local.size() ? 1 : 0;
}

std::string Big5ToUtf8(std::string_view big5) {
  constexpr UINT kBig5CodePage = 950;
  return Narrow(Widen(big5, kBig5CodePage), CP_UTF8);
}

}  // namespace serial
