// The cost of the checks against strangers on the center's hot paths, with
// the checks and without them (a switch only this benchmark turns), the
// variants alternated in the same run:
// - a location report from an authenticated terminal, over a real loopback
//   connection through the terminals' port (frame, checks, the device feed):
//   CPU time of the center's io thread per report;
// - a stream packet of an asked-for channel through TerminalMedia::onPacket
//   without checks, with those of a site behind carrier NAT
//   (--media-any-source: binding and payload type) and with every check (the
//   login address too): CPU time of this thread per packet.
//
//   build-ci/bin/bench_center_checks [--packets N] [--reports N] [--rounds R]

#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "center/device_feed.h"
#include "center/sqlite_registry.h"
#include "center/terminal_media.h"
#include "center/terminal_server.h"
#include "centerlink/event_server_hub.h"
#include "jt1078/packetizer.h"
#include "jt1078/payload_type.h"
#include "jt808/message_ids.h"
#include "tests/center/test_terminal.h"

namespace {

const std::string kPhone = "013912344329";

double cpuSeconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double threadCpuSeconds() {
    return cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
}

enum class Checks { None, CarrierNat, All };

// Nanoseconds of CPU per packet for `packets` packets with these checks.
double perPacket(Checks checks, const std::vector<std::vector<std::uint8_t>>& frame,
                 std::size_t packets) {
    asio::io_context io;
    centerlink::EventServerHub hub(io, centerlink::HubConfig{});
    center::TerminalMediaConfig config;
    config.sourceChecks = checks != Checks::None;
    config.anySource = checks == Checks::CarrierNat;
    center::TerminalMedia media(
        io, hub,
        [](const std::string&, std::uint16_t, std::span<const std::uint8_t>) { return true; },
        config, {});
    media.setTerminalAddress([](const std::string& phone) {
        return phone == kPhone ? std::string("127.0.0.1") : std::string();
    });
    media.openAsync(1, vardo::protocol::MediaOpen{kPhone, 1, true, false},
                    vardo::protocol::Online{kPhone, kPhone, "", "", 4, ""},
                    [](const vardo::protocol::Message&) {});
    io.run_for(std::chrono::milliseconds(50));
    std::vector<jt1078::DecodeResult> decoded;
    for (const auto& bytes : frame) {
        decoded.push_back(jt1078::decodePacket(bytes, jt1078::SimLayout::Bcd6, true));
    }
    const center::MediaSource source{"127.0.0.1", 1};
    std::size_t taken = 0;
    const double start = threadCpuSeconds();
    for (std::size_t i = 0; i < packets; ++i) {
        auto& r = decoded[i % decoded.size()];
        r.packet.header.sequence = static_cast<std::uint16_t>(i);
        taken += media.onPacket(r.packet, source).verdict == center::MediaVerdict::Taken;
    }
    const double cpu = threadCpuSeconds() - start;
    if (taken != packets) {
        std::fprintf(stderr, "only %zu of %zu packets taken\n", taken, packets);
        std::exit(1);
    }
    return cpu * 1e9 / static_cast<double>(packets);
}

// Nanoseconds of the io thread's CPU per location report for `reports`
// reports of one authenticated terminal, answered one batch at a time as a
// terminal's reports would be.
double perReport(bool checks, std::size_t reports) {
    char pattern[] = "/tmp/vardo-checks-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    const std::string dir = pattern;
    double ns = 0;
    {
        asio::io_context io;
        centerlink::EventServerHub hub(io, centerlink::HubConfig{});
        center::DeviceFeed feed(hub, 4, {});
        center::SqliteRegistry registry;
        if (std::string error = registry.open(dir + "/registry.sqlite"); !error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        center::TerminalConfig config;
        config.listen = "127.0.0.1";
        config.port = 0;
        config.openRegistration = true;
        config.perMessageChecks = checks;
        center::TerminalServer server(io, config, registry, feed, {});
        if (std::string error = server.open(); !error.empty()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        auto work = asio::make_work_guard(io);
        std::thread ioThread([&io] { io.run(); });
        clockid_t ioClock{};
        pthread_getcpuclockid(ioThread.native_handle(), &ioClock);

        centertest::TestTerminal terminal(server.port(), kPhone);
        const std::string code = terminal.registerAs("B-12345");
        if (code.empty() || terminal.authenticate(code) != 0) {
            std::fprintf(stderr, "the terminal could not log in\n");
            std::exit(1);
        }
        const auto body = jt808::encodeLocation(
            centertest::makeLocation(22.538151, 114.038269, 40, 90, "261209082206"));
        constexpr std::size_t kBatch = 100;
        std::size_t answered = 0;
        const double start = cpuSeconds(ioClock);
        for (std::size_t sent = 0; sent < reports; sent += kBatch) {
            for (std::size_t i = 0; i < kBatch; ++i) {
                terminal.send(jt808::msg::kLocation, body);
            }
            for (std::size_t i = 0; i < kBatch; ++i) {
                answered += terminal.receive().has_value();
            }
        }
        ns = (cpuSeconds(ioClock) - start) * 1e9 / static_cast<double>(answered);
        if (answered < reports) {
            std::fprintf(stderr, "only %zu of %zu reports answered\n", answered, reports);
            std::exit(1);
        }
        asio::post(io, [&] {
            server.close();
            work.reset();
        });
        ioThread.join();
    }
    std::filesystem::remove_all(dir);
    return ns;
}

void printRatio(const char* what, double without, double with) {
    std::printf("%s: %.1f ns without the checks, %.1f ns with them: %+.2f %%\n", what, without,
                with, (with / without - 1) * 100);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t packets = 400'000;
    std::size_t reports = 20'000;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--packets") {
            packets = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (name == "--reports") {
            reports = std::strtoul(argv[i + 1], nullptr, 10);
        } else if (name == "--rounds") {
            rounds = std::atoi(argv[i + 1]);
        }
    }
    // A 9 KB P-frame: ten packets of 950 bytes, as a CIF camera sends them.
    jt1078::PacketHeader h;
    h.sim = kPhone;
    h.channel = 1;
    h.payloadType = jt1078::kH264;
    h.dataType = jt1078::DataType::PFrame;
    std::uint16_t sequence = 0;
    const auto frame = jt1078::packetize(h, std::vector<std::uint8_t>(9000, 0x42), sequence);

    double none = 0;
    double nat = 0;
    double full = 0;
    double reportWithout = 0;
    double reportWith = 0;
    // Alternated, so that a neighbour's load falls on every variant alike.
    for (int r = 0; r < rounds; ++r) {
        none += perPacket(Checks::None, frame, packets);
        nat += perPacket(Checks::CarrierNat, frame, packets);
        full += perPacket(Checks::All, frame, packets);
        reportWithout += perReport(false, reports);
        reportWith += perReport(true, reports);
    }
    double load[3] = {};
    getloadavg(load, 3);
    std::printf("%d rounds, load average %.2f %.2f %.2f\n", rounds, load[0], load[1], load[2]);
    printRatio("per location report (io thread)", reportWithout / rounds, reportWith / rounds);
    printRatio("per media packet, every check", none / rounds, full / rounds);
    printRatio("per media packet, --media-any-source", none / rounds, nat / rounds);
    return 0;
}
