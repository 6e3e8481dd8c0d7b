// The real window from its embedded description, on Qt offscreen, its
// buttons driving pseudo-terminals mapped to COM1 and COM2.
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <regex>

#include "Unit1.h"
#include "backend.h"
#include "device_posix.h"
#include "pty.h"
#include "qt_helpers.h"

namespace {

using namespace std::chrono_literals;

class Window : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Application->Initialize();
    Application->CreateForm(Form1);
    gui::backend::Show(Form1->Handle());
  }

  void SetUp() override {
    serial::hCom = 0;
    serial::UseDevice(&device);
    window = test::WindowTitled("Form1");
    ASSERT_NE(window, nullptr);
    Memo("mSend")->setPlainText("Memo1");
    Memo("mReceive")->setPlainText("Memo2");
    Radio("COM1")->setChecked(true);
  }
  void TearDown() override {
    if (serial::IsOpen()) device.ClosePort(serial::hCom);
    serial::hCom = 0;
    serial::UseDevice(nullptr);
  }

  void Click(const char* caption) {
    auto* button = test::ChildWithText<QPushButton>(window, QString::fromUtf8(caption));
    ASSERT_NE(button, nullptr) << caption;
    QTest::mouseClick(button, Qt::LeftButton);
  }
  // The toolkit's widget behind the memo of that name.
  QPlainTextEdit* Memo(const char* name) {
    const TRect r = static_cast<TControl*>(Form1->FindComponent(name))->BoundsRect();
    for (auto* memo : window->findChildren<QPlainTextEdit*>())
      if (memo->geometry() == QRect(r.Left, r.Top, r.Width, r.Height)) return memo;
    return nullptr;
  }
  QRadioButton* Radio(const char* text) { return test::ChildWithText<QRadioButton>(window, text); }

  // Presses receive until the box shows `count` characters or the deadline.
  QString ReceiveUntil(int count) {
    QString shown;
    test::WaitFor([&] {
      Click("接收資料");
      shown = Memo("mReceive")->toPlainText();
      return shown.size() >= count;
    });
    return shown;
  }

  test::Pty com1, com2;
  std::string com1Path = com1.path();
  serial::PosixDevice device{[this](const std::string& port) {
    return port == "COM1" ? com1Path : port == "COM2" ? com2.path() : std::string();
  }};
  QWidget* window = nullptr;
};

struct Expected {
  const char* name;
  TRect bounds;
  const char* text;
};

TEST_F(Window, IsLaidOutAsDescribed) {
  EXPECT_EQ(window->windowTitle(), "Form1");
  // No frame here (offscreen.json): the client area takes the designed size.
  EXPECT_EQ(Form1->BoundsRect(), (TRect{233, 209, 680, 441}));
  const Expected controls[] = {
      {"Label1", {56, 152, 48, 13}, "傳送資料"},     {"Label2", {400, 144, 48, 13}, "接收資料"},
      {"Button1", {272, 40, 145, 81}, "開啟通訊埠"}, {"Button2", {488, 40, 137, 81}, "結束系統"},
      {"Button4", {408, 376, 169, 57}, "接收資料"},  {"rdCOM", {32, 16, 193, 121}, "選擇通訊埠"},
      {"mSend", {40, 176, 201, 185}, "Memo1"},       {"mReceive", {368, 168, 217, 185}, "Memo2"},
      {"Button3", {48, 368, 169, 57}, "傳送資料"},
  };
  for (const Expected& e : controls) {
    auto* control = dynamic_cast<TControl*>(Form1->FindComponent(e.name));
    ASSERT_NE(control, nullptr) << e.name;
    EXPECT_EQ(control->BoundsRect(), e.bounds) << e.name;
    EXPECT_EQ(control->Text(), e.text) << e.name;
  }
  // The same as the toolkit's own widgets have them.
  auto* open = test::ChildWithText<QPushButton>(window, "開啟通訊埠");
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(open->geometry(), QRect(272, 40, 145, 81));
  auto* group = window->findChild<QGroupBox*>();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->title(), "選擇通訊埠");
  auto* rd = dynamic_cast<TRadioGroup*>(Form1->FindComponent("rdCOM"));
  EXPECT_EQ(rd->Items(), (std::vector<std::string>{"COM1", "COM2"}));
  EXPECT_EQ(rd->ItemIndex(), 0);
  EXPECT_TRUE(Radio("COM1")->isChecked());
}

TEST_F(Window, ShowsTheProgramsIcon) {
  QImage expected(QStringLiteral(ICON_FILE), "ICO");  // the toolkit's own reader
  ASSERT_FALSE(expected.isNull());
  const QImage shown = window->windowIcon().pixmap(32, 32).toImage();
  EXPECT_EQ(shown.convertToFormat(QImage::Format_ARGB32),
            expected.convertToFormat(QImage::Format_ARGB32));
}

TEST_F(Window, TabVisitsTheControlsInTheirOrder) {
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(
      window, static_cast<int>(test::Patience(std::chrono::seconds(30)).count())));
  auto* open = test::ChildWithText<QPushButton>(window, "開啟通訊埠");
  open->setFocus(Qt::TabFocusReason);
  const std::vector<QWidget*> expected = {
      test::ChildWithText<QPushButton>(window, "結束系統"),
      test::ChildWithText<QPushButton>(window, "接收資料"),
      Radio("COM1"),
      Memo("mSend"),
      Memo("mReceive"),
      test::ChildWithText<QPushButton>(window, "傳送資料"),
      open,
  };
  for (QWidget* next : expected) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next)
        << "focus on " << QApplication::focusWidget()->metaObject()->className();
  }
  // Shift+Tab goes back.
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget(), expected[5]);

  // An arrow chooses the other port; Tab then enters the group at it.
  Radio("COM1")->setFocus(Qt::TabFocusReason);
  QTest::keyClick(Radio("COM1"), Qt::Key_Down);
  EXPECT_TRUE(Radio("COM2")->isChecked());
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), Memo("mSend"));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget(), Radio("COM2"));
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
  EXPECT_EQ(QApplication::focusWidget(), expected[1]);
}

TEST_F(Window, OpenSendAndReceiveDriveTheLine) {
  Click("開啟通訊埠");
  ASSERT_TRUE(serial::IsOpen());
  Click("傳送資料");  // the box untouched since start
  EXPECT_EQ(com1.ReadUpTo(5), "Memo1");

  Memo("mSend")->setPlainText("first\nsecond");
  Click("傳送資料");
  EXPECT_EQ(com1.ReadUpTo(13), "first\r\nsecond");

  Click("接收資料");  // nothing has come yet
  EXPECT_EQ(Memo("mReceive")->toPlainText(), "");
  com1.Write("twelve bytes");
  EXPECT_EQ(ReceiveUntil(12), "twelve bytes");
  com1.Write("line\r\nbreak");
  EXPECT_EQ(ReceiveUntil(10), "line\nbreak");  // CR LF shows as a line break
}

TEST_F(Window, SecondPortSelectedOpensTheSecondDevice) {
  QTest::mouseClick(Radio("COM2"), Qt::LeftButton, {}, QPoint(6, Radio("COM2")->height() / 2));
  Click("開啟通訊埠");
  ASSERT_TRUE(serial::IsOpen());
  Click("傳送資料");
  EXPECT_EQ(com2.ReadUpTo(5), "Memo1");
  EXPECT_EQ(com1.Drain(50ms), "");
}

TEST_F(Window, OpenFailureShowsItsMessageBoxAndTheWindowStays) {
  com1Path = "/dev/no-such-port";
  test::BoxAnswerer boxes;
  Click("開啟通訊埠");
  EXPECT_EQ(boxes.seen(), std::vector<std::string>{"Comm Error|開啟通訊埠錯誤!!"});
  EXPECT_FALSE(serial::IsOpen());
  EXPECT_TRUE(window->isVisible());
  Click("接收資料");  // no port: the receive box keeps its text
  EXPECT_EQ(Memo("mReceive")->toPlainText(), "Memo2");
}

TEST_F(Window, ExitEndsTheProcessWithStatusZero) {
  Click("開啟通訊埠");
  EXPECT_EXIT(Click("結束系統"), ::testing::ExitedWithCode(0), "");
}

TEST_F(Window, ClosingTheWindowEndsTheLoop) {
  EXPECT_EXIT(
      {
        QTimer::singleShot(0, [this] { window->close(); });
        Application->Run();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// A form whose handlers throw, to see what the layer does with each kind.
class TThrowing : public TForm {
 public:
  explicit TThrowing(TComponent* Owner) : TForm(Owner) {}
  TButton* Ours;
  TButton* Foreign;
  void OursClick(TObject*) { throw Exception("ours"); }
  void ForeignClick(TObject*) { throw 42; }
};

constexpr char kThrowingDescription[] = R"(
[Throwing: TThrowing]
Caption = "Throwing"
Left = 0
Top = 0
Width = 200
Height = 100

[Ours: TButton]
Left = 0
Top = 0
Width = 100
Height = 30
Caption = "ours"
OnClick = OursClick

[Foreign: TButton]
Left = 100
Top = 0
Width = 100
Height = 30
Caption = "foreign"
OnClick = ForeignClick
)";

const gui::FormClass& ThrowingClass() {
  static const gui::FormClass c = gui::FormClass("TTHROWING")
                                      .Field("Ours", &TThrowing::Ours)
                                      .Field("Foreign", &TThrowing::Foreign)
                                      .Handler("OursClick", &TThrowing::OursClick)
                                      .Handler("ForeignClick", &TThrowing::ForeignClick);
  return c;
}

TEST_F(Window, AnExceptionFromAHandlerIsShownAndTheWindowGoesOn) {
  auto* form = new TThrowing(Application);
  ThrowingClass().Load(*form, kThrowingDescription);
  gui::backend::Show(form->Handle());
  test::BoxAnswerer boxes;
  form->Ours->Click();
  form->Ours->Click();
  EXPECT_EQ(boxes.seen(), (std::vector<std::string>{"window_tests|ours", "window_tests|ours"}));
  delete form;
}

TEST_F(Window, AForeignExceptionFromAHandlerLeavesTheLoop) {
  EXPECT_EXIT(
      {
        auto* form = new TThrowing(Application);
        ThrowingClass().Load(*form, kThrowingDescription);
        QTimer::singleShot(0, [form] { form->Foreign->Click(); });
        try {
          Application->Run();  // the main window's loop
        } catch (int thrown) {
          std::exit(thrown);
        }
        std::exit(1);
      },
      ::testing::ExitedWithCode(42), "");
}

TEST(FormDescription, MistakesFailLoudly) {
  Application->Initialize();
  const std::pair<const char*, const char*> cases[] = {
      {"[Throwing: TThrowing]\nLeft = 0\nTop = 0\nWidth = 1\n", "missing Height"},
      {"[Throwing: TOther]\nLeft = 0\nTop = 0\nWidth = 1\nHeight = 1\n", "describes TOther"},
      {"[Throwing: TThrowing]\nCaption = \"open\n", "unterminated"},
      {"Caption = \"x\"\n", "before the first"},
  };
  for (auto [text, message] : cases) {
    auto* form = new TThrowing(Application);
    try {
      ThrowingClass().Load(*form, text);
      ADD_FAILURE() << "accepted: " << text;
    } catch (const Exception& e) {
      EXPECT_NE(e.Message.find(message), std::string::npos) << e.Message;
    }
    delete form;
  }
  // Every field must find its control, and every handler its method.
  std::string noHandler = kThrowingDescription;
  noHandler.replace(noHandler.find("OnClick = OursClick"), 19, "OnClick = Missing  ");
  auto* form = new TThrowing(Application);
  EXPECT_THROW(ThrowingClass().Load(*form, noHandler), Exception);
  delete form;
  std::string noControl = kThrowingDescription;
  noControl.replace(noControl.find("[Foreign"), 8, "[Another");
  form = new TThrowing(Application);
  EXPECT_THROW(ThrowingClass().Load(*form, noControl), Exception);
  delete form;
}

// What a probe printed of the boxes it saw, and its exit status.
std::pair<std::string, int> RunProbe(const std::string& probe) {
  FILE* out = popen((probe + " 2>/dev/null").c_str(), "r");
  if (!out) return {"cannot start " + probe, -1};
  std::string printed;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, out)) printed += buffer;
  const int status = pclose(out);
  return {printed, WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
}

// The real entry point over a window whose handlers throw: ours is shown and
// the loop goes on, a foreign one leaves the loop and is shown with an empty
// message; the status is 0 either way.
TEST(Entry, ShowsWhatEscapesAndEndsWithStatusZero) {
  const auto [out, status] = RunProbe(ENTRY_PROBE);
  EXPECT_EQ(out, "box: entry_probe|boom\nbox: entry_probe|\n");
  EXPECT_EQ(status, 0);
}

// The same entry point over a description that names a handler the window
// lacks: what creating the window throws is shown once, and the status is 0.
TEST(Entry, AWindowThatFailsToLoadIsShownOnceAndEndsWithStatusZero) {
  const auto [out, status] = RunProbe(ENTRY_PROBE_BROKEN);
  EXPECT_TRUE(
      std::regex_match(out, std::regex("box: entry_probe_broken\\|Form description, line [0-9]+, "
                                       "Button3: no handler Button3Clik\n")))
      << out;
  EXPECT_EQ(status, 0);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
