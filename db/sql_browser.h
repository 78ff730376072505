#pragma once
// The TCP port of a named SQL Server instance, asked of the server's browser
// service.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace db {

// A named SQL Server instance ("host\instance") listens on a port that the
// server's browser service (UDP port 1434) tells on request. FreeTDS can ask
// too, but it does not bound the wait by the login time-out; asking here
// keeps the open within its time-out.

inline constexpr int kSqlBrowserPort = 1434;

// The TCP port of `instance` (case-insensitive) in a reply of the browser
// service, or nothing with `why` saying what the reply lacks.
std::optional<int> InstancePortFromBrowserReply(std::span<const unsigned char> reply,
                                                std::string_view instance, std::string& why);

struct InstancePortLookup {
    int port = 0;       // 0 on failure
    std::string error;  // why there is no port
};

// Asks the browser service of `host` for the port of `instance`, sending the
// request again every second, within timeoutSeconds (0 or less: 15 s).
InstancePortLookup LookUpInstancePort(const std::string& host, const std::string& instance,
                                      int timeoutSeconds, int browserPort = kSqlBrowserPort);

}  // namespace db
