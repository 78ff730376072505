// What numbering, keeping and acknowledging events costs the center link:
// one event server logged in over loopback receives a stream of GPS events,
// once acknowledging (the hub keeps every event until acknowledged, the
// client acknowledges every 256 as the device library does) and once not, in
// the same run. Prints events per second of each and their ratio.
//
//   build-ci/bin/bench_hub_acks                 200,000 events per round, 3 rounds
//   build-ci/bin/bench_hub_acks --events N --rounds R

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "centerlink/event_server_hub.h"
#include "protocol/json_codec.h"
#include "protocol/line_reader.h"

namespace {

namespace protocol = vardo::protocol;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// Events per second through the hub to one client that reads them all.
double round(bool acks, int events) {
    asio::io_context io;
    centerlink::HubConfig config;
    config.tcpPort = 0;
    config.udpPort = 0;
    centerlink::EventServerHub hub(io, config);
    if (const std::string error = hub.open(); !error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    hub.online({"X7", "X7", "", "", 1, ""});
    const std::uint16_t port = hub.tcpPort();

    // The event server: reads every line on a thread of its own.
    std::atomic<bool> done{false};
    std::thread client([port, acks, events, &done] {
        asio::io_context cio;
        tcp::socket socket(cio);
        socket.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), port));
        asio::write(socket,
                    asio::buffer(protocol::encodeLine(protocol::Login{1, "root", "kiwa", acks})));
        protocol::LineReader reader;
        std::array<char, 64 * 1024> buffer{};
        int gps = 0;
        std::uint64_t last = 0;
        while (gps < events) {
            const std::size_t n = socket.read_some(asio::buffer(buffer));
            reader.append(std::string_view(buffer.data(), n));
            reader.forEachLine([&](std::string_view line) {
                const auto decoded = protocol::decodeLine(line);
                if (std::holds_alternative<protocol::Gps>(decoded.message)) {
                    ++gps;
                    const std::uint64_t seq = protocol::sequenceOf(decoded.message);
                    if (acks && seq - last >= 256) {
                        last = seq;
                        asio::write(socket, asio::buffer(protocol::encodeLine(protocol::Ack{seq})));
                    }
                }
                return true;
            });
        }
        done.store(true);
    });
    while (hub.loggedInClients() == 0) {
        io.run_for(std::chrono::milliseconds(1));
    }
    const std::string fix = "$GPRMC,073000.00,A,2232.5926,N,11403.4734,E,30.0,90.0,010127,,,A*6C";
    const auto start = Clock::now();
    for (int i = 0; i < events; ++i) {
        hub.gps("X7", fix);
        if (i % 64 == 0) {
            io.poll();
        }
    }
    // Until the client has read them all.
    while (!done.load()) {
        io.poll();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    client.join();
    hub.close();
    return events / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    int events = 200'000;
    int rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--events") == 0) {
            events = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::atoi(argv[i + 1]);
        }
    }
    double on = 0;
    double off = 0;
    for (int r = 0; r < rounds; ++r) {
        // Alternated, so that a busy machine weighs on both alike.
        if (r % 2 == 0) {
            off += round(false, events);
            on += round(true, events);
        } else {
            on += round(true, events);
            off += round(false, events);
        }
    }
    on /= rounds;
    off /= rounds;
    std::printf("events/s through the center link, %d events x %d rounds\n", events, rounds);
    std::printf("  without acknowledgements: %.0f\n", off);
    std::printf("  with acknowledgements:    %.0f\n", on);
    std::printf("  ratio: %.2f\n", on / off);
    return 0;
}
