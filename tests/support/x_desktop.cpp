#include "x_desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>

#include "pty.h"

namespace test {

namespace {

using namespace std::chrono_literals;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

// SpawnTool, with `keep` inherited too when it is not -1.
pid_t Spawn(const std::vector<std::string>& argv, int out, int keep) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) Fail("fork");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);  // the parent went before the line above
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    dup2(null, 0);
    dup2(out >= 0 ? out : null, 1);
    dup2(out >= 0 ? out : null, 2);
    if (keep >= 0) fcntl(keep, F_SETFD, 0);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

void RequireDesktopTools(const std::vector<std::string>& more) {
  std::vector<std::string> tools = {"Xvfb", "openbox", "wmctrl"};
  tools.insert(tools.end(), more.begin(), more.end());
  for (const std::string& tool : tools)
    if (std::system(("command -v " + tool + " >/dev/null").c_str()) != 0)
      Fail("missing " + tool + " (scripts/install-dependencies.sh installs it)");
}

pid_t SpawnTool(const std::vector<std::string>& argv, int out) { return Spawn(argv, out, -1); }

XDesktop::XDesktop(const std::string& size, std::string log) : log_(std::move(log)) {
  RequireDesktopTools();
  Restart(size);
}

XDesktop::~XDesktop() { Stop(); }

void XDesktop::Restart(const std::string& size, int panel) {
  Stop();
  // openbox's files, in a folder of our own that goes once it has started:
  // the mark it leaves then, and its configuration where one is needed.
  std::string folder = std::filesystem::temp_directory_path() / "comtester-openbox-XXXXXX";
  if (!mkdtemp(folder.data())) Fail("mkdtemp");
  const std::string started = folder + "/started";
  std::vector<std::string> openbox = {"openbox", "--sm-disable", "--startup",
                                      "touch '" + started + "'"};
  if (panel > 0) {
    const std::string config = folder + "/rc.xml";
    std::ofstream(config) << "<?xml version=\"1.0\"?>\n<openbox_config "
                             "xmlns=\"http://openbox.org/3.4/rc\"><margins><top>0</top><bottom>"
                          << panel
                          << "</bottom><left>0</left><right>0</right></margins>"
                             "</openbox_config>\n";
    openbox.insert(openbox.end(), {"--config-file", config});
  }
  const std::string see = log_.empty() ? "" : ", see " + log_;
  const int out =
      log_.empty() ? -1 : open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (!log_.empty() && out < 0) Fail("cannot open " + log_);
  // Xvfb writes the number of a free display it took to the pipe, once it
  // takes connections there; only Xvfb inherits the write end.
  int display[2];
  if (pipe2(display, O_CLOEXEC) != 0) Fail("pipe");
  xvfb_ = Spawn({"Xvfb", "-displayfd", std::to_string(display[1]), "-noreset", "-nolisten", "tcp",
                 "-screen", "0", size + "x24"},
                out, display[1]);
  close(display[1]);
  std::string number;
  pollfd p{display[0], POLLIN, 0};
  for (char c; poll(&p, 1, static_cast<int>(Patience(30s).count())) > 0 &&
               read(display[0], &c, 1) == 1 && c != '\n';)
    number += c;
  close(display[0]);
  if (!number.empty()) {
    setenv("DISPLAY", (":" + number).c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    openbox_ = Spawn(openbox, out, -1);
  }
  if (out >= 0) close(out);
  std::error_code ignored;
  if (number.empty()) {
    std::filesystem::remove_all(folder, ignored);
    Fail("Xvfb named no display" + see);
  }
  // In charge once it has started, which it says by running its startup
  // command after it has taken over the screen and before it takes events:
  // naming itself on the root window comes earlier, and a window mapped
  // in between waits for the rest of its start.
  const bool inCharge = WaitFor([&] { return access(started.c_str(), F_OK) == 0; }, 30s);
  std::filesystem::remove_all(folder, ignored);
  if (!inCharge) Fail("openbox did not take charge of the display" + see);
}

void XDesktop::Stop() {
  for (pid_t* pid : {&openbox_, &xvfb_}) {
    if (*pid <= 0) continue;
    kill(*pid, SIGKILL);
    waitpid(*pid, nullptr, 0);
    *pid = -1;
  }
}

}  // namespace test
