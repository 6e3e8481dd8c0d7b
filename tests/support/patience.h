// How long a test waits for what it expects. A wait ends as soon as the
// event comes; its deadline only bounds a failure, so each is generous,
// about ten times what the step takes on an idle machine, and a busy machine
// makes a test slower, never red. COMTESTER_TEST_SLOWDOWN (a factor, 1 when
// unset) stretches every deadline for a machine slower still, such as an
// emulated one.
#pragma once

#include <chrono>
#include <cstdlib>

namespace test {

inline double Slowdown() {
  static const double factor = [] {
    const char* given = std::getenv("COMTESTER_TEST_SLOWDOWN");
    const double value = given ? std::strtod(given, nullptr) : 1.0;
    return value >= 1.0 ? value : 1.0;
  }();
  return factor;
}

// `deadline`, stretched by the machine's slowdown.
inline std::chrono::milliseconds Patience(std::chrono::milliseconds deadline) {
  return std::chrono::milliseconds(static_cast<long long>(deadline.count() * Slowdown()));
}

}  // namespace test
