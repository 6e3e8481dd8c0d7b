// The Windows program's window, end to end: comtester.exe (x86-64 under
// wine64, or i686 under 32-bit wine, as built) on a private Xvfb display with
// openbox, COM1 and COM2 mapped to pseudo-terminals whose far ends the tests
// play, the window driven and read by window_driver.exe. One display and one
// fresh wine prefix serve the suite.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pty.h"
#include "wine.h"
#include "x_desktop.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string kProgram = COMTESTER_PROGRAM;
const std::string kDriver = COMTESTER_WINDOW_DRIVER;
const std::string kScreenshot = COMTESTER_SCREENSHOT;
const std::string kCaption = "Form1";

using test::wine::Kill;
using test::wine::WaitExit;

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error(what + (errno ? std::string(": ") + std::strerror(errno) : ""));
}

const test::wine::Prefix* g_prefix = nullptr;
test::XDesktop* g_desktop = nullptr;
constexpr const char* kScreen = "1280x1024";
const std::string kDesktopKey = R"(HKCU\Control Panel\Desktop)";
const std::string kMetricsKey = kDesktopKey + R"(\WindowMetrics)";

void RunTool(const std::vector<std::string>& argv) { g_prefix->Run(argv); }

// A deadline for the driver's own waits, in its milliseconds.
std::string Ms(std::chrono::milliseconds deadline) {
  return std::to_string(test::Patience(deadline).count());
}
void SetValue(const std::string& key, const std::string& name, const std::string& type,
              const std::string& value) {
  RunTool({g_prefix->wine(), "reg", "add", key, "/v", name, "/t", type, "/d", value, "/f"});
}

// The desktop, and the wine prefix whose windows have the frame of the
// desktop the form was designed on (an 8-pixel sizing border, a 23-pixel
// caption, at 96 PPI): the designed window of 696 x 480 then has the
// designed client area of 680 x 441.
class Session : public ::testing::Environment {
 public:
  void SetUp() override {
    test::RequireDesktopTools({"xdotool", "import"});
    const test::wine::Arch& arch = test::wine::ArchNamed(COMTESTER_WINE_ARCH);
    if (const auto reason = test::wine::CannotRun(arch)) GTEST_SKIP() << *reason;
    g_prefix = new test::wine::Prefix(COMTESTER_WINUI_PREFIX, arch);
    std::error_code ignored;
    fs::remove(g_prefix->log(), ignored);
    for (auto [name, twips] : {std::pair{"BorderWidth", "-75"}, std::pair{"CaptionHeight", "-330"}})
      SetValue(kMetricsKey, name, "REG_SZ", twips);
    g_desktop = new test::XDesktop(kScreen, g_prefix->log());
  }

  void TearDown() override {
    if (!g_prefix) return;  // skipped: nothing was started
    g_prefix->Stop();
    delete g_desktop;
  }
};

// window_driver.exe under Wine, spoken to over pipes.
class Driver {
 public:
  Driver() : program_(*g_prefix, kDriver) {}

  // The answer's lines, the last one ("ok ...", "end" or "error ...") included.
  std::vector<std::string> Call(const std::string& command) {
    program_.Send(command);
    std::vector<std::string> lines;
    for (;;) {
      // Longer than any wait the driver itself is asked for.
      lines.push_back(program_.ReadLine(120s).value_or("error driver silent"));
      const std::string& last = lines.back();
      if (last == "end" || last == "ok" || last.starts_with("ok ") || last.starts_with("error "))
        return lines;
    }
  }
  // The one line of an answer that must succeed, without its "ok".
  std::string Ok(const std::string& command) {
    const std::vector<std::string> lines = Call(command);
    EXPECT_TRUE(lines.back().starts_with("ok")) << command << ": " << lines.back();
    if (!lines.back().starts_with("ok")) return lines.back();
    return lines.back().size() > 3 ? lines.back().substr(3) : "";
  }
  // The focused control as "CLASS CHECK TEXT @LEFT,TOP".
  std::string Focus() {
    const std::string line = Call("focus " + kCaption).back();
    int left, top, width, height, consumed = 0;
    char cls[32], check[16];
    if (std::sscanf(line.c_str(), "ok %31s %d %d %d %d %15s %n", cls, &left, &top, &width, &height,
                    check, &consumed) != 6 ||
        consumed == 0)
      return line;
    return std::string(cls) + " " + check + " " + line.substr(static_cast<std::size_t>(consumed)) +
           " @" + std::to_string(left) + "," + std::to_string(top);
  }

 private:
  test::wine::PipedProgram program_;
};

// comtester.exe under Wine, its window up.
class Program {
 public:
  explicit Program(Driver& driver) : pid_(g_prefix->Spawn({g_prefix->wine(), kProgram})) {
    const std::vector<std::string> shown = driver.Call("wait " + kCaption + " " + Ms(30s));
    if (shown.back() != "ok") {
      errno = 0;
      Fail("no window " + kCaption + ": " + shown.back());
    }
  }
  ~Program() { Kill(pid_); }
  int Exit(std::chrono::milliseconds deadline = 30s) {
    const int status = WaitExit(pid_, deadline);
    if (status >= 0) pid_ = -1;
    return status;
  }

 private:
  pid_t pid_;
};

// The peer's end has seen the near end close.
bool HungUp(const test::Pty& pty) {
  return test::WaitFor([&] {
    pollfd p{pty.master(), POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
  });
}

// The peer writes `bytes` and waits until they stand in the near end's input
// queue: a pseudo-terminal hands them on a moment later, and a Receive
// pressed before then rightly finds fewer.
void PeerSends(test::Pty& pty, const std::string& bytes) {
  pty.Write(bytes);
  const int nearEnd = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (nearEnd < 0) throw std::runtime_error("open " + pty.path() + ": " + std::strerror(errno));
  const bool queued = test::WaitFor([&] {
    int waiting = 0;
    return ioctl(nearEnd, FIONREAD, &waiting) == 0 && waiting >= static_cast<int>(bytes.size());
  });
  close(nearEnd);
  if (!queued) throw std::runtime_error("the peer's bytes never reached " + pty.path());
}

const std::string kSendMemo = "@40,176";
const std::string kReceiveMemo = "@368,168";

// A pseudo-terminal never unlocked: its near end is there, opening it fails.
class LockedPty {
 public:
  LockedPty() : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (master_ < 0 || grantpt(master_) != 0) Fail("posix_openpt");
    path_ = ptsname(master_);
  }
  ~LockedPty() { close(master_); }
  const std::string& path() const { return path_; }

 private:
  int master_;
  std::string path_;
};

// Every case's start: COM1 and COM2 mapped to pseudo-terminals whose far
// ends the case plays (COM1 to one that fails to open, when asked), the
// driver, and the program with its window up. What the program reads as it
// starts, a screen or a registry value, a case sets before Start, for
// itself alone.
class Window : public ::testing::Test {
 protected:
  enum class Com1 { kOpens, kFails };

  void Start(Com1 com1Is = Com1::kOpens) {
    g_prefix->MapPorts(com1Is == Com1::kOpens ? com1.path() : lockedCom1.path(), com2.path());
    driver.emplace();
    program.emplace(*driver);
  }
  // The window active, for the keys that xdotool presses to reach it.
  void Activate() {
    RunTool({"xdotool", "search", "--sync", "--name", "^" + kCaption + "$", "windowactivate",
             "--sync"});
  }
  void Key(std::vector<std::string> keys) {
    keys.insert(keys.begin(), {"xdotool", "key"});
    RunTool(keys);
  }
  bool FocusIs(const std::string& expected) {
    return test::WaitFor([&] { return driver->Focus().starts_with(expected); });
  }
  std::string Text(const std::string& memo) {
    return driver->Ok("gettext " + kCaption + " " + memo);
  }

  // A screen of `size`, less a panel of `panel` pixels, until the case ends.
  void UseScreen(const std::string& size, int panel = 0) {
    g_desktop->Restart(size, panel);
    atEnd_.push_back([] { g_desktop->Restart(kScreen); });
  }
  // A registry value until the case ends, then `before` again, or none.
  void SetForCase(const std::string& key, const std::string& name, const std::string& type,
                  const std::string& value, const std::string& before = "") {
    SetValue(key, name, type, value);
    atEnd_.push_back([=] {
      if (before.empty())
        RunTool({g_prefix->wine(), "reg", "delete", key, "/v", name, "/f"});
      else
        SetValue(key, name, type, before);
    });
  }

  // The program gone before what it read at its start changes back.
  void TearDown() override {
    program.reset();
    driver.reset();
    for (auto undo = atEnd_.rbegin(); undo != atEnd_.rend(); ++undo) (*undo)();
  }

  test::Pty com1, com2;
  LockedPty lockedCom1;
  std::optional<Driver> driver;
  std::optional<Program> program;

 private:
  std::vector<std::function<void()>> atEnd_;
};

TEST_F(Window, ShowsEveryControlInPlaceAndClosesByItsFrame) {
  Start();
  EXPECT_EQ(driver->Ok("window " + kCaption), "233 209 696 480");

  std::vector<std::string> answer = driver->Call("controls " + kCaption);
  ASSERT_EQ(answer.back(), "end");
  answer.pop_back();
  const std::multiset<std::string> controls(answer.begin(), answer.end());
  // Class, place and size at 96 PPI, check state of radio buttons, text.
  for (const char* expected : {
           "control Static 56 152 48 13 - 傳送資料",
           "control Static 400 144 48 13 - 接收資料",
           "control Button 272 40 145 81 - 開啟通訊埠",
           "control Button 488 40 137 81 - 結束系統",
           "control Button 408 376 169 57 - 接收資料",
           "control Button 32 16 193 121 - 選擇通訊埠",
           "control Edit 40 176 201 185 - Memo1",
           "control Edit 368 168 217 185 - Memo2",
           "control Button 48 368 169 57 - 傳送資料",
       })
    EXPECT_EQ(controls.count(expected), 1u) << expected;
  // The group's two items, the first chosen, each inside the group's frame.
  std::vector<std::string> radios;
  for (const std::string& line : answer) {
    int left, top, width, height;
    char check[16], text[64];
    if (std::sscanf(line.c_str(), "control Button %d %d %d %d %15s %63s", &left, &top, &width,
                    &height, check, text) == 6 &&
        std::string(check) != "-") {
      radios.push_back(std::string(text) + " " + check);
      EXPECT_TRUE(left >= 32 && top >= 16 && left + width <= 32 + 193 && top + height <= 16 + 121)
          << line;
    }
  }
  EXPECT_EQ(radios, (std::vector<std::string>{"COM1 checked", "COM2 unchecked"}));
  EXPECT_EQ(answer.size(), 11u) << "nine controls and two radio buttons";
  // A screen reader names each memo by the static text just before it.
  EXPECT_EQ(driver->Ok("before " + kCaption + " " + kSendMemo), "Static 56 152 48 13 - 傳送資料");
  EXPECT_EQ(driver->Ok("before " + kCaption + " " + kReceiveMemo),
            "Static 400 144 48 13 - 接收資料");

  fs::create_directories(fs::path(kScreenshot).parent_path());
  fs::remove(kScreenshot);
  RunTool({"import", "-window", "root", kScreenshot});
  EXPECT_GT(fs::file_size(kScreenshot), 0u);

  RunTool({"wmctrl", "-c", kCaption});  // the frame's close box, as the window manager sends it
  EXPECT_EQ(program->Exit(), 0);
}

TEST_F(Window, TabMovesFocusInOrderAndMemosKeepReturnAndSelectAll) {
  Start();
  Activate();

  // A radio button is matched without its place: the group's layout is free.
  const std::vector<std::string> order = {
      "Button - 開啟通訊埠 @272,40", "Button - 結束系統 @488,40",   "Button - 接收資料 @408,376",
      "Button checked COM1 @",       "Edit - Memo1 @40,176",        "Edit - Memo2 @368,168",
      "Button - 傳送資料 @48,368",   "Button - 開啟通訊埠 @272,40",
  };
  ASSERT_TRUE(FocusIs(order[0])) << driver->Focus();
  for (std::size_t i = 1; i < order.size(); ++i) {
    Key({"Tab"});
    EXPECT_TRUE(FocusIs(order[i])) << "after Tab " << i << ": " << driver->Focus();
  }
  Key({"shift+Tab"});
  EXPECT_TRUE(FocusIs(order[6])) << driver->Focus();

  // Into the send memo: Ctrl+A takes all of it, Return replaces it with a line break.
  for (int i = 0; i < 2; ++i) Key({"shift+Tab"});
  ASSERT_TRUE(FocusIs(order[4])) << driver->Focus();
  Key({"ctrl+a"});
  EXPECT_TRUE(test::WaitFor(
      [&] { return driver->Ok("selection " + kCaption + " " + kSendMemo) == "0 5"; }));
  Key({"Return"});
  EXPECT_TRUE(test::WaitFor([&] { return Text(kSendMemo) == "\\r\\n"; })) << Text(kSendMemo);
  EXPECT_EQ(driver->Focus(), "Edit - \\r\\n @40,176");

  // An arrow chooses COM2; Tab then enters the group at it, not at COM1.
  Key({"shift+Tab"});
  ASSERT_TRUE(FocusIs("Button checked COM1 @")) << driver->Focus();
  Key({"Down"});
  EXPECT_TRUE(FocusIs("Button checked COM2 @")) << driver->Focus();
  Key({"Tab"});
  EXPECT_TRUE(FocusIs("Edit - \\r\\n @40,176")) << driver->Focus();
  Key({"shift+Tab"});
  EXPECT_TRUE(FocusIs("Button checked COM2 @")) << driver->Focus();
  Key({"shift+Tab"});
  EXPECT_TRUE(FocusIs(order[2])) << driver->Focus();
}

TEST_F(Window, ButtonsDriveTheLineEndToEnd) {
  Start();

  driver->Ok("click " + kCaption + " 開啟通訊埠");
  com1.ReleaseNearEnd();  // from now on only the program holds it
  driver->Ok("click " + kCaption + " 傳送資料");
  EXPECT_EQ(com1.ReadUpTo(5), "Memo1");
  driver->Ok("settext " + kCaption + " " + kSendMemo + " AB\\r\\nCD");
  driver->Ok("click " + kCaption + " 傳送資料");
  EXPECT_EQ(com1.ReadUpTo(6), "AB\r\nCD") << "a memo's lines go out joined by CR LF";

  const std::string twelve = "Hello, COM1!";
  com1.Write(twelve);
  EXPECT_TRUE(test::WaitFor([&] {
    driver->Ok("click " + kCaption + " 接收資料");
    return Text(kReceiveMemo) == twelve;
  })) << Text(kReceiveMemo);

  // Every line break the peer sends shows as one, LF, CR and CR LF alike; so
  // does every line break in a text set on a memo from anywhere.
  com1.Write("line1\nline2\rline3\r\nline4");
  EXPECT_TRUE(test::WaitFor([&] {
    driver->Ok("click " + kCaption + " 接收資料");
    return Text(kReceiveMemo) == "line1\\r\\nline2\\r\\nline3\\r\\nline4";
  })) << Text(kReceiveMemo);
  EXPECT_EQ(driver->Ok("lines " + kCaption + " " + kReceiveMemo), "4");
  driver->Ok("settext " + kCaption + " " + kReceiveMemo + " a\\nb\\rc\\r\\nd\\n");
  EXPECT_EQ(driver->Ok("lines " + kCaption + " " + kReceiveMemo), "5");
  EXPECT_EQ(Text(kReceiveMemo), "a\\r\\nb\\r\\nc\\r\\nd\\r\\n");

  // COM2 chosen and opened: COM1 is let go, the second line carries the text.
  driver->Ok("click " + kCaption + " COM2");
  std::vector<std::string> controls = driver->Call("controls " + kCaption);
  EXPECT_EQ(std::count_if(controls.begin(), controls.end(),
                          [](const std::string& line) { return line.ends_with(" checked COM2"); }),
            1);
  driver->Ok("click " + kCaption + " 開啟通訊埠");
  com2.ReleaseNearEnd();
  EXPECT_TRUE(HungUp(com1)) << "COM1 still open after opening COM2";
  driver->Ok("click " + kCaption + " 傳送資料");
  EXPECT_EQ(com2.ReadUpTo(6), "AB\r\nCD");

  driver->Call("click " + kCaption + " 結束系統");
  EXPECT_EQ(program->Exit(), 0);
  EXPECT_TRUE(HungUp(com2)) << "the program ended with COM2 open";
}

// At 144 DPI the program scales itself; read back at 96 PPI nothing moves,
// on a screen with room for the window at its designed place.
TEST_F(Window, KeepsItsLayoutAtAnotherDpi) {
  UseScreen("1920x1080");
  SetForCase(kDesktopKey, "LogPixels", "REG_DWORD", "144");
  // The designed frame at 144 DPI, 12 pixels a side: Wine scales the border
  // it is given, but not the 3 pixels inside it.
  SetForCase(kMetricsKey, "BorderWidth", "REG_SZ", "-90", "-75");
  Start();  // restarts the session, which reads the DPI
  EXPECT_EQ(driver->Ok("dpi " + kCaption), "144");
  EXPECT_EQ(driver->Ok("window " + kCaption), "233 209 696 480");
  std::vector<std::string> answer = driver->Call("controls " + kCaption);
  EXPECT_EQ(std::count(answer.begin(), answer.end(), "control Button 272 40 145 81 - 開啟通訊埠"),
            1);
  EXPECT_EQ(std::count(answer.begin(), answer.end(), "control Edit 368 168 217 185 - Memo2"), 1);
  EXPECT_EQ(std::count(answer.begin(), answer.end(), "control Static 56 152 48 13 - 傳送資料"), 1);
}

// On the screens people have, at their DPI: the whole window inside the
// work area, every control inside the client area, none on another, every
// control but the memos at its designed size so that its caption shows whole.
// On the smallest, the buttons and the port group smaller but their captions
// whole; below the layout's least, the window takes the work area and what
// does not fit is cut at the right and the bottom.
struct Screen {
  const char* size;
  int dpi;
  int panel = 0;  // a desktop panel's height at the bottom
};

// The least client area at which every control keeps its designed size, and
// the form's font at 96 PPI: a Chinese character's width.
constexpr int kRoomyWidth = 491, kRoomyHeight = 271, kFontPixels = 11;

// Every control inside the client area, none on another, every control but
// the memos at its designed size so that its caption shows whole; smaller
// below the roomy size, never narrower than its caption's characters. Cut at
// the right or bottom only where the window takes all of the work area.
void CheckControls(Driver& driver) {
  int client[2], work[4], window[4];
  std::istringstream(driver.Ok("client " + kCaption)) >> client[0] >> client[1];
  std::istringstream(driver.Ok("screen " + kCaption)) >> work[0] >> work[1] >> work[2] >> work[3] >>
      window[0] >> window[1] >> window[2] >> window[3];
  const bool roomy = client[0] >= kRoomyWidth && client[1] >= kRoomyHeight;
  const bool takesWidth = window[2] >= work[2], takesHeight = window[3] >= work[3];
  const std::map<std::string, std::pair<int, int>> designed = {{"傳送資料", {48, 13}},
                                                               {"接收資料", {48, 13}},
                                                               {"開啟通訊埠", {145, 81}},
                                                               {"結束系統", {137, 81}},
                                                               {"選擇通訊埠", {193, 121}}};
  std::vector<std::array<int, 4>> placed;
  std::vector<std::string> answer = driver.Call("controls " + kCaption);
  ASSERT_EQ(answer.back(), "end");
  answer.pop_back();
  for (const std::string& line : answer) {
    int left, top, width, height;
    char cls[16], check[16], text[64];
    ASSERT_EQ(std::sscanf(line.c_str(), "control %15s %d %d %d %d %15s %63s", cls, &left, &top,
                          &width, &height, check, text),
              7)
        << line;
    if (std::string(check) != "-") continue;  // a radio button, inside its group
    EXPECT_TRUE(left >= 0 && top >= 0 && (left + width <= client[0] || takesWidth) &&
                (top + height <= client[1] || takesHeight))
        << line << " outside the client area " << client[0] << "x" << client[1];
    const auto size = designed.find(text);
    if (std::string(cls) != "Edit" &&
        size != designed.end()) {  // buttons under the boxes: 169 x 57
      const bool button = std::string(cls) == "Button" && size->second.first == 48;
      // Read back at 96 PPI from a scaled place: a pixel either way.
      const auto [w, h] = button ? std::pair(169, 57) : size->second;
      const auto characters = static_cast<int>(std::strlen(text) / 3);  // UTF-8, three bytes each
      if (roomy || std::string(cls) == "Static")
        EXPECT_TRUE(std::abs(width - w) <= 1 && std::abs(height - h) <= 1) << line;
      else
        EXPECT_TRUE(width > characters * kFontPixels && width <= w + 1 && height > kFontPixels &&
                    height <= h + 1)
            << line;
    }
    for (const auto& other : placed)
      EXPECT_FALSE(left < other[0] + other[2] && other[0] < left + width &&
                   top < other[1] + other[3] && other[1] < top + height)
          << line << " overlaps another control";
    placed.push_back({left, top, width, height});
  }
  EXPECT_EQ(placed.size(), 9u);
}

class OnScreen : public Window, public ::testing::WithParamInterface<Screen> {};

TEST_P(OnScreen, OpensInsideItWithEveryControlWholeAndApart) {
  const Screen screen = GetParam();
  UseScreen(screen.size, screen.panel);
  const std::string dpi = std::to_string(screen.dpi);
  SetForCase(kDesktopKey, "LogPixels", "REG_DWORD", dpi);
  Start();  // restarts the session, which reads the DPI
  ASSERT_EQ(driver->Ok("dpi " + kCaption), dpi);

  int work[4], window[4], client[2];
  std::istringstream(driver->Ok("screen " + kCaption)) >> work[0] >> work[1] >> work[2] >>
      work[3] >> window[0] >> window[1] >> window[2] >> window[3];
  EXPECT_TRUE(window[0] >= work[0] && window[1] >= work[1] &&
              window[0] + window[2] <= work[0] + work[2] &&
              window[1] + window[3] <= work[1] + work[3])
      << "window " << window[0] << "," << window[1] << " " << window[2] << "x" << window[3];
  std::istringstream(driver->Ok("client " + kCaption)) >> client[0] >> client[1];
  std::cout << "window " << window[2] << "x" << window[3] << " at " << window[0] << "," << window[1]
            << " in a work area of " << work[2] << "x" << work[3] << "; client " << client[0] << "x"
            << client[1] << " at 96 PPI\n";
  CheckControls(*driver);
  // Below the least, the window takes the work area; Tab still comes to each
  // of the seven stops in turn, from the focus it starts with.
  if (window[2] >= work[2] && window[3] >= work[3]) {
    Activate();
    const std::vector<std::string> order = {
        "Button - 開啟通訊埠", "Button - 結束系統", "Button - 接收資料", "Button checked COM1",
        "Edit - Memo1",        "Edit - Memo2",      "Button - 傳送資料", "Button - 開啟通訊埠"};
    ASSERT_TRUE(FocusIs(order[0])) << driver->Focus();
    for (std::size_t i = 1; i < order.size(); ++i) {
      Key({"Tab"});
      EXPECT_TRUE(FocusIs(order[i])) << "after Tab " << i << ": " << driver->Focus();
    }
  }
  const fs::path shot = fs::path(kScreenshot)
                            .replace_filename(fs::path(kScreenshot).stem().string() + "-" +
                                              screen.size + "-" + dpi + "dpi.png");
  fs::remove(shot);
  RunTool({"import", "-window", "root", shot.string()});
  EXPECT_GT(fs::file_size(shot), 0u) << shot;

  // An ordinary sizeable window: maximised, and as small as it goes.
  EXPECT_EQ(driver->Ok("style " + kCaption), "sizeable maximizable");
  for (const std::string& command : {"maximize " + kCaption, "resize " + kCaption + " 100 80"}) {
    driver->Ok(command);
    std::cout << command << ": client " << driver->Ok("client " + kCaption) << "\n";
    CheckControls(*driver);
  }
}

// The small ones: a 3.5-inch board's 480 x 320 under a 36-pixel panel,
// 320 x 240, 640 x 480 at 144 DPI (427 x 320 at 96), and 800 x 480 at 384
// DPI (200 x 120 at 96), smaller than the window's least.
INSTANTIATE_TEST_SUITE_P(Window, OnScreen,
                         ::testing::Values(Screen{"800x480", 96}, Screen{"1280x720", 144},
                                           Screen{"1366x768", 192}, Screen{"480x320", 96, 36},
                                           Screen{"320x240", 96}, Screen{"640x480", 144},
                                           Screen{"800x480", 384}),
                         [](const auto& info) {
                           return std::string(info.param.size) + "at" +
                                  std::to_string(info.param.dpi) +
                                  (info.param.panel ? "panel" + std::to_string(info.param.panel)
                                                    : "");
                         });

// Enter presses the focused button whatever brought the focus there: the
// start, a click, Tab; the keypad's Enter as well.
TEST_F(Window, EnterPressesTheFocusedButton) {
  Start(Com1::kFails);
  Activate();
  auto receiveMemoIs = [&](const std::string& expected) {
    return test::WaitFor([&] { return Text(kReceiveMemo) == expected; });
  };
  auto mouseClick = [&](const std::string& button) {
    std::istringstream at(driver->Ok("point " + kCaption + " " + button));
    std::string x, y;
    at >> x >> y;
    RunTool({"xdotool", "mousemove", "--sync", x, y, "click", "1"});
  };

  ASSERT_TRUE(FocusIs("Button - 開啟通訊埠 @")) << driver->Focus();
  // The button Enter presses is the one drawn as the default, and only it.
  EXPECT_EQ(driver->Ok("default " + kCaption), "開啟通訊埠");
  for (const char* key : {"Return", "KP_Enter"}) {
    Key({key});
    EXPECT_EQ(driver->Ok("messagebox Comm\\ Error " + Ms(30s)), "開啟通訊埠錯誤!!")
        << key << " at the start";
    driver->Ok("dismiss Comm\\ Error");
    ASSERT_TRUE(FocusIs("Button - 開啟通訊埠 @")) << driver->Focus();
  }

  driver->Ok("click " + kCaption + " COM2");
  mouseClick("開啟通訊埠");
  com2.ReleaseNearEnd();
  PeerSends(com2, "one");
  mouseClick("接收資料");
  EXPECT_TRUE(receiveMemoIs("one")) << Text(kReceiveMemo);
  ASSERT_TRUE(FocusIs("Button - 接收資料 @408,376")) << driver->Focus();
  EXPECT_EQ(driver->Ok("default " + kCaption), "接收資料");
  PeerSends(com2, "two");
  Key({"Return"});
  EXPECT_TRUE(receiveMemoIs("two")) << "Return after a click: " << Text(kReceiveMemo);

  Key({"shift+Tab"});
  ASSERT_TRUE(FocusIs("Button - 結束系統 @488,40")) << driver->Focus();
  EXPECT_EQ(driver->Ok("default " + kCaption), "結束系統");
  Key({"KP_Enter"});
  EXPECT_EQ(program->Exit(), 0);
  EXPECT_TRUE(HungUp(com2)) << "the program ended with COM2 open";
}

// A megabyte pasted into the send box stays whole and goes out whole: an edit
// control keeps some 30,000 characters unless told otherwise. As lines, or as
// one line with nowhere to break, which a wrapping edit control would take
// hours over.
class PastedMegabyte : public Window, public ::testing::WithParamInterface<bool> {};

TEST_P(PastedMegabyte, GoesOutWhole) {
  constexpr std::size_t kSize = 1 << 20;
  const bool oneLine = GetParam();
  // Numbered lines, so that a loss shows where; now and then one too long to wrap.
  std::string text;
  for (int i = 0; !oneLine && text.size() + 4000 < kSize; ++i) {
    char number[16];
    std::snprintf(number, sizeof number, "%06d ", i);
    text += number;
    text +=
        i % 1000 == 999 ? std::string(3000, 'x') : "the quick brown fox jumps over the lazy dog";
    text += "\r\n";
  }
  while (oneLine && text.size() < kSize) text += static_cast<char>('A' + text.size() % 26);
  text += std::string(kSize - text.size(), 'z');
  const fs::path file = fs::path(COMTESTER_WINUI_PREFIX).parent_path() / "paste.txt";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << file;
  }

  Start();
  driver->Ok("click " + kCaption + " 開啟通訊埠");
  com1.ReleaseNearEnd();

  driver->Ok("clipboard Z:" + file.string());
  Activate();
  for (int i = 0; i < 4; ++i) Key({"Tab"});  // from 開啟通訊埠 to the send memo
  ASSERT_TRUE(FocusIs("Edit - Memo1 " + kSendMemo)) << driver->Focus();
  Key({"ctrl+a", "ctrl+v"});
  const std::string end = std::to_string(kSize);
  EXPECT_TRUE(test::WaitFor(
      [&] { return driver->Ok("selection " + kCaption + " " + kSendMemo) == end + " " + end; },
      30s))
      << "the caret after the paste: " << driver->Ok("selection " + kCaption + " " + kSendMemo);

  // The peer reads while the program writes: a pseudo-terminal holds far less.
  std::string sent;
  std::thread peer([&] {
    sent = com1.ReadUpTo(kSize, 60s);
    sent += com1.Drain();  // anything beyond, which would be a fault too
  });
  driver->Ok("click " + kCaption + " 傳送資料");
  peer.join();
  fs::remove(file);
  EXPECT_EQ(sent.size(), kSize);
  const auto differ = std::mismatch(sent.begin(), sent.end(), text.begin(), text.end());
  EXPECT_TRUE(differ.first == sent.end() && differ.second == text.end())
      << "the line differs from the pasted text from byte " << differ.first - sent.begin();
  if (oneLine) {  // and ordinary text set afterwards wraps again
    driver->Ok("settext " + kCaption + " " + kSendMemo +
               " words and more words and more words and more");
    EXPECT_GT(std::stoi(driver->Ok("lines " + kCaption + " " + kSendMemo)), 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Window, PastedMegabyte, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OneLine" : "InLines"; });

// Ctrl+Z brings back a pasted paragraph that typing replaced, as well when it
// is too long to wrap and the send box changes control for it both ways.
TEST_F(Window, UndoBringsBackAReplacedParagraph) {
  Start();
  Activate();
  ASSERT_TRUE(FocusIs("Button - 開啟通訊埠")) << driver->Focus();
  for (int i = 0; i < 4; ++i) Key({"Tab"});  // from 開啟通訊埠 to the send memo
  ASSERT_TRUE(FocusIs("Edit - Memo1 " + kSendMemo)) << driver->Focus();
  const fs::path file = fs::path(COMTESTER_WINUI_PREFIX).parent_path() / "paragraph.txt";
  for (const std::size_t size : {100, 3000}) {
    std::string text;
    while (text.size() < size) text += static_cast<char>('a' + text.size() % 26);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    driver->Ok("clipboard Z:" + file.string());
    const auto shows = [&](const std::string& wanted) {
      return test::WaitFor([&] { return Text(kSendMemo) == wanted; });
    };
    Key({"ctrl+a", "ctrl+v"});
    EXPECT_TRUE(shows(text)) << size << " characters pasted";
    Key({"ctrl+a", "x"});
    EXPECT_TRUE(shows("x")) << size << " characters replaced by x";
    Key({"ctrl+z"});
    EXPECT_TRUE(shows(text)) << "Ctrl+Z after " << size
                             << " characters replaced: " << Text(kSendMemo).substr(0, 40);
  }
  fs::remove(file);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new Session);
  return RUN_ALL_TESTS();
}
