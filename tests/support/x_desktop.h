// An X desktop for tests: Xvfb on a free display it picks itself and
// openbox for frames and focus, with DISPLAY naming it for whatever starts
// afterwards. Its processes die with the thread that made them, so that no
// display outlives a crashed run.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace test {

// Fails, naming the install script, when Xvfb, openbox or wmctrl, or any of
// the test's own `more` tools, is not on PATH.
void RequireDesktopTools(const std::vector<std::string>& more = {});

// Starts `argv` (a path, or a name on PATH) with stdin on /dev/null and
// stdout and stderr on `out`, /dev/null when -1. It dies with the calling
// thread.
pid_t SpawnTool(const std::vector<std::string>& argv, int out = -1);

class XDesktop {
 public:
  // A screen of `size` ("WxH"), up once openbox has taken charge of it; what
  // Xvfb and openbox print goes to the file `log`, or nowhere when empty.
  explicit XDesktop(const std::string& size, std::string log = {});
  ~XDesktop();
  XDesktop(const XDesktop&) = delete;
  XDesktop& operator=(const XDesktop&) = delete;

  // A fresh display of another size in place of this one, with the bottom
  // `panel` pixels kept free as a desktop panel keeps them (openbox's margins,
  // out of the work area it announces); programs started from now on show on
  // it.
  void Restart(const std::string& size, int panel = 0);

 private:
  void Stop();
  std::string log_;
  pid_t xvfb_ = -1;
  pid_t openbox_ = -1;
};

}  // namespace test
