// What another program or user left in a lock file, whatever it is: the
// process id it names, or 0; never a crash, undefined behaviour or a hang.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "lock_posix.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (serial::LockFilePid({reinterpret_cast<const char*>(data), size}) < 0) std::abort();
  return 0;
}
