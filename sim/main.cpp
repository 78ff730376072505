// vardo-center-sim: a center server with simulated devices, for trying the
// event server out and for its tests.

#include <asio.hpp>
#include <cstdio>
#include <iostream>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "sim/center_server.h"
#include "sim/options.h"
#include "sim/random_fleet.h"
#include "sim/script_runner.h"

#ifndef VARDO_VERSION
#define VARDO_VERSION "0"
#endif

int main(int argc, char** argv) {
    const sim::ParsedOptions parsed =
        sim::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "vardo-center-sim: %s\n%s", parsed.error.c_str(),
                     sim::usageText().c_str());
        return 2;
    }
    const sim::Options& o = parsed.options;
    if (o.help) {
        std::fputs(sim::usageText().c_str(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("vardo-center-sim %s\n", VARDO_VERSION);
        return 0;
    }

    // FFmpeg's own chatter would drown our log; real errors still show.
    av_log_set_level(AV_LOG_ERROR);
    const std::uint64_t seed = o.seed ? *o.seed : std::random_device{}();
    sim::MediaConfig media;
    media.width = o.videoWidth;
    media.height = o.videoHeight;
    media.fps = o.fps;
    media.quality = o.jpegQuality;
    media.dropPercent = o.mediaDropPercent;
    media.reorderPercent = o.mediaReorderPercent;
    media.repeatFrames = o.repeatFrames;
    media.detail = o.pictureDetail;
    media.seed = seed;

    asio::io_context io;
    sim::CenterServer server(io, sim::ServerConfig{o.listen, o.tcpPort, o.udpPort, o.user,
                                                   o.password, std::chrono::seconds(30), media});
    if (const std::string error = server.open(); !error.empty()) {
        sim::logLine(error);
        return 1;
    }

    sim::RandomFleet fleet(
        io, server, sim::FleetConfig{o.devices, o.gpsIntervalSeconds, o.alarmRate, o.churn, seed});
    bool stopping = false;
    const auto stop = [&] {
        if (stopping) {
            return;
        }
        stopping = true;
        fleet.stop();
        server.closeGracefully(std::chrono::seconds(5), [&io] { io.stop(); });
    };
    sim::ScriptRunner script(io, server, stop);
    if (o.script) {
        if (*o.script == "-") {
            script.runStandardInput();
        } else if (const auto errors = script.runFile(*o.script); !errors.empty()) {
            for (const auto& e : errors) {
                sim::logLine(e);
            }
            return 2;
        }
    }

    asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](const asio::error_code& error, int) {
        if (!error) {
            stop();
        }
    });

    // Tests and scripts read the ports from this line (useful with port 0).
    std::printf("vardo-center-sim listening on %s tcp %u udp %u\n", o.listen.c_str(),
                static_cast<unsigned>(server.tcpPort()), static_cast<unsigned>(server.udpPort()));
    std::fflush(stdout);
    if (o.devices > 0) {
        sim::logLine(std::to_string(o.devices) + " devices, GPS every " +
                     std::to_string(o.gpsIntervalSeconds) + " s, seed " + std::to_string(seed));
    }
    fleet.start();

    io.run();
    const sim::MediaCounters& m = server.mediaCounters();
    sim::logLine("stopped after " + std::to_string(server.logins()) + " logins; sent " +
                 std::to_string(server.gpsSent()) + " GPS updates to clients, " +
                 std::to_string(m.videoFrames) + " video frames and " +
                 std::to_string(m.audioBlocks) + " audio blocks in " +
                 std::to_string(m.datagramsSent) + " datagrams (" +
                 std::to_string(m.datagramsDropped) + " dropped on purpose, " +
                 std::to_string(m.sendErrors) + " refused by the socket)");
    return 0;
}
