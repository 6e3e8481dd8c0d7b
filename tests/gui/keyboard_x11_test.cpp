// The real window on Qt's X11 platform, on a private Xvfb display with
// openbox, driven by key presses and clicks that xdotool makes from outside
// the process, as a user's keyboard and mouse do: keyboard and focus, where
// the offscreen platform has hidden faults. The buttons drive
// pseudo-terminals mapped to COM1 and COM2.
#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QWindow>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Unit1.h"
#include "backend.h"
#include "device_posix.h"
#include "pty.h"
#include "qt_helpers.h"
#include "x_desktop.h"

namespace {

using namespace std::chrono_literals;

// Waits for `predicate` while the window goes on taking events, with the
// tests' patience.
template <class Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds deadline = 30s) {
  return QTest::qWaitFor(predicate, static_cast<int>(test::Patience(deadline).count()));
}
int Ms(std::chrono::milliseconds deadline) {
  return static_cast<int>(test::Patience(deadline).count());
}

// Runs xdotool while the window goes on taking events, then has the window
// take in what the X server holds for it by then. Checks still wait for
// their conditions.
void Xdo(std::vector<std::string> args) {
  args.insert(args.begin(), "xdotool");
  const pid_t pid = test::SpawnTool(args, 2);
  int status = 0;
  const bool ended = Eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  ASSERT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "xdotool " << args[1];
  QGuiApplication::sync();
}

class Keyboard : public ::testing::Test {
 protected:
  // A window of its own for every case: the start state is what users meet.
  void SetUp() override {
    serial::hCom = 0;
    serial::UseDevice(&device);
    form = std::make_unique<TForm1>(nullptr);
    gui::FormBinding<TForm1>::Class().Load(*form);
    gui::backend::Show(form->Handle());
    window = test::WindowTitled("Form1");
    ASSERT_NE(window, nullptr);
    // Generous: a busy machine may take seconds to map the first window.
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window, Ms(30s)));
    // In place, frame and all, before anything is clicked.
    ASSERT_TRUE(Eventually([&] {
      return form->BoundsRect() == (TRect{233, 209, 696, 480});
    })) << form->BoundsRect().Left
        << "," << form->BoundsRect().Top;
    Xdo({"windowactivate", "--sync", std::to_string(window->winId())});
    ASSERT_TRUE(QTest::qWaitForWindowActive(window, Ms(30s)));
  }
  void TearDown() override {
    form.reset();
    if (serial::IsOpen()) device.ClosePort(serial::hCom);
    serial::hCom = 0;
    serial::UseDevice(nullptr);
  }

  QPushButton* Button(const char* caption) {
    return test::ChildWithText<QPushButton>(window, QString::fromUtf8(caption));
  }
  QRadioButton* Radio(const char* text) { return test::ChildWithText<QRadioButton>(window, text); }
  QPlainTextEdit* Memo(const char* name) {
    const TRect r = static_cast<TControl*>(form->FindComponent(name))->BoundsRect();
    for (auto* memo : window->findChildren<QPlainTextEdit*>())
      if (memo->geometry() == QRect(r.Left, r.Top, r.Width, r.Height)) return memo;
    return nullptr;
  }
  // What has focus, for messages.
  static std::string Focus() {
    const QWidget* w = QApplication::focusWidget();
    if (!w) return "nothing";
    if (auto* b = qobject_cast<const QAbstractButton*>(w))
      return b->text().toStdString() + (b->isChecked() ? " (chosen)" : "");
    if (auto* m = qobject_cast<const QPlainTextEdit*>(w))
      return "memo at " + std::to_string(m->x());
    return w->metaObject()->className();
  }

  void Key(const char* key) { Xdo({"key", key}); }
  void ClickInside(QWidget* w) {
    const QPoint at = w->mapToGlobal(QPoint(10, 10)) * w->devicePixelRatio();
    Xdo({"mousemove", "--sync", std::to_string(at.x()), std::to_string(at.y()), "click", "1"});
  }
  bool FocusIs(const QWidget* w) {
    return Eventually([&] { return QApplication::focusWidget() == w; });
  }
  // The ports the program has asked for, once it has asked (the caller
  // checks which).
  std::vector<std::string> Opened() {
    static_cast<void>(Eventually([&] { return !opened.empty(); }));
    return opened;
  }
  // What COM1's far end has, once `count` bytes have come or the deadline.
  std::string ReceivedByCom1(std::size_t count) {
    std::string got;
    static_cast<void>(Eventually(
        [&] { return (got += com1.ReadUpTo(count - got.size(), 20ms)).size() >= count; }));
    return got;
  }
  // Focus on the port and that port alone chosen.
  bool ChosenAndFocused(const char* port) {
    const char* other = std::string(port) == "COM1" ? "COM2" : "COM1";
    return Eventually([&] {
      return QApplication::focusWidget() == Radio(port) && Radio(port)->isChecked() &&
             !Radio(other)->isChecked();
    });
  }

  test::Pty com1, com2;
  std::vector<std::string> opened;  // the ports the program asked for
  serial::PosixDevice device{[this](const std::string& port) {
    opened.push_back(port);
    return port == "COM1" ? com1.path() : port == "COM2" ? com2.path() : std::string();
  }};
  std::unique_ptr<TForm1> form;
  QWidget* window = nullptr;
};

// Into the port chooser from either side at the chosen port, the arrows
// choosing as they move and wrapping around, and the open button taking the
// port so chosen.
TEST_F(Keyboard, ThePortIsChosenByKeyboard) {
  ClickInside(Memo("mSend"));
  ASSERT_TRUE(FocusIs(Memo("mSend"))) << Focus();
  Key("shift+Tab");
  ASSERT_TRUE(ChosenAndFocused("COM1")) << "Shift+Tab from the send box: " << Focus();
  const std::pair<const char*, const char*> arrows[] = {
      {"Down", "COM2"},  {"Down", "COM1"},  {"Up", "COM2"},   {"Up", "COM1"},
      {"Right", "COM2"}, {"Right", "COM1"}, {"Left", "COM2"},
  };
  for (auto [key, port] : arrows) {
    Key(key);
    EXPECT_TRUE(ChosenAndFocused(port)) << key << ": " << Focus();
  }

  Key("Tab");
  EXPECT_TRUE(FocusIs(Memo("mSend"))) << Focus();
  Key("shift+Tab");
  EXPECT_TRUE(ChosenAndFocused("COM2")) << "Shift+Tab after choosing: " << Focus();
  Key("shift+Tab");
  EXPECT_TRUE(FocusIs(Button("接收資料"))) << Focus();
  Key("Tab");
  EXPECT_TRUE(ChosenAndFocused("COM2")) << "Tab from the receive button: " << Focus();

  for (const char* caption : {"接收資料", "結束系統", "開啟通訊埠"}) {
    Key("shift+Tab");
    ASSERT_TRUE(FocusIs(Button(caption))) << caption << ": " << Focus();
  }
  Key("Return");
  EXPECT_EQ(Opened(), std::vector<std::string>{"COM2"});
  EXPECT_TRUE(serial::IsOpen());
}

// Enter, either one, presses the focused button once, whatever brought the
// focus there: the start, Shift+Tab, a click. In a memo it breaks the line.
TEST_F(Keyboard, EnterPressesTheFocusedButton) {
  ASSERT_TRUE(FocusIs(Button("開啟通訊埠"))) << "at the start: " << Focus();
  Key("Return");
  EXPECT_EQ(Opened(), std::vector<std::string>{"COM1"});
  ASSERT_TRUE(serial::IsOpen());

  Key("shift+Tab");  // from the first stop round to the last
  ASSERT_TRUE(FocusIs(Button("傳送資料"))) << Focus();
  Key("KP_Enter");
  EXPECT_EQ(ReceivedByCom1(5), "Memo1");
  EXPECT_EQ(com1.Drain(100ms), "") << "sent more than once";

  ClickInside(Button("接收資料"));
  ASSERT_TRUE(FocusIs(Button("接收資料"))) << Focus();
  com1.Write("enter");
  QPlainTextEdit* received = Memo("mReceive");
  EXPECT_TRUE(test::WaitFor([&] {
    Key("Return");
    return received->toPlainText() == "enter";
  })) << received->toPlainText().toStdString();

  Key("Tab");  // 接收資料 -> COM1 -> the send box -> the receive box
  Key("Tab");
  Key("Tab");
  ASSERT_TRUE(FocusIs(received)) << Focus();
  Key("Return");
  Key("KP_Enter");
  EXPECT_TRUE(Eventually([&] { return received->toPlainText().count('\n') == 2; }))
      << received->toPlainText().toStdString();
  EXPECT_EQ(received->toPlainText().remove('\n'), "enter");
  EXPECT_EQ(com1.Drain(100ms), "");
}

// A megabyte in one line with no place to break, pasted with Ctrl+V: taken
// in and sent whole in seconds, which wrapping in more than linear time
// would stretch to minutes.
TEST_F(Keyboard, PastedLineWithNowhereToBreakGoesOutWhole) {
  std::string text(1 << 20, ' ');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('A' + i % 26);
  QGuiApplication::clipboard()->setText(QString::fromStdString(text));
  ClickInside(Button("開啟通訊埠"));
  ASSERT_TRUE(Eventually([] { return serial::IsOpen(); }));
  QPlainTextEdit* memo = Memo("mSend");
  ClickInside(memo);
  ASSERT_TRUE(FocusIs(memo)) << Focus();

  const auto start = std::chrono::steady_clock::now();
  Key("ctrl+a");
  Key("ctrl+v");
  ASSERT_TRUE(Eventually([&] { return memo->document()->characterCount() == 1 + (1 << 20); }, 60s));
  std::string sent;
  std::thread peer([&] { sent = com1.ReadUpTo(text.size(), 30s); });
  ClickInside(Button("傳送資料"));
  peer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, test::Patience(30s)) << "the window froze";
  EXPECT_EQ(sent.size(), text.size());
  EXPECT_TRUE(sent == text) << "the line differs from the pasted text";

  // Ordinary text set afterwards wraps at word boundaries again.
  memo->setPlainText("words and more words and more words and more words and more");
  QCoreApplication::processEvents();
  const QTextBlock block = memo->document()->firstBlock();
  ASSERT_GT(block.layout()->lineCount(), 1);
  for (int i = 1; i < block.layout()->lineCount(); ++i) {
    const int start = block.layout()->lineAt(i).textStart();
    EXPECT_TRUE(block.text().at(start - 1) == u' ')
        << "a line starts inside a word: " << block.text().mid(start).toStdString();
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();  // naming the cases needs no desktop
  std::unique_ptr<test::XDesktop> desktop;
  try {
    test::RequireDesktopTools({"xdotool"});
    desktop = std::make_unique<test::XDesktop>("1280x1024");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "no desktop: %s\n", e.what());
    return 1;
  }
  setenv("QT_QPA_PLATFORM", "xcb", 1);
  Application->Initialize();
  // Out before the display goes, which the toolkit would take for a fault.
  const int failed = RUN_ALL_TESTS();
  std::fflush(nullptr);
  _exit(failed);
}
