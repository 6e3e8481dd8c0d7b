// Running Windows test programs under Wine, x86-64 (wine64) or i686 (32-bit
// wine in a win32 prefix): a private prefix whose COM1 and COM2 are mapped to
// chosen devices, and programs spoken to over pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace test::wine {

// What runs the programs of one Windows architecture.
struct Arch {
  std::string name;        // as the build directories have it: "x86_64", "i686"
  std::string wine;        // the loader that starts a program
  std::string wineServer;  // the server of the loader's prefixes
  std::string wineArch;    // WINEARCH of a prefix made for them
};

inline const Arch kX86_64{"x86_64", "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64", "win64"};
inline const Arch kI686{"i686", "/usr/lib/wine/wine", "/usr/lib/wine/wineserver32", "win32"};

// kX86_64 or kI686 by name; throws for any other.
const Arch& ArchNamed(const std::string& name);

// Why this machine cannot run the arch's programs, or nothing when it can.
// Fails when the arch's wine is not installed: that is the install script's
// job, not the machine's limit.
std::optional<std::string> CannotRun(const Arch& arch);
// The start of every CannotRun reason, for CTest to see (tests/CMakeLists.txt).
inline constexpr char kCannotRunMark[] = "this machine cannot execute";

// A prefix of the tests' own, made once and kept (making one takes seconds).
// Everything wine and the tools print goes to a log beside it.
class Prefix {
 public:
  Prefix(std::string path, const Arch& arch);

  const std::string& log() const { return log_; }
  // The loader to start this prefix's Windows programs with.
  const std::string& wine() const { return arch_.wine; }
  // Starts `argv` (a path, or a name on PATH) with the given stdin and
  // stdout, -1 meaning /dev/null and the log; stderr always goes to the log.
  pid_t Spawn(const std::vector<std::string>& argv, int in = -1, int out = -1) const;
  // Runs a tool that must succeed.
  void Run(const std::vector<std::string>& argv) const;
  // COM1 and COM2 on the given devices, and checked to be there before any
  // program starts.
  void MapPorts(const std::string& com1, const std::string& com2) const;
  void Stop() const;

 private:
  std::string LinkOf(const std::string& dosDevice) const;
  const Arch& arch_;
  std::string path_;
  std::string log_;
};

// The exit status, or -1 when the process has not ended by the deadline.
int WaitExit(pid_t pid, std::chrono::milliseconds deadline);
void Kill(pid_t& pid);

// A Windows program under the prefix's wine that says "ready", then reads commands a
// line at a time on stdin and answers in lines on stdout.
class PipedProgram {
 public:
  PipedProgram(const Prefix& prefix, const std::string& exe);
  ~PipedProgram();
  PipedProgram(const PipedProgram&) = delete;
  PipedProgram& operator=(const PipedProgram&) = delete;

  void Send(const std::string& line);
  // The next line, or nothing when none comes by the deadline.
  std::optional<std::string> ReadLine(std::chrono::milliseconds deadline);
  // The exit status once it ends, or -1 when it does not by the deadline.
  int Exit(std::chrono::milliseconds deadline);

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
};

}  // namespace test::wine
