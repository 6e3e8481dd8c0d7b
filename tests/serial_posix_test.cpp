// The operations over the POSIX backend on real pseudo-terminal pairs: COM1
// and COM2 are mapped to the near ends, the tests play the peer.
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/device_posix.h"
#include "serial/serial.h"
#include "tests/pty.h"

namespace {

using serial::hCom;
using serial::kInvalidHandle;
using namespace std::chrono_literals;

std::vector<std::string> g_shown;

class PosixLine : public ::testing::Test {
 protected:
  void SetUp() override {
    hCom = 0;
    g_shown.clear();
    serial::UseDevice(&device);
    serial::SetAlertSink([](const std::string& text, const std::string& caption) {
      g_shown.push_back(caption + "|" + text);
    });
  }
  void TearDown() override {
    if (serial::IsOpen()) device.ClosePort(hCom);
    hCom = 0;
    serial::UseDevice(nullptr);
    serial::SetAlertSink(nullptr);
  }

  std::string PathOf(const std::string& port) {
    if (port == "COM1") return com1Path;
    if (port == "COM2") return com2.path();
    return {};
  }

  // Receive until `count` bytes have come, or the deadline: a peer's bytes may
  // not be counted by the driver the instant they are written.
  std::string ReceiveAtLeast(std::size_t count) {
    std::string got;
    test::WaitFor([&] {
      if (auto text = serial::Receive()) got += *text;
      return got.size() >= count;
    });
    return got;
  }

  test::Pty com1;
  test::Pty com2;
  std::string com1Path = com1.path();
  serial::PosixDevice device{[this](const std::string& port) { return PathOf(port); }};
};

// A pseudo-terminal forces 8 bits and no parity whatever it is told, so the
// settings themselves are checked here, on a line set up every other way.
TEST(LineSettings, Are9600EightNoneOneRawWithHardwareFlowControlKept) {
  termios tio{};
  tio.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
  tio.c_iflag = ICRNL | IXON | IXOFF | ISTRIP | INPCK;
  tio.c_oflag = OPOST | ONLCR;
  tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  tio.c_cc[VMIN] = 1;
  cfsetspeed(&tio, B115200);
  EXPECT_FALSE(serial::HasLineSettings(tio));

  serial::ApplyLineSettings(tio);
  EXPECT_TRUE(serial::HasLineSettings(tio));
  EXPECT_EQ(cfgetispeed(&tio), B9600);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB));
  EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_TRUE(tio.c_cflag & CRTSCTS);  // the driver's flow control stays
  EXPECT_FALSE(tio.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP));
  EXPECT_FALSE(tio.c_oflag & OPOST);
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
  EXPECT_EQ(tio.c_cc[VMIN], 0);

  // Any one setting missing is not the line.
  termios seven = tio;
  seven.c_cflag = (seven.c_cflag & ~CSIZE) | CS7;
  EXPECT_FALSE(serial::HasLineSettings(seven));
  termios twoStops = tio;
  twoStops.c_cflag |= CSTOPB;
  EXPECT_FALSE(serial::HasLineSettings(twoStops));
  termios slow = tio;
  cfsetospeed(&slow, B4800);
  EXPECT_FALSE(serial::HasLineSettings(slow));
}

TEST_F(PosixLine, OpenSets9600EightNoneOneAndRawBytesOnTheLine) {
  // Start from a cooked, slow line with two stop bits, as a driver might leave it.
  termios before{};
  ASSERT_EQ(tcgetattr(com1.master(), &before), 0);
  before.c_lflag |= ICANON | ECHO | ISIG;
  before.c_iflag |= ICRNL | IXON;
  before.c_oflag |= OPOST;
  before.c_cflag |= CSTOPB;
  cfsetspeed(&before, B1200);
  ASSERT_EQ(tcsetattr(com1.master(), TCSANOW, &before), 0);

  serial::Open(0);
  ASSERT_TRUE(serial::IsOpen());
  EXPECT_TRUE(g_shown.empty());

  termios tio{};
  ASSERT_EQ(tcgetattr(com1.master(), &tio), 0);  // the near end's settings
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(cfgetispeed(&tio), B9600);
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
  EXPECT_FALSE(tio.c_iflag & (ICRNL | IXON | IXOFF));
  EXPECT_FALSE(tio.c_oflag & OPOST);
  EXPECT_TRUE(serial::HasLineSettings(tio));
}

TEST_F(PosixLine, TheSecondPortIsTheSecondDevice) {
  serial::Open(1);
  ASSERT_TRUE(serial::IsOpen());
  serial::Send("two");
  EXPECT_EQ(com2.ReadUpTo(3), "two");
  EXPECT_EQ(com1.Drain(50ms), "");
}

TEST_F(PosixLine, AHeldPortCannotBeOpenedAgainFromHereOrElsewhere) {
  serial::Open(0);
  ASSERT_TRUE(serial::IsOpen());

  serial::PosixDevice other{[this](const std::string& port) { return PathOf(port); }};
  EXPECT_EQ(other.OpenPort("COM1"), kInvalidHandle);

  const pid_t child = fork();
  if (child == 0) _exit(other.OpenPort("COM1") == kInvalidHandle ? 0 : 1);
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "another process opened it";

  // Open while open releases the earlier handle, so the same port opens again.
  serial::Open(0);
  EXPECT_TRUE(serial::IsOpen());
  EXPECT_TRUE(g_shown.empty());
}

TEST_F(PosixLine, AMissingPortShowsCommError) {
  com1Path = "/dev/no-such-port";
  serial::Open(0);
  EXPECT_EQ(g_shown, std::vector<std::string>{"Comm Error|開啟通訊埠錯誤!!"});
  EXPECT_FALSE(serial::IsOpen());
}

TEST_F(PosixLine, ADeviceWithoutLineSettingsShowsSetErrorAndIsClosed) {
  com1Path = "/dev/null";
  serial::Open(0);
  EXPECT_EQ(g_shown, std::vector<std::string>{"Set Error|通訊埠設定錯誤!!!"});
  EXPECT_FALSE(serial::IsOpen());
  // The handle was given back: nothing of ours holds /dev/null locked.
  serial::PosixDevice other{[](const std::string&) { return std::string("/dev/null"); }};
  const serial::Handle again = other.OpenPort("COM1");
  EXPECT_NE(again, kInvalidHandle);
  if (again != kInvalidHandle) other.ClosePort(again);
}

TEST_F(PosixLine, BytesPassUntouchedBothWays) {
  serial::Open(0);
  const std::string lines = "first line\r\nsecond line\r\n";
  serial::Send(lines);
  EXPECT_EQ(com1.ReadUpTo(lines.size()), lines);

  const std::string awkward("\x11\x13\r\n\xFF\x7F", 6);
  serial::Send(awkward);
  EXPECT_EQ(com1.ReadUpTo(awkward.size()), awkward);

  com1.Write(awkward);
  EXPECT_EQ(ReceiveAtLeast(awkward.size()), awkward);

  com1.Write(std::string("to\0gether\0", 10));
  EXPECT_EQ(ReceiveAtLeast(14), "to\u2400gether\u2400");
}

TEST_F(PosixLine, AStrayXoffDoesNotFreezeSend) {
  termios tio{};  // software flow control, on by default on every tty
  ASSERT_EQ(tcgetattr(com1.master(), &tio), 0);
  tio.c_iflag |= IXON;
  ASSERT_EQ(tcsetattr(com1.master(), TCSANOW, &tio), 0);
  serial::Open(0);
  com1.Write("\x13");
  serial::Send("still flowing");
  EXPECT_EQ(com1.ReadUpTo(13), "still flowing");
}

TEST_F(PosixLine, MoreThanTheLimitArrivesOverTwoPressesWithNothingLost) {
  com1.Write("early ");  // before the port is opened
  serial::Open(0);
  std::string sent = "early ";
  for (int i = 0; sent.size() < 1025; ++i) sent += static_cast<char>('a' + i % 26);
  com1.Write(sent.substr(6));
  ASSERT_TRUE(test::WaitFor([&] { return device.Waiting(hCom) == sent.size(); }));

  EXPECT_EQ(serial::Receive(), sent.substr(0, 1024));
  EXPECT_EQ(serial::Receive(), sent.substr(1024));
  EXPECT_EQ(serial::Receive(), "");
}

TEST_F(PosixLine, APeerThatGoesAwayHangsAndCrashesNothing) {
  serial::Open(0);
  com1.Write("last words");
  ASSERT_TRUE(test::WaitFor([&] { return device.Waiting(hCom) == 10u; }));
  EXPECT_EQ(serial::Receive(), "last words");
  com1.CloseMaster();

  EXPECT_EQ(serial::Receive(), std::nullopt);  // the box keeps its text
  serial::Send("into the void");
  serial::Open(0);
  EXPECT_EQ(g_shown, std::vector<std::string>{"Comm Error|開啟通訊埠錯誤!!"});
  EXPECT_FALSE(serial::IsOpen());
  EXPECT_EQ(serial::Receive(), std::nullopt);
}

TEST_F(PosixLine, ExitReleasesTheLineAndEndsWithStatusZero) {
  const pid_t child = fork();
  if (child == 0) {
    serial::Open(0);
    if (!serial::IsOpen()) _exit(3);
    serial::Exit();
  }
  int status = -1;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  serial::Open(0);
  EXPECT_TRUE(serial::IsOpen()) << "the port stayed held after Exit";
}

TEST_F(PosixLine, ExitAfterThePeerHasGoneStillEndsWithStatusZero) {
  serial::Open(0);
  com1.CloseMaster();
  EXPECT_EXIT(serial::Exit(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
