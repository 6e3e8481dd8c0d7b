// Calls of the C library that the serial backend makes, wrapped by the
// linker (--wrap) so that a test can act at the moment they happen: fail
// one as a dying device would, or change the files around it as a peer or a
// signal could. Unset, they pass straight through.
#pragma once

#include <functional>
#include <string>

namespace test {

struct Seams {
  std::function<int(int fd)> failWrite;  // an errno that write() on `fd` fails with, or 0
  std::function<void(int fd)> beforePwrite;
  std::function<void(int fd)> afterRead;
  std::function<void(const char* path)> afterUnlink;
};
extern Seams seams;

// The path a descriptor was opened by, as /proc names it.
std::string PathOf(int fd);

}  // namespace test
