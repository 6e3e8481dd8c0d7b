// The operations over the POSIX backend on real pseudo-terminal pairs: COM1
// and COM2 are mapped to the near ends, the tests play the peer.
#include <fcntl.h>
#include <grp.h>
#include <langinfo.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "device_posix.h"
#include "lock_posix.h"
#include "pty.h"
#include "seams.h"
#include "serial.h"

namespace {

using serial::hCom;
using serial::kInvalidHandle;
using namespace std::chrono_literals;

std::vector<std::string> g_shown;

// The lock file minicom and QSerialPort look for, named after the device.
std::string LockOf(const std::string& devicePath) {
  std::string name = devicePath.substr(5);  // past "/dev/"
  std::replace(name.begin(), name.end(), '/', '_');
  return "/var/lock/LCK.." + name;
}

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
    test::seams = {};
    if (serial::IsOpen()) device.ClosePort(hCom);
    hCom = 0;
    // A failed test may leave a lock file, which would stand in the way of
    // the next test's line of the same number.
    for (const test::Pty* pty : {&com1, &com2}) unlink(LockOf(pty->path()).c_str());
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
  // Every input translation a line may come with; listed here, not taken from
  // the code, so that one the code forgets shows.
  constexpr tcflag_t kTranslating[] = {IGNBRK, BRKINT, PARMRK, ISTRIP, INLCR, IGNCR,
                                       ICRNL,  IXON,   IXOFF,  IXANY,  INPCK};
  termios tio{};
  tio.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
  for (const tcflag_t flag : kTranslating) tio.c_iflag |= flag;
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
  for (const tcflag_t flag : kTranslating) EXPECT_FALSE(tio.c_iflag & flag) << std::hex << flag;
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

TEST(LockFilePid, ReadsTheHdbAndQLockFileFormsAndNothingElse) {
  EXPECT_EQ(serial::LockFilePid("      1234\n"), 1234);
  EXPECT_EQ(serial::LockFilePid("1234\nqtpeer\nhost\n"), 1234);
  for (const char* none : {"", "\n", "    \n", "abc\n", "12ab\n", "-5\n", "0\n", "2147483648\n"})
    EXPECT_EQ(serial::LockFilePid(none), 0) << none;
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

// Whether the tty's exclusive-use flag is `wanted`, as anyone holding the
// line reads it back. Where the system cannot read it back (qemu-user has no
// TIOCGEXCL and answers ENOSYS) it says so and holds: the opens by a normal
// user beside each check still try the flag itself.
::testing::AssertionResult ExclusiveIs(const test::Pty& pty, bool wanted) {
  const int fd = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);  // root may
  if (fd < 0) return ::testing::AssertionFailure() << pty.path() << ": " << std::strerror(errno);
  int exclusive = -1;
  const int result = ioctl(fd, TIOCGEXCL, &exclusive);
  const int error = errno;
  close(fd);
  if (result != 0 && error == ENOSYS) {
    static bool said = false;
    if (!said)
      std::cout << "[   NOTE   ] TIOCGEXCL: ENOSYS (as under qemu-user): "
                   "the exclusive-use flag is not read back"
                << std::endl;  // now, before a child process inherits the buffer
    said = true;
    return ::testing::AssertionSuccess();
  }
  if (result != 0) return ::testing::AssertionFailure() << "TIOCGEXCL: " << std::strerror(error);
  if ((exclusive == 1) != wanted)
    return ::testing::AssertionFailure() << "TIOCGEXCL reads " << exclusive;
  return ::testing::AssertionSuccess();
}

// Runs `body` in a child process, as the user nobody where asked; its exit
// status, or Killed(the signal that ended it): an exit with 128 + a signal's
// number is not the signal's end. A body that blocks is ended by SIGALRM
// after ten seconds.
constexpr int Killed(int sig) { return 256 + sig; }

template <class Body>
int InChild(Body body, bool asNobody = false) {
  const pid_t child = fork();
  if (child == 0) {
    if (asNobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
      _exit(99);
    alarm(10);
    _exit(body());
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : Killed(WTERMSIG(status));
}

template <class Body>
int AsNobody(Body body) {
  return InChild(body, true);
}

// Root passes TIOCEXCL by, so what a normal user meets is tried as one.
TEST_F(PosixLine, ANormalUserCanOpenAgainAndOthersCanOnceThePortIsClosed) {
  for (const std::string& path : {com1.path(), com2.path()})
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
  auto othersCanOpen = [](const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) close(fd);
    return fd >= 0;
  };

  serial::Open(0);
  ASSERT_TRUE(serial::IsOpen());
  EXPECT_TRUE(ExclusiveIs(com1, true)) << "open, yet the line is not held exclusively";
  EXPECT_EQ(AsNobody([&] { return othersCanOpen(com1.path()) ? 1 : 0; }), 0)
      << "a normal user opened the held line";
  serial::Open(1);  // opening another port gives the first one back
  EXPECT_TRUE(ExclusiveIs(com1, false));
  EXPECT_TRUE(ExclusiveIs(com2, true));
  device.ClosePort(hCom);
  hCom = 0;

  const int status = AsNobody([&] {
    serial::Open(0);
    if (!serial::IsOpen()) return 1;
    serial::Open(0);
    if (!serial::IsOpen()) return 2;  // the second press of "open" failed
    serial::Open(1);
    if (!serial::IsOpen() || !othersCanOpen(com1.path())) return 3;
    serial::Exit();
  });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(ExclusiveIs(com2, false)) << "the flag outlived the program's use of the port";
  EXPECT_EQ(
      AsNobody([&] { return othersCanOpen(com1.path()) && othersCanOpen(com2.path()) ? 0 : 1; }),
      0);

  // Ended without Exit, as when the window is closed by its frame.
  EXPECT_EQ(AsNobody([&] {
              serial::Open(0);
              if (!serial::IsOpen()) return 1;
              std::exit(0);
            }),
            0);
  EXPECT_TRUE(ExclusiveIs(com1, false)) << "the flag outlived the process that held the port";
  EXPECT_EQ(AsNobody([&] { return othersCanOpen(com1.path()) ? 0 : 1; }), 0);
}

std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string Hdb(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

void Put(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A process id that no process has: a child's, once it has ended.
pid_t Gone() {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  return child;
}

TEST_F(PosixLine, TheLockFileMarksTheDeviceForAsLongAsItIsHeld) {
  // Opened by another name, the lock file still names the device.
  const std::string link =
      std::filesystem::temp_directory_path() / ("comtester-com1-" + std::to_string(getpid()));
  std::filesystem::remove(link);
  std::filesystem::create_symlink(com1.path(), link);
  com1Path = link;
  const std::string lock1 = LockOf(com1.path()), lock2 = LockOf(com2.path());

  serial::Open(0);
  ASSERT_TRUE(serial::IsOpen());
  EXPECT_EQ(Contents(lock1), Hdb(getpid()));
  serial::Open(0);  // the same port again
  EXPECT_EQ(Contents(lock1), Hdb(getpid()));
  serial::Open(1);
  EXPECT_FALSE(std::filesystem::exists(lock1)) << "given up, still marked";
  EXPECT_EQ(Contents(lock2), Hdb(getpid()));
  device.ClosePort(hCom);
  hCom = 0;
  EXPECT_FALSE(std::filesystem::exists(lock2));
  std::filesystem::remove(link);

  // A refused setting gives the device up: /dev/null opens, marked, and is no tty.
  com1Path = "/dev/null";
  serial::Open(0);
  EXPECT_EQ(g_shown, std::vector<std::string>{"Set Error|通訊埠設定錯誤!!!"});
  EXPECT_FALSE(std::filesystem::exists("/var/lock/LCK..null"));

  // Every way the process ends holding the port, as a normal user would: the
  // lock file and the exclusive flag go with it. A signal the caller ignored
  // (nohup) stays ignored; one that comes while the first Open is taking the
  // line waits until the Open has recorded what it took.
  com1Path = com1.path();
  ASSERT_EQ(chmod(com1.path().c_str(), 0666), 0);
  enum Way { kExit, kEnd, kTerm, kHangUp, kInterrupt, kHangUpIgnored, kTermDuringOpen };
  for (const Way way : {kExit, kEnd, kTerm, kHangUp, kInterrupt, kHangUpIgnored, kTermDuringOpen}) {
    const int status = AsNobody([&] {
      if (way == kHangUpIgnored) signal(SIGHUP, SIG_IGN);
      if (way == kTermDuringOpen) {
        signal(SIGTERM, SIG_DFL);  // as in a process that has never opened a port
        test::seams.beforePwrite = [](int) { raise(SIGTERM); };
      }
      serial::Open(0);
      if (way == kTermDuringOpen) return 1;  // not ended by the signal
      if (!serial::IsOpen() || Contents(lock1) != Hdb(getpid())) return 2;
      if (way == kExit) serial::Exit();
      if (way == kTerm) raise(SIGTERM);
      if (way == kHangUp || way == kHangUpIgnored) raise(SIGHUP);
      if (way == kInterrupt) raise(SIGINT);
      std::exit(0);  // the window closed by its frame
    });
    const int ending[] = {
        0, 0, Killed(SIGTERM), Killed(SIGHUP), Killed(SIGINT), 0, Killed(SIGTERM)};
    EXPECT_EQ(status, ending[way]) << "way " << way;
    EXPECT_FALSE(std::filesystem::exists(lock1))
        << "way " << way << ": the lock file outlived the process";
    EXPECT_TRUE(ExclusiveIs(com1, false)) << "way " << way << ": the flag outlived the process";
  }

  // A forked child that ends, or lets the port go, gives back nothing of its
  // parent's.
  serial::Open(0);
  ASSERT_TRUE(serial::IsOpen());
  EXPECT_EQ(InChild([&]() -> int {
              device.ClosePort(hCom);
              std::exit(0);
            }),
            0);
  EXPECT_EQ(Contents(lock1), Hdb(getpid()));
  EXPECT_TRUE(ExclusiveIs(com1, true));
}

// Whoever replaces our lock file while we hold the port (the directory is
// everyone's) keeps theirs when we let the port go, however we do.
TEST_F(PosixLine, ALockFileReplacedWhileHeldIsLeftToItsNewOwner) {
  const std::string lock = LockOf(com1.path());
  const std::string theirs = Hdb(getppid());
  auto replace = [&] {
    unlink(lock.c_str());
    Put(lock, theirs);
  };
  serial::Open(0);
  ASSERT_TRUE(serial::IsOpen());
  replace();
  device.ClosePort(hCom);
  hCom = 0;
  EXPECT_EQ(Contents(lock), theirs);
  unlink(lock.c_str());

  for (const int sig : {0, SIGTERM}) {
    EXPECT_EQ(InChild([&] {
                serial::Open(0);
                if (!serial::IsOpen()) return 1;
                replace();
                if (sig) raise(sig);
                std::exit(0);
              }),
              sig ? Killed(sig) : 0);
    EXPECT_EQ(Contents(lock), theirs) << "ended by signal " << sig;
    unlink(lock.c_str());
  }
}

TEST_F(PosixLine, ALiveHolderRefusesAndAStaleLockIsTakenOver) {
  const std::string lock = LockOf(com1.path());
  auto opensInAChild = [&] {  // where waiting on the lock would show as SIGALRM
    return InChild([&] {
      serial::Open(0);
      return serial::IsOpen() ? 1 : 0;
    });
  };
  // minicom's form, QSerialPort's, and one still being written: held.
  for (const std::string& held :
       {Hdb(getppid()), std::to_string(getppid()) + "\nqtpeer\nhost\n", std::string()}) {
    Put(lock, held);
    serial::Open(0);
    EXPECT_FALSE(serial::IsOpen()) << held;
    EXPECT_EQ(Contents(lock), held) << "someone else's lock file was touched";
  }
  EXPECT_EQ(g_shown.size(), 3u);
  // Its writer keeps it flock'ed, as QLockFile does: held, whatever id it names.
  Put(lock, Hdb(Gone()));
  const int writer = open(lock.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(writer, LOCK_EX), 0);
  EXPECT_EQ(opensInAChild(), 0) << "opened a line whose lock file is flock'ed by its writer";
  close(writer);
  // A normal user may not signal the holder, which is alive all the same.
  Put(lock, Hdb(getppid()));
  ASSERT_EQ(chmod(com1.path().c_str(), 0666), 0);
  EXPECT_EQ(AsNobody([&] {
              serial::Open(0);
              return serial::IsOpen() ? 1 : 0;
            }),
            0)
      << "a normal user opened a line held by another user's process";

  // Its process has gone, or has ended and waits to be reaped (whatever its
  // name), or is this one's id come round again: the lock is stale.
  const pid_t zombie = fork();
  if (zombie == 0) {
    prctl(PR_SET_NAME, "a) R b");
    _exit(0);
  }
  ASSERT_TRUE(test::WaitFor([&] {
    siginfo_t ended{};
    return waitid(P_PID, static_cast<id_t>(zombie), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           ended.si_pid == zombie;
  }));
  for (const std::string& stale :
       {Hdb(Gone()), std::to_string(Gone()) + "\nqtpeer\nhost\n", Hdb(zombie), Hdb(getpid())}) {
    Put(lock, stale);
    serial::Open(0);
    EXPECT_TRUE(serial::IsOpen()) << stale;
    EXPECT_EQ(Contents(lock), Hdb(getpid()));
    device.ClosePort(hCom);  // not by the next Open, which would take the next stale lock first
    hCom = 0;
    EXPECT_FALSE(std::filesystem::exists(lock));
  }
  waitpid(zombie, nullptr, 0);

  // An empty file whose writer never wrote: stale once it has stayed so
  // past the grace (a fresh one is held, above).
  Put(lock, "");
  const timespec longAgo[2] = {{0, UTIME_OMIT}, {time(nullptr) - 60, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, lock.c_str(), longAgo, 0), 0);
  serial::Open(0);
  EXPECT_TRUE(serial::IsOpen()) << "an empty lock file refused the port for ever";
  EXPECT_EQ(Contents(lock), Hdb(getpid()));
  device.ClosePort(hCom);
  hCom = 0;

  // Stale, and not ours to write: another user's that we may not write, one
  // with a second name, or another user's while we are root. The port opens
  // without a lock file, and the file stays as it was.
  const std::string other = lock + ".other";
  const std::string theirs = Hdb(Gone()) + std::string(29, '#');
  enum Kind { kRootsReadOnly, kHardLink, kNobodys };
  for (const Kind kind : {kRootsReadOnly, kHardLink, kNobodys}) {
    Put(kind == kHardLink ? other : lock, theirs);
    if (kind == kHardLink) {
      ASSERT_EQ(link(other.c_str(), lock.c_str()), 0);
    }
    if (kind == kNobodys) {
      ASSERT_EQ(chown(lock.c_str(), 65534, 65534), 0);
    }
    auto opens = [&] {
      serial::Open(0);
      if (!serial::IsOpen()) return 1;
      device.ClosePort(hCom);
      return 0;
    };
    EXPECT_EQ(kind == kRootsReadOnly ? AsNobody(opens) : InChild(opens), 0) << "kind " << kind;
    struct stat st {};
    EXPECT_TRUE(Contents(lock) == theirs && lstat(lock.c_str(), &st) == 0 &&
                st.st_nlink == (kind == kHardLink ? 2u : 1u))
        << "kind " << kind << ": written into";
    unlink(lock.c_str());
    unlink(other.c_str());
  }

  // A peer that replaces a stale lock while we judge it keeps its own; one
  // that removes it, or puts another stale one there, leaves the port to us.
  const std::string name = "/" + std::filesystem::path(lock).filename().string();
  for (const std::string& replacement : {Hdb(getppid()), std::string(), Hdb(Gone())}) {
    Put(lock, Hdb(Gone()));
    bool replaced = false;
    test::seams.afterRead = [&](int fd) {
      if (replaced || !test::PathOf(fd).ends_with(name)) return;
      replaced = true;
      unlink(lock.c_str());
      if (!replacement.empty()) Put(lock, replacement);
    };
    serial::Open(0);
    EXPECT_TRUE(replaced);
    const bool live = replacement == Hdb(getppid());
    EXPECT_EQ(serial::IsOpen(), !live) << replacement;
    EXPECT_EQ(Contents(lock), live ? replacement : Hdb(getpid()));
    if (serial::IsOpen()) device.ClosePort(hCom);
    hCom = 0;
  }
}

// A toolkit's threads take signals as readily as the main thread. A storm of
// ending signals while Opens follow one another ends the process by one of
// them, whichever thread each lands on, with nothing left behind; a fault
// here showed in about one run in twenty, so it is tried many times.
TEST_F(PosixLine, AStormOfEndingSignalsDuringOpensLeavesNothingBehind) {
  const std::string lock = LockOf(com1.path());
  constexpr int kTrials = 100;
  for (int trial = 0; trial < kTrials; ++trial) {
    const pid_t child = fork();
    if (child == 0) {
      for (int i = 0; i < 4; ++i)
        std::thread([] {
          for (;;) pause();
        }).detach();
      alarm(10);
      for (;;) serial::Open(0);  // Return held down on the Open button
    }
    // Once the child's Opens are under way, whatever its file holds.
    ASSERT_TRUE(test::WaitFor([&] { return Contents(lock) == Hdb(child); }, 30s));
    // To the process, and to each of its threads in turn: where a signal
    // lands is the kernel's choice, which favours the main thread.
    std::vector<pid_t> threads;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(child) + "/task"))
      threads.push_back(std::stoi(task.path().filename()));
    for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
      kill(child, sig);
      for (const pid_t thread : threads) syscall(SYS_tgkill, child, thread, sig);
    }
    int status = -1;
    waitpid(child, &status, 0);
    const bool bySignal =
        WIFSIGNALED(status) &&
        (WTERMSIG(status) == SIGTERM || WTERMSIG(status) == SIGHUP || WTERMSIG(status) == SIGINT);
    ASSERT_TRUE(bySignal) << "trial " << trial << ": status " << std::hex << status;
    ASSERT_FALSE(std::filesystem::exists(lock))
        << "trial " << trial << ": the lock file outlived the process";
    ASSERT_TRUE(ExclusiveIs(com1, false)) << "trial " << trial;
  }
}

// The lock directory is everyone's: whatever is no plain file there is
// someone's lock that we cannot read, and is left as it is.
TEST_F(PosixLine, AnythingButAFileAtTheLockPathRefusesAtOnceAndIsLeftAlone) {
  const std::string lock = LockOf(com1.path());
  const std::string target = lock + ".target";
  const std::string stale = Hdb(Gone());
  Put(target, stale);  // reached through a link
  ASSERT_EQ(chmod(com1.path().c_str(), 0666), 0);
  // Nobody may only read it; root may write anything it leads to.
  for (const bool asNobody : {true, false}) {
    for (const mode_t kind : {S_IFIFO, S_IFDIR, S_IFLNK}) {
      ASSERT_EQ(kind == S_IFIFO   ? mkfifo(lock.c_str(), 0644)
                : kind == S_IFDIR ? mkdir(lock.c_str(), 0755)
                                  : symlink(target.c_str(), lock.c_str()),
                0);
      // A pipe whose writer has put a dead process's id in it.
      const int writer = kind == S_IFIFO ? open(lock.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC) : -1;
      if (kind == S_IFIFO) {
        ASSERT_EQ(write(writer, stale.data(), stale.size()), ssize_t(stale.size()));
      }
      EXPECT_EQ(InChild(
                    [&] {
                      serial::Open(0);
                      return serial::IsOpen() ? 1 : 0;
                    },
                    asNobody),
                0)
          << std::oct << kind << " as nobody: " << asNobody;
      struct stat st {};
      EXPECT_TRUE(lstat(lock.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kind)
          << std::oct << kind;
      if (kind == S_IFIFO) {
        char left[64] = {};
        EXPECT_EQ(std::string(left, std::max<ssize_t>(read(writer, left, sizeof left), 0)), stale)
            << "the pipe's bytes were taken";
        close(writer);
      }
      (kind == S_IFDIR ? rmdir : unlink)(lock.c_str());
      EXPECT_EQ(Contents(target), stale) << "written through a link, as nobody: " << asNobody;
    }
  }
  unlink(target.c_str());
}

TEST_F(PosixLine, WithoutALockDirectoryOrRoomInItThePortStillOpens) {
  for (const std::string& directory : {std::string("/nonexistent/lock"), std::string("/")}) {
    ASSERT_EQ(chmod(com1.path().c_str(), 0666), 0);
    EXPECT_EQ(AsNobody([&] {  // "/" is there, but not writable for nobody
                serial::PosixDevice elsewhere{
                    [this](const std::string& port) { return PathOf(port); }, directory};
                const serial::Handle port = elsewhere.OpenPort("COM1");
                if (port == kInvalidHandle) return 1;
                elsewhere.ClosePort(port);
                return 0;
              }),
              0)
        << directory;
  }

  // A full directory: the file is made but its id cannot be written. A file
  // without an id would keep everyone out, so none is left.
  char full[] = "/tmp/comtester-full-XXXXXX";
  ASSERT_NE(mkdtemp(full), nullptr);
  const std::string lock =
      full + ("/" + std::filesystem::path(LockOf(com1.path())).filename().string());
  EXPECT_EQ(
      InChild([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", full, "tmpfs", 0, "size=4k") != 0)
          return 10;
        const std::string filler = std::string(full) + "/filler";
        const int fill = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        static const char page[4096] = {};
        while (write(fill, page, sizeof page) > 0) {
        }
        close(fill);
        serial::PosixDevice crowded{[this](const std::string& port) { return PathOf(port); }, full};
        const serial::Handle port = crowded.OpenPort("COM1");
        if (port == kInvalidHandle) return 1;
        const bool left = std::filesystem::exists(lock);
        crowded.ClosePort(port);
        return left ? 2 : 0;
      }),
      0);
  rmdir(full);
}

// screen and QSerialPort mark their line with TIOCEXCL, which root passes.
TEST_F(PosixLine, ALineAnotherMarkedExclusiveIsRefusedAndKeepsItsMark) {
  const int theirs = open(com1.path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(theirs, 0);
  ASSERT_EQ(ioctl(theirs, TIOCEXCL), 0);
  int flag = 0;
  if (ioctl(theirs, TIOCGEXCL, &flag) != 0 && errno == ENOSYS) {
    close(theirs);
    GTEST_SKIP() << "TIOCGEXCL: ENOSYS (as under qemu-user): root cannot see another's flag here";
  }
  serial::Open(0);
  EXPECT_FALSE(serial::IsOpen()) << "opened a line someone holds exclusively";
  EXPECT_TRUE(ExclusiveIs(com1, true)) << "our refused Open cleared their flag";
  EXPECT_FALSE(std::filesystem::exists(LockOf(com1.path())));
  close(theirs);
}

TEST_F(PosixLine, AMissingPortShowsCommError) {
  com1Path = "/dev/no-such-port";
  serial::Open(0);
  EXPECT_EQ(g_shown, std::vector<std::string>{"Comm Error|開啟通訊埠錯誤!!"});
  EXPECT_FALSE(serial::IsOpen());
}

TEST_F(PosixLine, ADeviceWithoutLineSettingsShowsSetErrorAndIsClosed) {
  // A file of the test's own: it opens and locks like a port but is no tty.
  char notALine[] = "/tmp/comtester-not-a-line-XXXXXX";
  const int file = mkstemp(notALine);
  ASSERT_GE(file, 0);
  close(file);
  com1Path = notALine;
  serial::Open(0);
  EXPECT_EQ(g_shown, std::vector<std::string>{"Set Error|通訊埠設定錯誤!!!"});
  EXPECT_FALSE(serial::IsOpen());
  // The handle was given back: nothing of ours holds the file locked.
  serial::PosixDevice other{[&](const std::string&) { return std::string(notALine); }};
  const serial::Handle again = other.OpenPort("COM1");
  EXPECT_NE(again, kInvalidHandle);
  if (again != kInvalidHandle) other.ClosePort(again);
  unlink(notALine);
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

TEST_F(PosixLine, A64KiBSendReachesAReadingPeerWhole) {
  serial::Open(0);
  std::string text;
  for (std::size_t i = 0; text.size() < 65536; ++i) text += static_cast<char>('!' + i % 90);
  std::string got;
  std::thread peer([&] { got = com1.ReadUpTo(text.size(), 5s); });
  serial::Send(text);  // returns once the driver has taken every byte
  peer.join();
  EXPECT_EQ(got.size(), text.size());
  EXPECT_TRUE(got == text);
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

// A character cut by the limit, or by the moment of the press, is shown
// whole at the front of the next press, in the locale's encoding.
class SplitCharacters : public PosixLine, public ::testing::WithParamInterface<const char*> {
 protected:
  void SetUp() override {
    PosixLine::SetUp();
    const std::string charset = GetParam();
    // A locale of the test's own, so the machine needs none generated.
    const std::string dir = std::filesystem::current_path() / "locales";
    const std::string name = "zh_TW." + charset;
    int made = 0;  // localedef's status, which warnings make nonzero
    if (!std::filesystem::exists(dir + "/" + name)) {
      // Made aside and renamed into place: tests may run side by side.
      const std::string aside = dir + "/" + name + "." + std::to_string(getpid());
      std::filesystem::create_directories(dir);
      const std::string make = "localedef -c -i zh_TW -f " + charset + " " + aside + " 2>/dev/null";
      made = std::system(make.c_str());
      std::error_code ignored;
      std::filesystem::rename(aside, dir + "/" + name, ignored);
      std::filesystem::remove_all(aside, ignored);
    }
    setenv("LOCPATH", dir.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, name.c_str()), nullptr)
        << name << ": localedef (package locales) said " << made;
    ASSERT_STREQ(nl_langinfo(CODESET), charset.c_str());
  }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    unsetenv("LOCPATH");
    PosixLine::TearDown();
  }
  void Arrive(const std::string& bytes) {
    com1.Write(bytes);
    ASSERT_TRUE(test::WaitFor([&] { return device.Waiting(hCom) >= bytes.size(); }));
  }
};

TEST_P(SplitCharacters, ShowWholeOnTheNextPressWithNothingLost) {
  const std::string text = "中文測試，串列埠。";
  const std::string bytes = serial::Utf8ToLocal(text);
  serial::Open(0);

  // Cut by the limit: the first character's second byte is byte 1025.
  const std::string filler(1023, '.');
  Arrive(filler + bytes);
  EXPECT_EQ(serial::Receive(), filler);
  EXPECT_EQ(serial::Receive(), text);

  // Cut by the moment of the press, one byte into a character and then again.
  for (std::size_t cut : {std::size_t{1}, bytes.size() - 1}) {
    Arrive("ab" + bytes.substr(0, cut));
    const std::optional<std::string> first = serial::Receive();
    Arrive(bytes.substr(cut));
    const std::optional<std::string> second = serial::Receive();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first + *second, "ab" + text) << "cut after byte " << cut;
    EXPECT_EQ(first->find("\xEF\xBF\xBD"), std::string::npos) << *first;
  }
  EXPECT_EQ(serial::Receive(), "");
}

INSTANTIATE_TEST_SUITE_P(Encodings, SplitCharacters, ::testing::Values("UTF-8", "BIG5"));

TEST_F(PosixLine, EveryLineBreakShowsAsOne) {
  serial::Open(0);
  com1.Write("line1\nline2\rline3\r\nline4");
  ASSERT_TRUE(test::WaitFor([&] { return device.Waiting(hCom) == 24u; }));
  EXPECT_EQ(serial::Receive(), "line1\r\nline2\r\nline3\r\nline4");
}

TEST(DevicePath, Com1IsTheFirstSerialDeviceAndCom2TheSecond) {
  EXPECT_EQ(serial::DevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(serial::DevicePath("COM2"), "/dev/ttyS1");
  EXPECT_EQ(serial::DevicePath("COM3"), "");
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

// The far end closing hangs the near end up, as pulling out an adapter does:
// Send or Receive gives the port up at once, and the next Open opens the
// device that comes back, here a fresh pair under the same name.
TEST_F(PosixLine, AHungUpPortIsGivenUpAndTheNextOpenOpensWhatComesBack) {
  for (const bool bySend : {true, false}) {
    SCOPED_TRACE(bySend ? "Send" : "Receive");
    test::Pty pulled;
    com1Path = pulled.path();
    serial::Open(0);
    ASSERT_TRUE(serial::IsOpen());
    const int held = static_cast<int>(hCom);
    pulled.CloseMaster();
    if (bySend)
      serial::Send("into the void");
    else
      EXPECT_EQ(serial::Receive(), std::nullopt);
    EXPECT_EQ(hCom, kInvalidHandle);
    EXPECT_EQ(fcntl(held, F_GETFD), -1) << "the dead line's descriptor was kept";
  }
  test::Pty replugged;
  com1Path = replugged.path();
  serial::Open(0);
  ASSERT_TRUE(serial::IsOpen());
  serial::Send("back");
  EXPECT_EQ(replugged.ReadUpTo(4), "back");
  EXPECT_TRUE(g_shown.empty());
}

// Each sign of a device gone counts on its own: a USB adapter's driver says
// ENODEV before the hang-up shows, a hung-up tty says EIO, and a far end
// that closed shows only as POLLHUP. Any other failure keeps the port.
TEST_F(PosixLine, EachSignOfADeviceGoneGivesThePortUp) {
  for (const int error : {ENODEV, EIO, EAGAIN}) {
    serial::Open(0);
    ASSERT_TRUE(serial::IsOpen());
    const int port = static_cast<int>(hCom);
    test::seams.failWrite = [&](int fd) { return fd == port ? error : 0; };
    serial::Send("lost");
    EXPECT_EQ(serial::IsOpen(), error == EAGAIN) << std::strerror(error);
    test::seams.failWrite = nullptr;
  }

  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  EXPECT_EQ(device.Waiting(ends[0]), 0u);
  EXPECT_FALSE(device.Gone(ends[0]));
  close(ends[1]);
  EXPECT_EQ(device.Waiting(ends[0]), std::nullopt);
  EXPECT_TRUE(device.Gone(ends[0]));
  close(ends[0]);
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
