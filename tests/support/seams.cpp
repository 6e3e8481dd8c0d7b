#include "seams.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace test {

Seams seams;

std::string PathOf(int fd) {
  char target[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), target, sizeof target);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace test

using test::seams;

extern "C" {

ssize_t __real_write(int fd, const void* data, size_t size);
ssize_t __real_pwrite(int fd, const void* data, size_t size, off_t offset);
ssize_t __real_read(int fd, void* buffer, size_t size);
int __real_unlink(const char* path);

ssize_t __wrap_write(int fd, const void* data, size_t size) {
  if (seams.failWrite)
    if (const int error = seams.failWrite(fd)) {
      errno = error;
      return -1;
    }
  return __real_write(fd, data, size);
}

ssize_t __wrap_pwrite(int fd, const void* data, size_t size, off_t offset) {
  if (seams.beforePwrite) seams.beforePwrite(fd);
  return __real_pwrite(fd, data, size, offset);
}

ssize_t __wrap_read(int fd, void* buffer, size_t size) {
  const ssize_t n = __real_read(fd, buffer, size);
  const int error = errno;
  if (seams.afterRead) seams.afterRead(fd);
  errno = error;
  return n;
}

int __wrap_unlink(const char* path) {
  const int result = __real_unlink(path);
  const int error = errno;
  if (seams.afterUnlink) seams.afterUnlink(path);
  errno = error;
  return result;
}

}  // extern "C"
