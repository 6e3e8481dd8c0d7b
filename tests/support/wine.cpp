#include "wine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include "pty.h"

extern char** environ;

namespace test::wine {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what); }

void RequireWine(const Arch& arch) {
  for (const std::string& tool : {arch.wine, arch.wineServer})
    if (access(tool.c_str(), X_OK) != 0)
      Fail("missing " + tool + " (scripts/install-dependencies.sh installs " +
           (&arch == &kI686 ? "wine32:i386" : "wine64") + ")");
}

}  // namespace

const Arch& ArchNamed(const std::string& name) {
  for (const Arch* arch : {&kX86_64, &kI686})
    if (arch->name == name) return *arch;
  Fail("no Windows architecture named \"" + name + "\"");
}

std::optional<std::string> CannotRun(const Arch& arch) {
  RequireWine(arch);
  // The loader is itself a program of the arch (an i386 ELF for i686): the
  // kernel refuses to execute it when it has no support for such code.
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  char* args[] = {const_cast<char*>(arch.wine.c_str()), const_cast<char*>("--version"), nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, args[0], &actions, nullptr, args, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error == ENOEXEC)
    return std::string(kCannotRunMark) + " " + arch.name + " programs: the kernel refuses " +
           arch.wine + " (" + std::strerror(error) + ")";
  if (error != 0) Fail("cannot start " + arch.wine + ": " + std::strerror(error));
  const int status = WaitExit(pid, 30s);
  if (status != 0) Fail(arch.wine + " --version ended with " + std::to_string(status));
  return std::nullopt;
}

Prefix::Prefix(std::string path, const Arch& arch)
    : arch_(arch), path_(std::move(path)), log_(path_ + ".log") {
  RequireWine(arch_);
  setenv("WINEPREFIX", path_.c_str(), 1);
  setenv("WINEARCH", arch_.wineArch.c_str(), 1);  // only read when the prefix is made
  setenv("WINEDEBUG", "-all", 1);
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);  // no Mono or Gecko installer
  setenv("LC_ALL", "C", 1);                          // ANSI code page 1252
  signal(SIGPIPE, SIG_IGN);  // a program gone early fails a write, not the test run

  const std::string ready = path_ + "/comtester-ready";
  if (access(ready.c_str(), F_OK) == 0) return;
  std::error_code ignored;
  fs::remove_all(path_, ignored);
  Run({arch_.wine, "wineboot", "--init"});
  Run({arch_.wineServer, "-w"});
  if (close(open(ready.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) != 0)
    Fail("cannot mark " + ready);
}

pid_t Prefix::Spawn(const std::vector<std::string>& argv, int in, int out) const {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0)
    posix_spawn_file_actions_adddup2(&actions, in, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out >= 0)
    posix_spawn_file_actions_adddup2(&actions, out, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
  posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) Fail("cannot start " + argv[0] + ": " + std::strerror(error));
  return pid;
}

void Prefix::Run(const std::vector<std::string>& argv) const {
  const int status = WaitExit(Spawn(argv), 120s);
  if (status != 0)
    Fail(argv[0] + " " + (argv.size() > 1 ? argv[1] : "") + " ended with " +
         std::to_string(status) + ", see " + log_);
}

std::string Prefix::LinkOf(const std::string& dosDevice) const {
  std::error_code error;
  return fs::read_symlink(path_ + "/dosdevices/" + dosDevice, error).string();
}

void Prefix::MapPorts(const std::string& com1, const std::string& com2) const {
  // Wine opens /dev/ttyS<n-1> for a COMn whose link leads nowhere, and here
  // /dev/ttyS0 is the machine's console: map only to what is there.
  for (const std::string& path : {com1, com2})
    if (!fs::exists(path) || path.starts_with("/dev/ttyS"))
      Fail("refusing to map a port to " + path);
  // Both ports every time: a port left alone keeps a stale mapping.
  const std::string key = R"(HKLM\Software\Wine\Ports)";
  for (const auto& [name, path] : {std::pair{"COM1", com1}, std::pair{"COM2", com2}})
    Run({arch_.wine, "reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", path, "/f"});
  // The mount manager relinks dosdevices when a session starts.
  Stop();
  Run({arch_.wineServer, "-p"});
  Run({arch_.wine, "reg", "query", key});
  if (!WaitFor([&] { return LinkOf("com1") == com1 && LinkOf("com2") == com2; }))
    Fail("dosdevices: com1 -> " + LinkOf("com1") + ", com2 -> " + LinkOf("com2") + "; wanted " +
         com1 + ", " + com2);
}

void Prefix::Stop() const {
  Run({arch_.wineServer, "-k"});
  // Only asked to end: the next program of this prefix, in this process or
  // the next test's, must not meet the server on its way out.
  Run({arch_.wineServer, "-w"});
}

int WaitExit(pid_t pid, std::chrono::milliseconds deadline) {
  int status = 0;
  if (!WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, deadline)) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Kill(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

PipedProgram::PipedProgram(const Prefix& prefix, const std::string& exe) {
  if (access(exe.c_str(), R_OK) != 0) Fail("missing " + exe);
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Fail("pipe");
  pid_ = prefix.Spawn({prefix.wine(), exe}, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  in_ = in[1];
  out_ = out[0];
  const auto first = ReadLine(30s);
  if (first != "ready")
    Fail(exe + " said \"" + first.value_or("nothing") + "\", see " + prefix.log());
}

PipedProgram::~PipedProgram() {
  Kill(pid_);
  close(in_);
  close(out_);
}

void PipedProgram::Send(const std::string& command) {
  const std::string line = command + "\n";
  if (write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
    Fail("the program took no command");
}

std::optional<std::string> PipedProgram::ReadLine(std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + Patience(deadline);
  for (;;) {
    if (const auto newline = pending_.find('\n'); newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();  // msvcrt text mode
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd p{out_, POLLIN, 0};
    char chunk[4096];
    ssize_t n = 0;
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
        (n = read(out_, chunk, sizeof chunk)) <= 0)
      return std::nullopt;
    pending_.append(chunk, static_cast<std::size_t>(n));
  }
}

int PipedProgram::Exit(std::chrono::milliseconds deadline) {
  const int status = WaitExit(pid_, deadline);
  if (status >= 0) pid_ = -1;
  return status;
}

}  // namespace test::wine
