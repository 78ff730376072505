#pragma once
// The simulator's script language: one command a line, `#` starts a comment
// (at the start of a line or after a blank, outside double quotes). A word
// with blanks in it is written in double quotes, with \" and \\ inside.
//
//   online DEV NAME CHANNELS [VEHICLE [DRIVER]]
//   gps DEV TEXT...        the rest of the line, may be empty
//   offline DEV
//   alarm DEV N            N from 0 to 7
//   event DEV KIND         KIND from 0 to 255, decimal or 0x hex
//   wait-login             until a client is logged in
//   sleep MS
//   drop                   close every client connection
//   exit

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace sim {

struct CmdOnline {
    std::string dev;
    std::string name;
    int channels = 1;
    std::string vehicle;
    std::string driver;
    bool operator==(const CmdOnline&) const = default;
};
struct CmdGps {
    std::string dev;
    std::string text;
    bool operator==(const CmdGps&) const = default;
};
struct CmdOffline {
    std::string dev;
    bool operator==(const CmdOffline&) const = default;
};
struct CmdAlarm {
    std::string dev;
    int alarm = 0;
    bool operator==(const CmdAlarm&) const = default;
};
struct CmdEvent {
    std::string dev;
    int kind = 0;
    bool operator==(const CmdEvent&) const = default;
};
struct CmdWaitLogin {
    bool operator==(const CmdWaitLogin&) const = default;
};
struct CmdSleep {
    int ms = 0;
    bool operator==(const CmdSleep&) const = default;
};
struct CmdDrop {
    bool operator==(const CmdDrop&) const = default;
};
struct CmdExit {
    bool operator==(const CmdExit&) const = default;
};

using Command = std::variant<CmdOnline, CmdGps, CmdOffline, CmdAlarm, CmdEvent, CmdWaitLogin,
                             CmdSleep, CmdDrop, CmdExit>;

struct ParsedLine {
    std::optional<Command> command;  // nothing for a blank or comment line
    std::string error;               // not empty when the line is wrong
};

ParsedLine parseScriptLine(std::string_view line);

}  // namespace sim
