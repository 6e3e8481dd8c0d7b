// The line protocol that the test drivers speak on stdin and stdout, so that
// a test can play the far end of the line: one command a line, one result
// line each, alerts printed before it. "ready" first.
//   open <index>    -> "open 1" when the port is open, "open 0" when not
//   send <hex>      -> "sent"
//   receive         -> "text <hex of the UTF-8 text>" or "none"
//   waiting         -> "waiting <count>" or "waiting none"
//   exit            -> the process ends through serial::Exit
// Alerts: "alert <hex caption> <hex UTF-8 text>".
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace test {

// A driver's own commands beyond those: the reply to `command`, or nothing
// when it is not one of them.
using MoreCommands = std::function<std::optional<std::string>(const std::string& command,
                                                              const std::string& argument)>;

// Answers commands until stdin ends, which is a failure: a test always ends
// with "exit". Returns 1 then.
int RunDriver(const MoreCommands& more = {});

}  // namespace test
