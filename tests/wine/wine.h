// Running Windows test programs under wine64: a private prefix whose COM1 and
// COM2 are mapped to chosen devices, and programs spoken to over pipes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace test::wine {

inline const std::string kWine = "/usr/lib/wine/wine64";
inline const std::string kWineServer = "/usr/lib/wine/wineserver64";

// A prefix of the tests' own, made once and kept (making one takes seconds).
// Everything wine and the tools print goes to a log beside it.
class Prefix {
 public:
  explicit Prefix(std::string path);

  const std::string& log() const { return log_; }
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
  std::string path_;
  std::string log_;
};

// The exit status, or -1 when the process has not ended by the deadline.
int WaitExit(pid_t pid, std::chrono::milliseconds deadline);
void Kill(pid_t& pid);

// A Windows program under wine64 that says "ready", then reads commands a
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
