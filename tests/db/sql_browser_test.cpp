// Finding the port of a named SQL Server instance.
#include "db/sql_browser.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "testsupport/loopback/loopback.h"

namespace {

std::vector<unsigned char> Reply(const std::string& text) {
    std::vector<unsigned char> out(3 + text.size());
    out[0] = 0x05;
    out[1] = static_cast<unsigned char>(text.size() & 0xFF);
    out[2] = static_cast<unsigned char>(text.size() >> 8);
    std::copy(text.begin(), text.end(), out.begin() + 3);
    return out;
}

const std::string kTwoInstances =
    "ServerName;DB1;InstanceName;SITE;IsClustered;No;Version;15.0.2000.5;tcp;49703;np;"
    "\\\\DB1\\pipe\\MSSQL$SITE\\sql\\query;;"
    "ServerName;DB1;InstanceName;OTHER;IsClustered;No;Version;16.0.1000.6;np;"
    "\\\\DB1\\pipe\\MSSQL$OTHER\\sql\\query;;";

TEST(SqlBrowser, FindsTheInstancesPortInTheReply) {
    const struct {
        std::vector<unsigned char> reply;
        const char* instance;
        int port;            // 0: none
        const char* reason;  // when there is none
    } cases[] = {
        {Reply(kTwoInstances), "SITE", 49703, ""},
        {Reply(kTwoInstances), "site", 49703, ""},
        {Reply(kTwoInstances), "OTHER", 0, "does not accept TCP"},
        {Reply(kTwoInstances), "MISSING", 0, "no instance MISSING (it has SITE, OTHER)"},
        {Reply("ServerName;DB1;InstanceName;SITE;tcp;99999;;"), "SITE", 0, "port '99999'"},
        {Reply("ServerName;DB1;InstanceName;SITE;tcp;;"), "SITE", 0, "does not accept TCP"},
        {{0x05, 0x40, 0x00, 'S'}, "SITE", 0, "cut short"},
        {{0x04, 0x00, 0x00}, "SITE", 0, "not a reply"},
        {{}, "SITE", 0, "not a reply"},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto port = db::InstancePortFromBrowserReply(c.reply, c.instance, why);
        EXPECT_EQ(port.value_or(0), c.port) << c.instance << ": " << why;
        if (c.port == 0) {
            EXPECT_NE(why.find(c.reason), std::string::npos) << why;
        }
    }
}

// A browser service on a loopback port of its own. It answers the first
// request (when told to) and keeps it in *seen, readable once it is gone.
class FakeBrowser {
public:
    explicit FakeBrowser(bool answer, std::vector<unsigned char>* seen = nullptr)
        : m_answer(answer), m_seen(seen) {
        const testsim::BoundUdp udp = testsim::bindLoopbackUdp();
        m_fd = udp.fd;
        m_port = udp.port;
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeBrowser() {
        // The shutdown wakes the waiting recvfrom; the descriptor is closed
        // only once nothing uses it any more.
        ::shutdown(m_fd, SHUT_RDWR);
        m_thread.join();
        ::close(m_fd);
    }
    int port() const { return m_port; }

private:
    void Serve() {
        std::vector<unsigned char> buf(1024);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(m_fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n <= 0 || !m_answer) {
            return;
        }
        if (m_seen != nullptr) {
            m_seen->assign(buf.begin(), buf.begin() + n);
        }
        const auto reply = Reply(kTwoInstances);
        ::sendto(m_fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }

    bool m_answer;
    std::vector<unsigned char>* m_seen;
    int m_fd = -1;
    int m_port = 0;
    std::thread m_thread;
};

TEST(SqlBrowser, AsksTheServiceAndReadsItsAnswer) {
    std::vector<unsigned char> request;
    db::InstancePortLookup lookup;
    {
        FakeBrowser browser(true, &request);
        lookup = db::LookUpInstancePort("127.0.0.1", "SITE", 5, browser.port());
    }
    EXPECT_EQ(lookup.port, 49703) << lookup.error;
    EXPECT_EQ(request, (std::vector<unsigned char>{0x04, 'S', 'I', 'T', 'E', 0x00}));
}

TEST(SqlBrowser, ASilentServiceGivesUpWithinTheTimeOut) {
    FakeBrowser browser(false);
    const auto lookup = db::LookUpInstancePort("127.0.0.1", "SITE", 1, browser.port());
    EXPECT_EQ(lookup.port, 0);
    EXPECT_NE(lookup.error.find("did not answer for the instance SITE"), std::string::npos)
        << lookup.error;
}

TEST(SqlBrowser, BadHostsAndNamesAreRefused) {
    EXPECT_NE(db::LookUpInstancePort("no-such-host.invalid", "SITE", 1).error.find("resolve"),
              std::string::npos);
    EXPECT_NE(db::LookUpInstancePort("127.0.0.1", std::string(33, 'x'), 1).error.find("1 to 32"),
              std::string::npos);
}

}  // namespace
