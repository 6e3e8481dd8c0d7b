// A port whose answers each test scripts, and which records what was asked:
// the serial operations' tests and the received-text fuzz target use it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"

namespace test {

class ScriptedDevice final : public serial::Device {
 public:
  serial::Handle nextHandle = 7;
  bool refuseOpen = false;
  bool refuseLine = false;
  bool queryFails = false;
  bool readFails = false;
  bool gone = false;                   // what Gone says after a failure
  std::size_t takesAtMost = SIZE_MAX;  // per write call
  std::string queue;                   // bytes waiting in the driver
  std::string line;                    // bytes handed to the driver
  std::vector<std::string> opened;
  std::vector<serial::Handle> closed;
  std::vector<std::string> alerts;  // "caption|text"

  serial::Handle OpenPort(const std::string& name) override {
    opened.push_back(name);
    return refuseOpen ? serial::kInvalidHandle : nextHandle++;
  }
  bool SetLine(serial::Handle) override { return !refuseLine; }
  void ClosePort(serial::Handle port) override {
    closed.push_back(port);
    std::fprintf(stderr, "closed %d\n", static_cast<int>(port));
  }
  std::size_t Write(serial::Handle, const char* data, std::size_t size) override {
    const std::size_t taken = std::min(size, takesAtMost);
    line.append(data, taken);
    return taken;
  }
  std::optional<std::size_t> Waiting(serial::Handle) override {
    if (queryFails) return std::nullopt;
    return queue.size();
  }
  std::optional<std::size_t> Read(serial::Handle, char* buffer, std::size_t size) override {
    if (readFails) return std::nullopt;
    const std::size_t n = std::min(size, queue.size());
    std::copy_n(queue.data(), n, buffer);
    queue.erase(0, n);
    return n;
  }
  bool Gone(serial::Handle) override { return gone; }
  void Alert(const std::string& text, const std::string& caption) override {
    alerts.push_back(caption + "|" + text);
  }
};

}  // namespace test
