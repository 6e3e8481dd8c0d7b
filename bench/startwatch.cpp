// Start-up of one GUI program: runs it and waits, as an X client of its own,
// for a top-level window of the given name to be mapped; then lets it settle,
// ends it and reports the time and its peak resident memory.
//
//   bench_startwatch NAME SETTLE_MS PROGRAM [ARGS...]
//   prints: startup_ms=<exec to MapNotify> peak_kib=<ru_maxrss> cpu_ms=<user+sys>
// The CPU time covers the program's whole life, settling included; on a busy
// machine it is steadier than the wall time.
//
// The display must have no window manager: the program's own window is then
// a child of the root, and its MapNotify reaches the root's substructure
// listeners. The watcher connects and subscribes before the fork, so that
// what it costs is the same for every program it runs.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(20);

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "bench_startwatch: %s\n", what.c_str());
  std::exit(1);
}

std::string WindowName(Display* display, Window window) {
  char* name = nullptr;
  if (!XFetchName(display, window, &name) || !name) return {};
  std::string result = name;
  XFree(name);
  return result;
}

// Errors on windows that are gone by the time we ask about them are expected.
int IgnoreErrors(Display*, XErrorEvent*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) Fail("usage: bench_startwatch NAME SETTLE_MS PROGRAM [ARGS...]");
  const std::string wanted = argv[1];
  const auto settle = std::chrono::milliseconds(std::atoi(argv[2]));

  Display* display = XOpenDisplay(nullptr);
  if (!display) Fail("cannot open the display");
  XSetErrorHandler(IgnoreErrors);
  XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
  XSync(display, True);

  // Tells the parent whether exec failed: the pipe closes on a good exec.
  int execReport[2];
  if (pipe2(execReport, O_CLOEXEC) != 0) Fail("pipe2");

  const auto start = Clock::now();
  const pid_t child = fork();
  if (child < 0) Fail("fork");
  if (child == 0) {
    close(ConnectionNumber(display));
    execv(argv[3], argv + 3);
    const int error = errno;
    (void)!write(execReport[1], &error, sizeof error);
    _exit(127);
  }
  close(execReport[1]);
  int execError = 0;
  if (read(execReport[0], &execError, sizeof execError) == sizeof execError)
    Fail(std::string("cannot run ") + argv[3] + ": " + std::strerror(execError));
  close(execReport[0]);

  bool mapped = false;
  Clock::time_point shown;
  while (!mapped) {
    while (!mapped && XPending(display)) {
      XEvent event;
      XNextEvent(display, &event);
      if (event.type == MapNotify && !event.xmap.override_redirect &&
          WindowName(display, event.xmap.window) == wanted) {
        shown = Clock::now();
        mapped = true;
      }
    }
    if (mapped) break;
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child)
      Fail("the program ended before its window was mapped");
    if (Clock::now() - start > kDeadline) {
      kill(child, SIGKILL);
      waitpid(child, nullptr, 0);
      Fail("no window named " + wanted + " was mapped in time");
    }
    pollfd p{ConnectionNumber(display), POLLIN, 0};
    poll(&p, 1, 50);
  }

  // The first paint and whatever follows at once belong to the start-up's peak.
  std::this_thread::sleep_for(settle);
  int status = 0;
  if (waitpid(child, &status, WNOHANG) == child) Fail("the program ended on its own after showing");
  kill(child, SIGTERM);
  rusage usage{};
  if (wait4(child, &status, 0, &usage) != child) Fail("wait4");
  if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGTERM)
    Fail("the program did not end by SIGTERM");

  const double ms = std::chrono::duration<double, std::milli>(shown - start).count();
  const auto cpu = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  std::printf("startup_ms=%.2f peak_kib=%ld cpu_ms=%.2f\n", ms, usage.ru_maxrss,
              cpu(usage.ru_utime) + cpu(usage.ru_stime));
  XCloseDisplay(display);
  return 0;
}
