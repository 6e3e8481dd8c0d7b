#include "driver.h"

#include <cstdio>
#include <iostream>

#include "hex.h"
#include "platform.h"
#include "serial.h"

namespace test {

namespace {

// Every reply leaves at once: the test waits for it on a pipe.
void Reply(const std::string& line) {
  (void)std::fputs((line + "\n").c_str(), stdout);
  (void)std::fflush(stdout);
}

// A message box would wait for a click that a headless test cannot give.
void PrintAlert(const std::string& utf8Text, const std::string& caption) {
  Reply("alert " + ToHex(caption) + " " + ToHex(utf8Text));
}

}  // namespace

int RunDriver(const MoreCommands& more) {
  serial::SetAlertSink(PrintAlert);
  Reply("ready");
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
    if (command == "open") {
      serial::Open(std::stoi(argument));
      Reply(serial::IsOpen() ? "open 1" : "open 0");
    } else if (command == "send") {
      serial::Send(FromHex(argument));
      Reply("sent");
    } else if (command == "receive") {
      const std::optional<std::string> text = serial::Receive();
      Reply(text ? "text " + ToHex(*text) : "none");
    } else if (command == "waiting") {
      // Lets the peer wait until its bytes are queued before it asks for them.
      const std::optional<std::size_t> count =
          serial::IsOpen() ? serial::CurrentDevice().Waiting(serial::hCom) : std::nullopt;
      Reply(count ? "waiting " + std::to_string(*count) : "waiting none");
    } else if (command == "exit") {
      serial::Exit();
    } else if (const std::optional<std::string> reply =
                   more ? more(command, argument) : std::nullopt) {
      Reply(*reply);
    } else {
      Reply("unknown " + command);
    }
  }
  return 1;
}

}  // namespace test
