// The four operations over a scripted device: what they ask of the device,
// what they show, and what they leave in hCom.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform.h"
#include "scripted_device.h"
#include "serial.h"

namespace {

using serial::hCom;
using serial::kInvalidHandle;
using test::ScriptedDevice;

class Operations : public ::testing::Test {
 protected:
  void SetUp() override {
    hCom = 0;
    serial::UseDevice(&device);
    serial::SetAlertSink(nullptr);
  }
  void TearDown() override { serial::UseDevice(nullptr); }

  ScriptedDevice device;
};

const std::string kOpenErrorShown = "Comm Error|開啟通訊埠錯誤!!";
const std::string kSetErrorShown = "Set Error|通訊埠設定錯誤!!!";

TEST(PortName, IsComFollowedByIndexPlusOne) {
  EXPECT_EQ(serial::PortName(0), "COM1");
  EXPECT_EQ(serial::PortName(1), "COM2");
  EXPECT_EQ(serial::PortName(9), "COM10");
}

TEST_F(Operations, OpenTakesThePortOfTheIndexAndShowsNothing) {
  EXPECT_FALSE(serial::IsOpen());
  serial::Open(1);
  EXPECT_EQ(device.opened, std::vector<std::string>{"COM2"});
  EXPECT_EQ(hCom, 7);
  EXPECT_TRUE(serial::IsOpen());
  EXPECT_TRUE(device.alerts.empty());
}

TEST_F(Operations, OpenFailureShowsCommErrorAndLeavesNothingToSendTo) {
  device.refuseOpen = true;
  serial::Open(0);
  EXPECT_EQ(device.alerts, std::vector<std::string>{kOpenErrorShown});
  EXPECT_EQ(hCom, kInvalidHandle);
  serial::Send("Memo1");
  EXPECT_EQ(serial::Receive(), std::nullopt);
  EXPECT_EQ(device.line, "");
}

TEST_F(Operations, RefusedSettingsShowSetErrorAndCloseTheHandle) {
  device.refuseLine = true;
  serial::Open(0);
  EXPECT_EQ(device.alerts, std::vector<std::string>{kSetErrorShown});
  EXPECT_EQ(device.closed, std::vector<serial::Handle>{7});
  EXPECT_FALSE(serial::IsOpen());
  serial::Send("Memo1");
  EXPECT_EQ(device.line, "");
}

TEST_F(Operations, MessagesGoToTheInstalledSinkInsteadOfTheDevice) {
  static std::vector<std::string> shown;
  shown.clear();
  serial::SetAlertSink([](const std::string& text, const std::string& caption) {
    shown.push_back(caption + "|" + text);
  });
  device.refuseOpen = true;
  serial::Open(0);
  EXPECT_EQ(shown, std::vector<std::string>{kOpenErrorShown});
  EXPECT_TRUE(device.alerts.empty());
}

TEST_F(Operations, OpeningAgainReleasesTheEarlierPortFirst) {
  serial::Open(0);
  serial::Open(1);
  EXPECT_EQ(device.closed, std::vector<serial::Handle>{7});
  EXPECT_EQ(hCom, 8);
  device.refuseOpen = true;
  serial::Open(0);
  EXPECT_EQ(device.closed, (std::vector<serial::Handle>{7, 8}));
  EXPECT_FALSE(serial::IsOpen());
}

TEST_F(Operations, SendHandsOverEveryByteEvenInParts) {
  serial::Send("before open");
  EXPECT_EQ(device.line, "");
  serial::Open(0);
  device.takesAtMost = 3;
  serial::Send("line one\r\nline two");
  EXPECT_EQ(device.line, "line one\r\nline two");
  serial::Send("");
  EXPECT_EQ(device.line, "line one\r\nline two");
}

TEST_F(Operations, SendStopsWhenTheDriverTakesNothing) {
  serial::Open(0);
  device.takesAtMost = 0;
  serial::Send("stuck");  // returns rather than spinning
  EXPECT_EQ(device.line, "");
}

TEST_F(Operations, ReceiveShowsWhatWaitsAndEmptiesTheBoxWhenNothingDoes) {
  EXPECT_EQ(serial::Receive(), std::nullopt);  // no port: the box stays
  serial::Open(0);
  EXPECT_EQ(serial::Receive(), std::string());
  device.queue = "hello, world";
  EXPECT_EQ(serial::Receive(), "hello, world");
  EXPECT_EQ(device.queue, "");
}

TEST_F(Operations, ReceiveTakesAtMostTheLimitAndKeepsTheRestForTheNextPress) {
  serial::Open(0);
  std::string sent(1024, 'a');
  device.queue = sent;
  EXPECT_EQ(serial::Receive(), sent);

  sent = std::string(1024, 'b') + "c";
  device.queue = sent;
  EXPECT_EQ(serial::Receive(), std::string(1024, 'b'));
  EXPECT_EQ(serial::Receive(), "c");
  EXPECT_EQ(serial::Receive(), "");
}

TEST_F(Operations, ReceiveShowsZeroBytesAndTheTextAfterThem) {
  serial::Open(0);
  device.queue = std::string("ab\0cd\0\0", 7);
  EXPECT_EQ(serial::Receive(), "ab\u2400cd\u2400\u2400");
}

TEST_F(Operations, ACutCharacterWaitsForTheNextPressButNotForAnotherOpen) {
  serial::Open(0);
  // U+1F600 arriving a byte at a time.
  for (auto [arrival, shown] : {std::pair{"a\xF0", "a"}, std::pair{"\x9F", ""},
                                std::pair{"\x98", ""}, std::pair{"\x80z", "\U0001F600z"}}) {
    device.queue = arrival;
    EXPECT_EQ(serial::Receive(), shown);
  }
  device.queue = "c\xE4\xB8";  // the first two bytes of U+4E2D
  EXPECT_EQ(serial::Receive(), "c");
  serial::Open(1);  // another port starts afresh
  device.queue =
      "\xAD"
      "d";
  EXPECT_EQ(serial::Receive(),
            "\xAD"
            "d");
}

TEST_F(Operations, ACrLfCutBetweenPressesShowsAsOneLineBreak) {
  serial::Open(0);
  for (auto [arrival, shown] :
       {std::pair{"a\r", "a\r\n"}, std::pair{"", ""}, std::pair{"\nb\r", "b\r\n"},
        std::pair{"\r", "\r\n"}, std::pair{"\n", ""}, std::pair{"\n", "\r\n"}}) {
    device.queue = arrival;
    EXPECT_EQ(serial::Receive(), shown) << arrival;
  }
  device.queue = "\r";
  EXPECT_EQ(serial::Receive(), "\r\n");
  serial::Open(1);  // another port starts afresh
  device.queue = "\n";
  EXPECT_EQ(serial::Receive(), "\r\n");
}

TEST_F(Operations, ReceiveLeavesTheBoxWhenTheQueryOrTheReadFails) {
  serial::Open(0);
  device.queue = "xyz";
  device.queryFails = true;
  EXPECT_EQ(serial::Receive(), std::nullopt);
  device.queryFails = false;
  device.readFails = true;
  EXPECT_EQ(serial::Receive(), std::nullopt);
  EXPECT_EQ(device.queue, "xyz");
  device.takesAtMost = 0;
  serial::Send("stuck");
  // Failures of a device that is still there keep the port.
  EXPECT_TRUE(serial::IsOpen());
  EXPECT_TRUE(device.closed.empty());
}

// Send, the status query or the read meeting a device that has gone: the
// port is given up at once and silently, and the next Open opens it again.
TEST_F(Operations, APortWhoseDeviceHasGoneIsGivenUpAndOpensAgain) {
  const std::vector<std::pair<const char*, void (*)(ScriptedDevice&)>> failures = {
      {"write", [](ScriptedDevice& d) { d.takesAtMost = 0; }},
      {"status query", [](ScriptedDevice& d) { d.queryFails = true; }},
      {"read",
       [](ScriptedDevice& d) {
         d.readFails = true;
         d.queue = "lost";
       }},
  };
  for (const auto& [what, fail] : failures) {
    SCOPED_TRACE(what);
    device = ScriptedDevice{};
    hCom = 0;
    serial::Open(1);
    fail(device);
    device.gone = true;
    serial::Send("to nowhere");
    EXPECT_EQ(serial::Receive(), std::nullopt);
    EXPECT_EQ(device.closed, std::vector<serial::Handle>{7});
    EXPECT_EQ(hCom, kInvalidHandle);
    EXPECT_TRUE(device.alerts.empty());

    device = ScriptedDevice{};
    serial::Open(1);
    EXPECT_EQ(device.opened, std::vector<std::string>{"COM2"});
    EXPECT_TRUE(device.closed.empty()) << "the given-up port was closed twice";
    EXPECT_TRUE(serial::IsOpen());
  }
}

TEST_F(Operations, ExitClosesAnOpenPortAndEndsWithStatusZero) {
  serial::Open(0);
  EXPECT_EXIT(serial::Exit(), ::testing::ExitedWithCode(0), "closed 7");
}

TEST_F(Operations, ExitWithoutAPortClosesNothingAndEndsWithStatusZero) {
  EXPECT_EXIT({ serial::Exit(); }, ::testing::ExitedWithCode(0), "^$");
  device.refuseOpen = true;
  serial::Open(0);
  EXPECT_EXIT(serial::Exit(), ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
