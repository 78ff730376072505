#pragma once
// The time constants of the control connection. Tests shorten them; the
// values in effect when MyVardoApp_Login is called hold for that login.

#include <chrono>

namespace vardo {

struct SessionTiming {
    std::chrono::milliseconds firstRetry{1000};  // back-off doubles from here...
    std::chrono::milliseconds maxRetry{30000};   // ...up to here
    std::chrono::milliseconds pingInterval{10000};
    std::chrono::milliseconds silenceLimit{30000};  // a peer silent this long is gone
    std::chrono::milliseconds connectTimeout{10000};
};

SessionTiming sessionTiming();
void setSessionTiming(const SessionTiming& timing);

}  // namespace vardo
