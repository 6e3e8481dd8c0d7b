// The serial operations over the Win32 backend: serial_driver.exe runs under
// wine64 with COM1 and COM2 mapped to pseudo-terminals, the tests play the
// peer on the far ends. One wine prefix serves every test; each test remaps
// both ports to its own pair.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/pty.h"
#include "tests/wine/hex.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using test::FromHex;
using test::ToHex;

const std::string kPrefix = COMTESTER_WINE_PREFIX;
const std::string kLog = kPrefix + ".log";  // wine's chatter, wineserver's dumps
const std::string kWine = COMTESTER_WINE64;
const std::string kWineServer = COMTESTER_WINESERVER64;
const std::string kDriver = COMTESTER_SERIAL_DRIVER;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Starts `argv` with the given stdin and stdout (-1: /dev/null and the log);
// stderr always goes to the log.
pid_t Spawn(const std::vector<std::string>& argv, int in = -1, int out = -1) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0)
    posix_spawn_file_actions_adddup2(&actions, in, 0);
  else
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (out >= 0)
    posix_spawn_file_actions_adddup2(&actions, out, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, kLog.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
  posix_spawn_file_actions_addopen(&actions, 2, kLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int error = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    errno = error;
    Fail("cannot start " + argv[0]);
  }
  return pid;
}

void RunTool(const std::vector<std::string>& argv) {
  const pid_t pid = Spawn(argv);
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) Fail("waitpid");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(argv[0] + " " + argv[1] + " failed, see " + kLog);
}

std::string LinkOf(const std::string& dosDevice) {
  std::error_code error;
  return std::filesystem::read_symlink(kPrefix + "/dosdevices/" + dosDevice, error).string();
}

// COM1 and COM2 on the given paths. Wine's mount manager relinks dosdevices
// from the registry only when a session starts, so the server is restarted;
// it is kept running so that the driver starts in a session already up.
void MapPorts(const std::string& com1, const std::string& com2) {
  const std::string key = R"(HKLM\Software\Wine\Ports)";
  // Both ports every time: a port left alone keeps a stale pty or the console.
  for (const auto& [name, path] : {std::pair{"COM1", com1}, std::pair{"COM2", com2}})
    RunTool({kWine, "reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", path, "/f"});
  RunTool({kWineServer, "-k"});
  RunTool({kWineServer, "-p"});
  RunTool({kWine, "reg", "query", key});
  // Never start the driver on a link to anything else: /dev/ttyS0 is the console.
  const bool linked =
      test::WaitFor([&] { return LinkOf("com1") == com1 && LinkOf("com2") == com2; });
  if (!linked)
    throw std::runtime_error("dosdevices: com1 -> " + LinkOf("com1") + ", com2 -> " +
                             LinkOf("com2") + "; wanted " + com1 + ", " + com2);
}

// The prefix is made once and kept: creating one takes seconds. The lock
// keeps test processes run side by side off each other's registry.
void PreparePrefix() {
  static int lock = -1;
  if (lock >= 0) return;
  for (const std::string& tool : {kWine, kWineServer, kDriver})
    if (access(tool.c_str(), X_OK) != 0) Fail("missing " + tool);
  lock = open((kPrefix + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0) Fail("lock " + kPrefix);

  setenv("WINEPREFIX", kPrefix.c_str(), 1);
  setenv("WINEDEBUG", "-all", 1);
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);  // no Mono or Gecko installer
  setenv("LC_ALL", "C", 1);                          // ANSI code page 1252
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  signal(SIGPIPE, SIG_IGN);  // a driver gone early fails the write, not the test run

  const std::string ready = kPrefix + "/comtester-ready";
  if (access(ready.c_str(), F_OK) == 0) return;
  RunTool({kWine, "wineboot", "--init"});
  RunTool({kWineServer, "-w"});
  if (close(open(ready.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) != 0) Fail(ready);
}

struct Alert {
  std::string caption;
  std::string text;
  bool operator==(const Alert&) const = default;
  friend void PrintTo(const Alert& alert, std::ostream* out) {
    *out << alert.caption << ": " << alert.text;
  }
};

struct Reply {
  std::vector<Alert> alerts;
  std::string result;
};

// serial_driver.exe under wine64, spoken to over pipes.
class Driver {
 public:
  Driver() {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) Fail("pipe");
    pid_ = Spawn({kWine, kDriver}, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
    const std::string first = ReadLine(30s);
    if (first != "ready") throw std::runtime_error("driver said \"" + first + "\"");
  }

  ~Driver() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(in_);
    close(out_);
  }

  Reply Call(const std::string& command) {
    Send(command);
    Reply reply;
    for (;;) {
      const std::string line = ReadLine(10s);
      if (!line.starts_with("alert ")) {
        reply.result = line;
        return reply;
      }
      const std::size_t space = line.find(' ', 6);
      reply.alerts.push_back({FromHex(line.substr(6, space - 6)), FromHex(line.substr(space + 1))});
    }
  }

  // The received text, or "none" when Receive gave nothing.
  std::string Receive() {
    const std::string result = Call("receive").result;
    return result.starts_with("text ") ? FromHex(result.substr(5)) : result;
  }

  // The text once the driver has counted `count` waiting bytes: the peer's
  // bytes reach the port's queue a moment after they are written.
  std::string ReceiveQueued(std::size_t count) {
    const std::string want = "waiting " + std::to_string(count);
    EXPECT_TRUE(test::WaitFor([&] { return Call("waiting").result == want; }))
        << "never counted " << count << " bytes";
    return Receive();
  }

  // The exit status after "exit", or -1 when the driver did not end in time.
  int Exit() {
    Send("exit");
    int status = -1;
    const bool ended = test::WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10s);
    if (!ended) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  void Send(const std::string& command) {
    const std::string line = command + "\n";
    if (write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
      Fail("write to driver");
  }

  std::string ReadLine(std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
      const std::size_t newline = pending_.find('\n');
      if (newline != std::string::npos) {
        std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();  // msvcrt text mode
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
        throw std::runtime_error("driver did not answer in time");
      char buffer[4096];
      const ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) throw std::runtime_error("driver's output ended, see " + kLog);
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;
};

bool HungUp(const test::Pty& pty) {
  pollfd p{pty.master(), POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

termios LineOf(const test::Pty& pty) {
  termios tio{};
  if (tcgetattr(pty.master(), &tio) != 0) Fail("tcgetattr");
  return tio;
}

class WineSerial : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PreparePrefix(); }
  static void TearDownTestSuite() { RunTool({kWineServer, "-k"}); }

  void Start(const std::string& com2Path) {
    // The log keeps one test's worth: wineserver dumps megabytes when a peer goes.
    if (truncate(kLog.c_str(), 0) != 0 && errno != ENOENT) Fail("truncate " + kLog);
    MapPorts(com1.path(), com2Path);
    driver.emplace();
  }

  test::Pty com1;
  test::Pty com2;
  std::optional<Driver> driver;
};

// Both ports on pseudo-terminals.
class WineLine : public WineSerial {
 protected:
  void SetUp() override { Start(com2.path()); }
};

TEST_F(WineLine, OpenSets9600OneStopBitAndKeepsTheDriversOtherSettings) {
  // A slow line with two stop bits and hardware flow control, which the
  // driver reports and must keep. Linux ptys force CS8 and no parity, so the
  // byte size and parity cannot be seen here.
  termios before = LineOf(com1);
  before.c_cflag |= CSTOPB | CRTSCTS;
  cfsetspeed(&before, B1200);
  ASSERT_EQ(tcsetattr(com1.master(), TCSANOW, &before), 0);
  before = LineOf(com1);
  ASSERT_EQ(cfgetospeed(&before), B1200);
  ASSERT_NE(before.c_cflag & CSTOPB, 0u);

  const Reply reply = driver->Call("open 0");
  EXPECT_EQ(reply.result, "open 1");
  EXPECT_TRUE(reply.alerts.empty());

  const termios after = LineOf(com1);
  EXPECT_EQ(cfgetospeed(&after), B9600);
  EXPECT_EQ(cfgetispeed(&after), B9600);
  EXPECT_EQ(after.c_cflag & CSTOPB, 0u);
  EXPECT_NE(after.c_cflag & CRTSCTS, 0u);
  const termios other = LineOf(com2);
  EXPECT_NE(cfgetospeed(&other), B9600) << "COM2 was set up too";
}

TEST_F(WineLine, IndexOneOpensTheSecondPortOnly) {
  ASSERT_EQ(driver->Call("open 1").result, "open 1");
  const termios second = LineOf(com2);
  const termios first = LineOf(com1);
  EXPECT_EQ(cfgetospeed(&second), B9600);
  EXPECT_NE(cfgetospeed(&first), B9600);

  ASSERT_EQ(driver->Call("send " + ToHex("two")).result, "sent");
  EXPECT_EQ(com2.ReadUpTo(3), "two");
  EXPECT_EQ(com1.Drain(), "");
}

TEST_F(WineLine, ReopeningReleasesThePortHeldBefore) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  com1.ReleaseNearEnd();
  ASSERT_FALSE(HungUp(com1));
  ASSERT_EQ(driver->Call("open 1").result, "open 1");
  EXPECT_TRUE(test::WaitFor([&] { return HungUp(com1); })) << "COM1 still held";
}

TEST_F(WineLine, SendPutsEveryByteOnTheLineAndNothingElse) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  const std::string text = "first line\r\nsecond line\r\n\r\n  last, no newline";
  ASSERT_EQ(driver->Call("send " + ToHex(text)).result, "sent");
  EXPECT_EQ(com1.ReadUpTo(text.size()), text);
  EXPECT_EQ(com1.Drain(), "");
}

TEST_F(WineLine, TextCrossesTheLineInTheAnsiCodePage) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  ASSERT_EQ(driver->Call("send " + ToHex("caf\xC3\xA9 \xC2\xB1")).result, "sent");
  EXPECT_EQ(com1.ReadUpTo(6), "caf\xE9 \xB1");

  com1.Write("\xE9t\xE9");
  EXPECT_EQ(driver->ReceiveQueued(3), "\xC3\xA9t\xC3\xA9");
}

TEST_F(WineLine, ReceiveShowsWhatIsWaitingUpToTheLimit) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  EXPECT_EQ(driver->Receive(), "") << "nothing waiting is an empty text, not nothing";

  com1.Write("twelve bytes");
  EXPECT_EQ(driver->ReceiveQueued(12), "twelve bytes");

  std::string full;
  for (int i = 0; i < 1024; ++i) full += static_cast<char>('a' + i % 26);
  com1.Write(full);
  EXPECT_EQ(driver->ReceiveQueued(1024), full);
  EXPECT_EQ(driver->Receive(), "");
}

TEST_F(WineLine, ReceiveLeavesBytesBeyondTheLimitForTheNextPress) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  std::string first;
  for (int i = 0; i < 1024; ++i) first += static_cast<char>('a' + i % 26);
  com1.Write(first + "Z");
  EXPECT_EQ(driver->ReceiveQueued(1025), first);
  EXPECT_EQ(driver->ReceiveQueued(1), "Z");
  EXPECT_EQ(driver->Receive(), "");
}

TEST_F(WineLine, ZeroBytesShowAsTheNullSymbolWithTheTextAroundThem) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  com1.Write(std::string("A\0\0B\0", 5));
  EXPECT_EQ(driver->ReceiveQueued(5), "A\u2400\u2400B\u2400");
}

TEST_F(WineLine, ReceiveGivesNothingOnceThePeerHasGone) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  com1.CloseMaster();
  // A read here would block for good; the status query's failure must stop it.
  EXPECT_EQ(driver->Receive(), "none");
}

TEST_F(WineLine, ExitEndsWithStatusZeroAndLetsGoOfThePort) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  com1.ReleaseNearEnd();
  ASSERT_FALSE(HungUp(com1));
  EXPECT_EQ(driver->Exit(), 0);
  EXPECT_TRUE(test::WaitFor([&] { return HungUp(com1); })) << "COM1 still held";
}

// COM2 on something that is not a working line; COM1 stays a pty.
using WineBrokenPort = WineSerial;

TEST_F(WineBrokenPort, PortThatCannotBeOpenedShowsTheOpenError) {
  // A directory: it exists, so Wine takes the link as it is, and no file
  // open succeeds on it. (A dangling link does not fail: Wine still opens
  // a COM device of its own.)
  const std::string directory = kPrefix + "-not-a-port";
  std::filesystem::create_directories(directory);
  Start(directory);
  const Reply reply = driver->Call("open 1");
  EXPECT_EQ(reply.result, "open 0");
  EXPECT_EQ(reply.alerts, (std::vector<Alert>{{"Comm Error", "開啟通訊埠錯誤!!"}}));
}

TEST_F(WineBrokenPort, DeviceThatIsNoLineShowsTheSetError) {
  Start("/dev/null");
  const Reply reply = driver->Call("open 1");
  EXPECT_EQ(reply.result, "open 0");
  EXPECT_EQ(reply.alerts, (std::vector<Alert>{{"Set Error", "通訊埠設定錯誤!!!"}}));
}

}  // namespace
