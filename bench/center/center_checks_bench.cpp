// The cost of the media port's source checks on the hot path: stream packets
// of one asked-for channel through TerminalMedia::onPacket, with the checks
// of a site behind carrier NAT (--media-any-source: binding and payload type
// only) and with every check (the login address looked up per packet too),
// alternated in the same run. CPU time of this thread per packet.
//
//   build-ci/bin/bench_center_checks [--packets N] [--rounds R]

#include <time.h>

#include <asio.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "center/terminal_media.h"
#include "centerlink/event_server_hub.h"
#include "jt1078/packetizer.h"
#include "jt1078/payload_type.h"

namespace {

const std::string kPhone = "013912344329";

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Nanoseconds of CPU per packet for `packets` packets with these checks.
double perPacket(bool anySource, const std::vector<std::vector<std::uint8_t>>& frame,
                 std::size_t packets) {
    asio::io_context io;
    centerlink::EventServerHub hub(io, centerlink::HubConfig{});
    center::TerminalMediaConfig config;
    config.anySource = anySource;
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

}  // namespace

int main(int argc, char** argv) {
    std::size_t packets = 400'000;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--packets") {
            packets = std::strtoul(argv[i + 1], nullptr, 10);
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

    double nat = 0;
    double full = 0;
    for (int r = 0; r < rounds; ++r) {
        nat += perPacket(true, frame, packets);
        full += perPacket(false, frame, packets);
    }
    nat /= rounds;
    full /= rounds;
    std::printf(
        "per media packet: %.1f ns with binding and payload checks (--media-any-source), "
        "%.1f ns with the login address checked too: %+.1f %%\n",
        nat, full, (full / nat - 1) * 100);
    return 0;
}
