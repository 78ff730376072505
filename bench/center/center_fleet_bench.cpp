// A fleet of JT/T 808 terminals against vardo-center, with the headless
// event server logged in and storing into SQLite:
//   1. every terminal registers (not timed);
//   2. login storm: all of them connect and authenticate at once; the time
//      until the center has answered them all and until the event server has
//      stored all their online rows;
//   3. steady state: each terminal reports its location every 10 s (spread
//      evenly); the CPU the center spends per terminal and second, beside the
//      event server's CPU for the same reports; the center's memory per
//      connected terminal; the time from a report to its answer.
//
//   build-ci/bin/bench_center_fleet                      1,000 terminals, 30 s
//   build-ci/bin/bench_center_fleet --full               10,000 terminals, 60 s
//   build-ci/bin/bench_center_fleet --terminals N --seconds S
//       [--center PATH]   another build of vardo-center (before and after)
//       [--perf FILE]     perf record of the center during the steady state
//       [--syscalls]      the center's system calls per report during the
//                         steady state, by kind and by thread (perf stat)
//       [--interval S]    a report every S seconds instead of 10: a fleet
//                         under the descriptor limit loaded like a larger
//                         one (19,500 every 2 s is 97,500 every 10 s)
//       [--storm-window N] at most N logins under way at once (default: all);
//                         past the listen queue (net.core.somaxconn) the
//                         kernel drops connection requests, and the storm
//                         then measures the terminals' retries
//       [--floor]         the same fleet against bench_answer_floor, which
//                         answers every frame at the center's pace and does
//                         nothing else: what any server pays on this machine
//                         at this rate, the baseline of the center's figures
//
// Past 10,000 terminals the connections come from several loopback
// addresses (127.0.0.1, .2, ...): one address has too few free ports. The bench
// raises its descriptor limit (the center inherits it), which needs root
// beyond the hard limit.

#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/common/process_stats.h"
#include "jt808/bytes.h"
#include "jt808/frame.h"
#include "jt808/frame_splitter.h"
#include "jt808/general_response.h"
#include "jt808/location.h"
#include "jt808/message_ids.h"
#include "jt808/registration.h"
#include "testsupport/process/center_process.h"
#include "testsupport/process/child_process.h"
#include "testsupport/process/event_server_run.h"

namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace msg = jt808::msg;

// Terminals per loopback source address: well inside the ephemeral ports.
constexpr int kTerminalsPerAddress = 10000;

// The storm comes from 127.0.0.x, the registrations before it from
// 127.0.1.x: the ports the registrations left in TIME_WAIT are then no
// obstacle to the storm's connections.
asio::ip::address_v4 sourceAddress(int terminal, bool registering = false) {
    return asio::ip::address_v4((127u << 24) + (registering ? 256u : 0u) + 1u +
                                static_cast<unsigned>(terminal / kTerminalsPerAddress));
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

using benchproc::contextSwitches;
using benchproc::cpuSeconds;
using benchproc::rssMiB;

// The center's system calls worth counting per report: what it reads and
// writes, how it waits and is woken.
constexpr const char* kSyscalls[] = {
    "recvfrom",  "read",       "sendto",      "sendmsg", "write",           "writev",    "pwrite64",
    "epoll_ctl", "epoll_wait", "epoll_pwait", "futex",   "clock_nanosleep", "fdatasync",
};

// `perf stat` of the center's threads over the next `duration` seconds,
// into `file`; in the background.
void startSyscallCount(int pid, int duration, const std::string& file) {
    std::string events = "raw_syscalls:sys_enter,context-switches";
    for (const char* name : kSyscalls) {
        events += std::string(",syscalls:sys_enter_") + name;
    }
    const std::string command = "(sleep 1; perf stat -x, --per-thread -e '" + events + "' -o " +
                                file + " -p " + std::to_string(pid) + " -- sleep " +
                                std::to_string(duration) + ") >/dev/null 2>&1 &";
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "perf stat did not start\n");
    }
}

// Prints what `perf stat -x, --per-thread` wrote: each event per report,
// summed over the threads, then the threads that made calls.
void printSyscalls(const std::string& file, double reports, const char* measured) {
    std::ifstream in(file);
    std::vector<std::pair<std::string, double>> byEvent;
    std::vector<std::pair<std::string, double>> byThread;  // all system calls
    std::vector<std::pair<std::string, double>> switchesByThread;
    auto add = [](auto& list, const std::string& key, double n) {
        for (auto& [k, v] : list) {
            if (k == key) {
                v += n;
                return;
            }
        }
        list.emplace_back(key, n);
    };
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string f; std::getline(split, f, ',');) {
            fields.push_back(f);
        }
        if (line.empty() || line[0] == '#' || fields.size() < 4) {
            continue;
        }
        const double n = std::atof(fields[1].c_str());  // "<not counted>" is 0
        std::string event = fields[3];
        if (const auto colon = event.find("sys_enter_"); colon != std::string::npos) {
            event = event.substr(colon + 10);
        } else if (event == "raw_syscalls:sys_enter") {
            event = "all system calls";
            add(byThread, fields[0], n);
        } else if (event == "context-switches") {
            add(switchesByThread, fields[0], n);
        }
        add(byEvent, event, n);
    }
    std::printf("%s per report (perf stat)     ", measured);
    for (const auto& [event, n] : byEvent) {
        if (n > 0) {
            std::printf(" %s %.2f;", event.c_str(), n / reports);
        }
    }
    std::printf("\n%s system calls per report     ", measured);
    for (const auto& [thread, n] : byThread) {
        if (n > 0) {
            std::printf(" %s %.2f;", thread.c_str(), n / reports);
        }
    }
    std::printf("\n%s context switches per report  ", measured);
    for (const auto& [thread, n] : switchesByThread) {
        if (n > 0) {
            std::printf(" %s %.2f;", thread.c_str(), n / reports);
        }
    }
    std::printf("\n");
}

std::size_t onlineRows(const e2e::EventServerRun& server) {
    std::size_t n = 0;
    for (const auto& row : server.events()) {
        n += row.type == 6 ? 1 : 0;
    }
    return n;
}

// One simulated terminal on the bench's io thread.
class Terminal : public std::enable_shared_from_this<Terminal> {
public:
    Terminal(asio::io_context& io, std::string phone, int& answered)
        : socket_(io), phone_(std::move(phone)), answered_(answered) {}

    std::string code;
    bool authenticated = false;
    int reportsAnswered = 0;  // with "ok"
    // Where the time from each report to its answer goes, in ms (none: not
    // kept).
    std::vector<double>* answerTimes = nullptr;

    void connect(const tcp::endpoint& to, const asio::ip::address_v4& from, bool registering) {
        registering_ = registering;
        asio::error_code ec;
        socket_.open(tcp::v4(), ec);
        // The port is chosen at connect, per destination: one address then
        // serves every ephemeral port towards the center.
        const int noPort = 1;
        ::setsockopt(socket_.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &noPort,
                     sizeof noPort);
        socket_.bind(tcp::endpoint(from, 0), ec);
        if (ec) {
            std::fprintf(stderr, "terminal %s: bind %s: %s\n", phone_.c_str(),
                         from.to_string().c_str(), ec.message().c_str());
            return;
        }
        socket_.async_connect(to, [self = shared_from_this()](const asio::error_code& error) {
            if (error) {
                std::fprintf(stderr, "terminal %s: %s\n", self->phone_.c_str(),
                             error.message().c_str());
                return;
            }
            self->read();
            if (self->registering_) {
                jt808::Registration reg;
                reg.makerId = "BENCH";
                reg.model = "FLEET";
                reg.terminalId = self->phone_.substr(5);
                reg.plateColour = 1;
                reg.plate = "B" + self->phone_.substr(7);
                self->send(msg::kRegistration,
                           jt808::encodeRegistration(reg, jt808::Version::V2013));
            } else {
                jt808::Authentication auth;
                auth.code = self->code;
                self->authSerial_ = self->send(
                    msg::kAuthentication, jt808::encodeAuthentication(auth, jt808::Version::V2013));
            }
        });
    }

    void report(int tick) {
        if (!authenticated) {
            return;
        }
        jt808::Location l;
        l.status = jt808::status::kLocated;
        l.latitude = 22'500'000 + static_cast<std::uint32_t>(tick * 100);
        l.longitude = 114'000'000;
        l.speed = 400;
        l.direction = 90;
        l.time = jt808::utcToBcdTime(
            std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()));
        const std::uint16_t serial = send(msg::kLocation, jt808::encodeLocation(l));
        if (answerTimes != nullptr) {
            unanswered_.emplace_back(serial, std::chrono::steady_clock::now());
        }
    }

    void close() {
        asio::error_code ec;
        socket_.close(ec);
    }

private:
    std::uint16_t send(std::uint16_t id, const std::vector<std::uint8_t>& body) {
        jt808::Header h;
        h.msgId = id;
        h.phone = phone_;
        h.serial = serial_++;
        out_.push_back(jt808::encodeFrame(h, body));
        if (!writing_) {
            writeNext();
        }
        return h.serial;
    }

    void writeNext() {
        writing_ = true;
        asio::async_write(socket_, asio::buffer(out_.front()),
                          [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                              self->writing_ = false;
                              if (error) {
                                  return;
                              }
                              self->out_.pop_front();
                              if (!self->out_.empty()) {
                                  self->writeNext();
                              }
                          });
    }

    void read() {
        socket_.async_read_some(
            asio::buffer(buffer_),
            [self = shared_from_this()](const asio::error_code& error, std::size_t n) {
                if (error) {
                    return;
                }
                self->splitter_.append(std::span(self->buffer_.data(), n));
                std::vector<std::uint8_t> frame;
                while (self->splitter_.next(frame) == jt808::FrameSplitter::Status::Frame) {
                    const auto decoded = jt808::decodeFrame(frame);
                    if (decoded.ok()) {
                        self->onMessage(*decoded.message);
                    }
                }
                self->read();
            });
    }

    void onMessage(const jt808::Message& m) {
        if (m.header.msgId == msg::kRegistrationResponse) {
            const auto r = jt808::parseRegistrationResponse(m.body);
            if (r && r->result == 0) {
                code = r->authCode;
            }
            ++answered_;
        } else if (m.header.msgId == msg::kPlatformResponse && !registering_) {
            const auto r = jt808::parseGeneralResponse(m.body);
            if (r && r->serial == authSerial_ && r->msgId == msg::kAuthentication) {
                authenticated = r->result == 0;
                ++answered_;
            } else if (r && r->msgId == msg::kLocation && r->result == 0) {
                ++reportsAnswered;
                timeAnswer(r->serial);
            }
        }
    }

    void timeAnswer(std::uint16_t serial) {
        for (auto it = unanswered_.begin(); it != unanswered_.end(); ++it) {
            if (it->first == serial) {
                answerTimes->push_back(std::chrono::duration<double, std::milli>(
                                           std::chrono::steady_clock::now() - it->second)
                                           .count());
                unanswered_.erase(it);
                return;
            }
        }
    }

    tcp::socket socket_;
    std::string phone_;
    int& answered_;
    std::deque<std::pair<std::uint16_t, std::chrono::steady_clock::time_point>> unanswered_;
    bool registering_ = false;
    std::uint16_t serial_ = 1;
    std::uint16_t authSerial_ = 0;
    jt808::FrameSplitter splitter_;
    std::array<std::uint8_t, 2048> buffer_{};
    std::deque<std::vector<std::uint8_t>> out_;
    bool writing_ = false;
};

// Runs the io context until `done` or the deadline; false at the deadline.
template <class Done>
bool runUntil(asio::io_context& io, Done done, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        io.run_for(20ms);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 1000;
    int duration = 30;
    std::string program = e2e::centerPath();
    std::string perfFile;
    bool countSyscalls = false;
    int stormWindow = 0;
    double interval = 10.0;
    bool floor = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--full") {
            count = 10000;
            duration = 60;
        } else if (a == "--terminals" && i + 1 < argc) {
            count = std::atoi(argv[++i]);
        } else if (a == "--seconds" && i + 1 < argc) {
            duration = std::atoi(argv[++i]);
        } else if (a == "--center" && i + 1 < argc) {
            program = argv[++i];
        } else if (a == "--perf" && i + 1 < argc) {
            perfFile = argv[++i];
        } else if (a == "--syscalls") {
            countSyscalls = true;
        } else if (a == "--interval" && i + 1 < argc) {
            interval = std::atof(argv[++i]);
        } else if (a == "--storm-window" && i + 1 < argc) {
            stormWindow = std::atoi(argv[++i]);
        } else if (a == "--floor") {
            floor = true;
            program = VARDO_ANSWER_FLOOR_PATH;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--full | --terminals N --seconds S] [--center PATH] "
                         "[--perf FILE] [--syscalls] [--interval S] [--storm-window N] [--floor]\n",
                         argv[0]);
            return 2;
        }
    }
    if (count < 1 || duration < 10 || interval < 0.1 || interval > 60) {
        std::fprintf(stderr, "at least one terminal and 10 s, a report every 0.1 to 60 s\n");
        return 2;
    }
    // Every terminal is a socket of ours and one of the center's, which
    // inherits the limit.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t wanted = static_cast<rlim_t>(count) + 256;
    if (files.rlim_max != RLIM_INFINITY && files.rlim_max < wanted) {
        files.rlim_max = wanted;  // allowed to root only
    }
    files.rlim_cur = files.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &files) != 0) {
        getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur < wanted) {
        std::fprintf(stderr, "%d terminals need %llu descriptors; the limit is %llu\n", count,
                     static_cast<unsigned long long>(wanted),
                     static_cast<unsigned long long>(files.rlim_cur));
        return 1;
    }

    char pattern[] = "/tmp/vardo-center-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return 1;
    }
    const std::string data = pattern;
    // The storm is all of the fleet at once from a few addresses: the limits
    // on connections not yet authenticated are opened to it.
    const std::string limit = std::to_string(count + 100);
    std::unique_ptr<e2e::CenterProcess> center;
    std::unique_ptr<testsim::ChildProcess> floorProcess;
    pid_t pid = 0;  // of the center or the floor: what is measured
    unsigned port = 0;
    if (floor) {
        floorProcess = std::make_unique<testsim::ChildProcess>(std::vector<std::string>{program});
        if (!floorProcess->waitForOutput("\n") ||
            std::sscanf(floorProcess->output().c_str(), "floor: listening %u", &port) != 1) {
            std::fprintf(stderr, "the floor did not start:\n%s", floorProcess->errors().c_str());
            return 1;
        }
        pid = floorProcess->pid();
    } else {
        center = std::make_unique<e2e::CenterProcess>(
            data,
            std::vector<std::string>{"--open-registration", "--max-terminals", limit,
                                     "--max-unauthenticated", limit,
                                     "--max-unauthenticated-per-address", limit},
            program);
        if (!center->started()) {
            std::fprintf(stderr, "vardo-center did not start:\n%s", center->log().c_str());
            return 1;
        }
        pid = center->pid();
        port = center->jt808Port();
    }
    const char* const measured = floor ? "floor " : "center";
    const std::string loadAtStart = loadAverage();
    const tcp::endpoint to(asio::ip::make_address("127.0.0.1"), static_cast<std::uint16_t>(port));
    asio::io_context io(1);
    // Between the phases no terminal has work pending; the context must not stop.
    auto work = asio::make_work_guard(io);
    std::vector<std::shared_ptr<Terminal>> fleet;
    int answered = 0;
    for (int i = 0; i < count; ++i) {
        char phone[24];
        std::snprintf(phone, sizeof phone, "0139%08d", i);
        fleet.push_back(std::make_shared<Terminal>(io, phone, answered));
    }

    // 1. Registration, in slices so that the listen queue never overflows.
    const auto registerStart = Clock::now();
    for (std::size_t first = 0; first < fleet.size(); first += 500) {
        const int target =
            answered + static_cast<int>(std::min<std::size_t>(500, fleet.size() - first));
        for (std::size_t i = first; i < fleet.size() && i < first + 500; ++i) {
            fleet[i]->connect(to, sourceAddress(static_cast<int>(i), true), true);
        }
        if (!runUntil(
                io, [&] { return answered >= target; }, 120s)) {
            std::fprintf(stderr, "registration stalled at %d\n", answered);
            return 1;
        }
        for (std::size_t i = first; i < fleet.size() && i < first + 500; ++i) {
            fleet[i]->close();
        }
    }
    const double registerSeconds = seconds(Clock::now() - registerStart);
    io.run_for(200ms);

    // The event server logs in before the storm (the floor has none).
    std::unique_ptr<e2e::EventServerRun> server;
    if (center) {
        server = std::make_unique<e2e::EventServerRun>(center->tcpPort());
        server->start();
        if (!center->waitForLog("logged in as 'root'")) {
            std::fprintf(stderr, "the event server did not log in:\n%s", server->log().c_str());
            return 1;
        }
    }
    // What the center holds without a connection: the registry, the libraries.
    io.run_for(1s);
    const double rssIdle = rssMiB(pid);

    // 2. Login storm.
    std::vector<std::shared_ptr<Terminal>> storm;
    for (int i = 0; i < count; ++i) {
        char phone[24];
        std::snprintf(phone, sizeof phone, "0139%08d", i);
        auto t = std::make_shared<Terminal>(io, phone, answered);
        t->code = fleet[static_cast<std::size_t>(i)]->code;
        storm.push_back(t);
    }
    fleet.clear();
    answered = 0;
    const double centerCpuBefore = cpuSeconds(pid);
    const auto stormStart = Clock::now();
    int started = 0;
    const int window = stormWindow > 0 ? stormWindow : count;
    auto startMore = [&] {
        for (; started < count && started - answered < window; ++started) {
            storm[static_cast<std::size_t>(started)]->connect(to, sourceAddress(started), false);
        }
    };
    if (!runUntil(
            io,
            [&] {
                startMore();
                return answered >= count;
            },
            300s)) {
        std::fprintf(stderr, "login storm stalled at %d answers\n", answered);
        return 1;
    }
    const double answeredSeconds = seconds(Clock::now() - stormStart);
    int authenticated = 0;
    for (auto& t : storm) {
        authenticated += t->authenticated ? 1 : 0;
    }
    const double stormCenterCpu = cpuSeconds(pid) - centerCpuBefore;
    bool allOnline = !server;
    double onlineSeconds = 0;
    while (server && seconds(Clock::now() - stormStart) < 600) {
        if (onlineRows(*server) >= static_cast<std::size_t>(count)) {
            allOnline = true;
            onlineSeconds = seconds(Clock::now() - stormStart);
            break;
        }
        io.run_for(250ms);
    }

    // The center with every terminal connected and none sending: what it
    // costs while nothing happens (no polling, no timer per connection).
    io.run_for(1s);
    const double idleCpu0 = cpuSeconds(pid);
    const auto idleStart = Clock::now();
    io.run_for(3s);
    const double idleShare =
        100.0 * (cpuSeconds(pid) - idleCpu0) / seconds(Clock::now() - idleStart);

    // 3. Steady reporting: one report per terminal every `interval`, spread.
    if (!perfFile.empty()) {
        const std::string command = "perf record -q -g -F 499 -o " + perfFile + " -p " +
                                    std::to_string(pid) + " -- sleep " + std::to_string(duration) +
                                    " >/dev/null 2>&1 &";
        if (std::system(command.c_str()) != 0) {
            std::fprintf(stderr, "perf did not start\n");
        }
    }
    const std::string syscallFile = data + "/syscalls.csv";
    // A second short of the steady state at either end: perf stat's own
    // start and end stay out of it.
    if (countSyscalls) {
        startSyscallCount(pid, duration - 2, syscallFile);
    }
    std::vector<double> answerTimes;
    for (const auto& t : storm) {
        t->answerTimes = &answerTimes;
    }
    const double centerCpu0 = cpuSeconds(pid);
    const double centerUser0 = benchproc::userCpuSeconds(pid);
    const std::uint64_t centerSwitches0 = contextSwitches(pid);
    const double serverCpu0 = server ? cpuSeconds(server->pid()) : 0.0;
    const auto steadyStart = Clock::now();
    std::size_t next = 0;
    int tick = 0;
    std::uint64_t reports = 0;
    while (seconds(Clock::now() - steadyStart) < duration) {
        const double elapsed = seconds(Clock::now() - steadyStart);
        const auto due = static_cast<std::uint64_t>(elapsed / interval * count);
        while (reports < due) {
            storm[next]->report(tick);
            ++reports;
            if (++next == storm.size()) {
                next = 0;
                ++tick;
            }
        }
        // A fleet's reports do not come in bursts: at 10,000 terminals a
        // 10 ms step would send ten at once and let the center handle them
        // in one wake-up it would not get from real terminals.
        io.run_for(1ms);
    }
    const double steadySeconds = seconds(Clock::now() - steadyStart);
    const double centerCpu = cpuSeconds(pid) - centerCpu0;
    const double centerUser = benchproc::userCpuSeconds(pid) - centerUser0;
    const std::uint64_t centerSwitches = contextSwitches(pid) - centerSwitches0;
    const double serverCpu = server ? cpuSeconds(server->pid()) - serverCpu0 : 0.0;
    const double rss = rssMiB(pid);
    // The answers still on their way (a pass, a sync) come in.
    io.run_for(500ms);
    int reportsAnswered = 0;
    for (const auto& t : storm) {
        reportsAnswered += t->reportsAnswered;
    }

    const double centerShare = 100.0 * centerCpu / steadySeconds;
    const double serverShare = 100.0 * serverCpu / steadySeconds;
    // Per terminal-second of a fleet reporting every 10 s, whatever the
    // interval of this run: its cost per report over ten.
    const double perReport = reports > 0 ? centerCpu / static_cast<double>(reports) * 1e6 : 0.0;
    const double perTerminalSecond = perReport / 10.0;
    std::printf("%s                             %s\n", measured, program.c_str());
    std::printf("load average at start, at the end  %s / %s\n", loadAtStart.c_str(),
                loadAverage().c_str());
    std::printf("terminals                          %d (%d authenticated), a report every %.1f s\n",
                count, authenticated, interval);
    std::printf("registration of all                %.2f s (not part of the storm)\n",
                registerSeconds);
    std::printf("login storm: all answered          %.2f s (CPU %.2f s; %s)\n", answeredSeconds,
                stormCenterCpu,
                stormWindow > 0 ? ("at most " + std::to_string(stormWindow) + " at once").c_str()
                                : "all at once");
    if (server && allOnline) {
        std::printf("login storm: all online in SQLite  %.2f s\n", onlineSeconds);
    } else if (server) {
        std::printf("login storm: only %zu of %d online in SQLite after 600 s\n",
                    onlineRows(*server), count);
    }
    std::printf("steady state                       %llu reports in %.1f s (%.0f/s)\n",
                static_cast<unsigned long long>(reports), steadySeconds,
                static_cast<double>(reports) / steadySeconds);
    std::printf("reports answered \"ok\"             %d of %llu\n", reportsAnswered,
                static_cast<unsigned long long>(reports));
    if (!answerTimes.empty()) {
        std::sort(answerTimes.begin(), answerTimes.end());
        const auto at = [&](double share) {
            return answerTimes[std::min(answerTimes.size() - 1,
                                        static_cast<std::size_t>(share * answerTimes.size()))];
        };
        std::printf(
            "report to its answer               p50 %.1f ms, p99 %.1f ms, longest %.1f ms\n",
            at(0.5), at(0.99), answerTimes.back());
    }
    std::printf(
        "%s CPU                         %.2f %% of a core; %.1f us per report; %.3f us per "
        "terminal-second at a report every 10 s; %.0fk such terminals per core\n",
        measured, centerShare, perReport, perTerminalSecond,
        perTerminalSecond > 0 ? 1e6 / perTerminalSecond / 1000 : 0.0);
    // What the center's own code costs, apart from the kernel's work on its
    // sockets and files (clock ticks: a figure to compare within a run).
    std::printf("%s CPU in user space           %.3f us per terminal-second (%.0f %% of it)\n",
                measured,
                reports > 0 ? centerUser / static_cast<double>(reports) * 1e6 / 10.0 : 0.0,
                centerCpu > 0 ? 100.0 * centerUser / centerCpu : 0.0);
    std::printf("%s CPU, all connected, silent  %.3f %% of a core\n", measured, idleShare);
    std::printf(
        "%s context switches            %.2f per report (%.0f/s)\n", measured,
        reports > 0 ? static_cast<double>(centerSwitches) / static_cast<double>(reports) : 0.0,
        static_cast<double>(centerSwitches) / steadySeconds);
    if (countSyscalls) {
        // perf stat writes its file when its sleep ends, a second before the
        // steady state's.
        printSyscalls(syscallFile, static_cast<double>(reports) / steadySeconds * (duration - 2),
                      measured);
    }
    if (server) {
        std::printf(
            "event server CPU (same reports)    %.2f %% of a core; center/event server %.2f\n",
            serverShare, serverShare > 0 ? centerShare / serverShare : 0.0);
    }
    std::printf(
        "%s RSS                         %.1f MiB; %.2f KiB per connected terminal "
        "(%.1f MiB before the storm)\n",
        measured, rss, (rss - rssIdle) * 1024.0 / count, rssIdle);

    for (auto& t : storm) {
        t->close();
    }
    io.run_for(200ms);
    std::filesystem::remove_all(data);
    if (server) {
        server->stop();
        std::filesystem::remove_all(server->home());
    }
    if (center) {
        center->stop();
    } else {
        floorProcess->stop(SIGTERM);
    }
    return allOnline && authenticated == count ? 0 : 1;
}
