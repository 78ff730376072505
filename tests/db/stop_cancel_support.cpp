#include "tests/db/stop_cancel_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace dbtest {

LoopbackListener ListenOnLoopback(int backlog) {
    LoopbackListener out;
    out.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (out.fd < 0 || ::bind(out.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(out.fd, backlog) != 0 ||
        ::getsockname(out.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (out.fd >= 0) {
            ::close(out.fd);
        }
        throw std::runtime_error("cannot listen on the loopback interface");
    }
    out.port = ntohs(addr.sin_port);
    return out;
}

std::function<void(const std::string&)> LogRecord::Sink() {
    return [this](const std::string& line) {
        std::lock_guard lock(m_mutex);
        m_lines.push_back(line);
    };
}

bool LogRecord::Contains(std::string_view piece) const {
    std::lock_guard lock(m_mutex);
    for (const auto& line : m_lines) {
        if (line.find(piece) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool LogRecord::StopCancelled() const {
    return Contains("did not answer within the stop's wait");
}

}  // namespace dbtest
