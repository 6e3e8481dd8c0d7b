// The serial operations over the Win32 backend: serial_driver.exe, of the
// architecture this suite is built for, runs under its Wine with COM1 and COM2
// mapped to pseudo-terminals, the tests play the peer on the far ends. One
// wine prefix serves every test; each test remaps both ports to its own pair.
#include <gtest/gtest.h>
#include <locale.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "hex.h"
#include "pty.h"
#include "wine.h"

namespace {

using namespace std::chrono_literals;
using test::FromHex;
using test::ToHex;

const test::wine::Arch& kArch = test::wine::ArchNamed(COMTESTER_WINE_ARCH);
const std::string kPrefixPath = COMTESTER_WINE_PREFIX;
const std::string kDriver = COMTESTER_SERIAL_DRIVER;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

// One prefix for every test of this program: making one takes seconds.
const test::wine::Prefix& ThePrefix() {
  static const test::wine::Prefix prefix(kPrefixPath, kArch);
  return prefix;
}

// Why this machine cannot run the suite's programs; asked once, as the
// answer is the machine's.
const std::optional<std::string>& CannotRunHere() {
  static const std::optional<std::string> reason = test::wine::CannotRun(kArch);
  return reason;
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

// serial_driver.exe under Wine, spoken to over pipes.
class Driver {
 public:
  Driver() : program_(ThePrefix(), kDriver) {}

  Reply Call(const std::string& command) {
    program_.Send(command);
    Reply reply;
    for (;;) {
      const std::string line = ReadLine();
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
    program_.Send("exit");
    return program_.Exit(30s);
  }

 private:
  std::string ReadLine() {
    const auto line = program_.ReadLine(30s);
    if (!line) throw std::runtime_error("driver did not answer, see " + ThePrefix().log());
    return *line;
  }

  test::wine::PipedProgram program_;
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
  void SetUp() override {
    if (const auto& reason = CannotRunHere()) GTEST_SKIP() << *reason;
  }
  static void TearDownTestSuite() {
    if (!CannotRunHere()) ThePrefix().Stop();
  }

  // The driver runs in `locale` (found in `localeDir` when that is given),
  // whose country Wine takes its ANSI code page from: 1252 in C, 950 (Big5)
  // in zh_TW.
  void Start(const std::string& com2Path, const std::string& locale = "C",
             const std::string& localeDir = "") {
    // The log keeps one test's worth: wineserver dumps megabytes when a peer goes.
    const std::string& log = ThePrefix().log();
    if (truncate(log.c_str(), 0) != 0 && errno != ENOENT) Fail("truncate " + log);
    ThePrefix().MapPorts(com1.path(), com2Path);
    struct Restore {
      ~Restore() {
        setenv("LC_ALL", "C", 1);
        unsetenv("LOCPATH");
      }
    } restore;
    setenv("LC_ALL", locale.c_str(), 1);
    if (!localeDir.empty()) setenv("LOCPATH", localeDir.c_str(), 1);
    driver.emplace();
  }

  test::Pty com1;
  test::Pty com2;
  std::optional<Driver> driver;
};

// Both ports on pseudo-terminals.
class WineLine : public WineSerial {
 protected:
  void SetUp() override {
    WineSerial::SetUp();
    if (!IsSkipped()) Start(com2.path());
  }
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

TEST_F(WineLine, EveryLineBreakShowsAsCrLf) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  com1.Write("line1\nline2\rline3\r\nline4");
  EXPECT_EQ(driver->ReceiveQueued(24), "line1\r\nline2\r\nline3\r\nline4");
}

// Both ports on pseudo-terminals, the driver in a Traditional Chinese locale:
// Wine's ANSI code page is then 950, whose characters take one or two bytes.
class WineBig5Line : public WineSerial {
 protected:
  void SetUp() override {
    WineSerial::SetUp();
    if (IsSkipped()) return;
    // A locale of the test's own, made once beside the prefix, so the machine
    // needs none generated.
    const std::string dir = kPrefixPath + "-locales", name = "zh_TW.UTF-8";
    if (!std::filesystem::exists(dir + "/" + name)) {
      // Made aside and renamed into place: the suites may run side by side.
      const std::string aside = dir + "/" + name + "." + std::to_string(getpid());
      std::filesystem::create_directories(dir);
      const std::string make = "localedef -i zh_TW -f UTF-8 " + aside;
      ASSERT_EQ(std::system(make.c_str()), 0) << make << " (localedef, from locales)";
      std::error_code ignored;
      std::filesystem::rename(aside, dir + "/" + name, ignored);
      std::filesystem::remove_all(aside, ignored);
    }
    setenv("LOCPATH", dir.c_str(), 1);
    locale_t locale = newlocale(LC_ALL_MASK, name.c_str(), nullptr);
    unsetenv("LOCPATH");
    ASSERT_NE(locale, nullptr) << name << " (localedef, from locales)";
    freelocale(locale);
    Start(com2.path(), name, dir);
  }
};

TEST_F(WineBig5Line, CharactersCutByTheLimitOrByThePressShowWhole) {
  ASSERT_EQ(driver->Call("open 0").result, "open 1");
  ASSERT_EQ(driver->Call("send " + ToHex("中文")).result, "sent");
  EXPECT_EQ(com1.ReadUpTo(4), "\xA4\xA4\xA4\xE5") << "not code page 950";

  // Byte 1024 is the lead byte of the 512th 中 (A4 A4): from its end alone
  // the text cannot tell lead bytes from trail bytes.
  std::string big5 = "a", shown = "a";
  for (int i = 0; i < 520; ++i) big5 += "\xA4\xA4", shown += "中";
  com1.Write(big5);
  EXPECT_EQ(driver->ReceiveQueued(big5.size()), shown.substr(0, 1 + 511 * 3));
  EXPECT_EQ(driver->ReceiveQueued(big5.size() - 1024), shown.substr(1 + 511 * 3));

  // A character whose second byte has yet to arrive, and one whose second
  // byte is a backslash (許 is B3 5C, 功 A5 5C).
  com1.Write("\xB3");
  EXPECT_EQ(driver->ReceiveQueued(1), "");
  com1.Write("\x5C\xA5\x5C!");
  EXPECT_EQ(driver->ReceiveQueued(4), "許功!");
  EXPECT_EQ(driver->Receive(), "");
}

// COM2 on something that is not a working line; COM1 stays a pty.
using WineBrokenPort = WineSerial;

TEST_F(WineBrokenPort, PortThatCannotBeOpenedShowsTheOpenError) {
  // A directory: it exists, so Wine takes the link as it is, and no file
  // open succeeds on it. (A dangling link does not fail: Wine still opens
  // a COM device of its own.)
  const std::string directory = kPrefixPath + "-not-a-port";
  std::filesystem::create_directories(directory);
  Start(directory);
  const Reply reply = driver->Call("open 1");
  EXPECT_EQ(reply.result, "open 0");
  EXPECT_EQ(reply.alerts, (std::vector<Alert>{{"Comm Error", "開啟通訊埠錯誤!!"}}));
}

TEST_F(WineBrokenPort, FileThatIsNoLineShowsTheSetError) {
  // An empty file of the test's own: it opens as a port does and refuses
  // every line setting.
  const std::string file = kPrefixPath + "-not-a-line";
  std::ofstream(file, std::ios::trunc).close();
  Start(file);
  const Reply reply = driver->Call("open 1");
  EXPECT_EQ(reply.result, "open 0");
  EXPECT_EQ(reply.alerts, (std::vector<Alert>{{"Set Error", "通訊埠設定錯誤!!!"}}));
  // The refused port was given back: nothing more reaches it.
  EXPECT_EQ(driver->Call("send " + ToHex("late")).result, "sent");
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

}  // namespace
