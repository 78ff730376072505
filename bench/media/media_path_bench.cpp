// The costs along one frame's way, each beside a plain copy of the same
// bytes measured in the same run: drawing and encoding the test pattern
// (the simulator's side), cutting a frame into datagrams and putting it
// together again, and writing it into an AVI file.
//
//   build/bin/bench_media_path

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>

#include "protocol/media_datagram.h"
#include "sim/mjpeg_encoder.h"
#include "sim/test_pattern.h"
#include "vardoappcore/avi_file.h"
#include "vardoappcore/frame_assembler.h"

namespace {

namespace protocol = vardo::protocol;

const std::vector<std::uint8_t>& cifFrame() {
    static const std::vector<std::uint8_t> frame = [] {
        sim::YuvImage image(352, 288);
        sim::drawTestPattern(image, 7, {"VD00001", "CHANNEL 1", "2026-12-08 16:49:52.083"});
        return sim::MjpegEncoder(352, 288, 6).encode(image);
    }();
    return frame;
}

void BM_CopyFrame(benchmark::State& state) {
    const auto& frame = cifFrame();
    std::vector<std::uint8_t> copy(frame.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), frame.data(), frame.size());
        benchmark::DoNotOptimize(copy.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_CopyFrame);

void BM_DrawTestPattern(benchmark::State& state) {
    sim::YuvImage image(352, 288);
    std::uint64_t index = 0;
    for (auto _ : state) {
        sim::drawTestPattern(image, index++, {"VD00001", "CHANNEL 1", "2026-12-08 16:49:52.083"});
        benchmark::DoNotOptimize(image.y.data());
    }
}
BENCHMARK(BM_DrawTestPattern);

void BM_EncodeCif(benchmark::State& state) {
    sim::YuvImage image(352, 288);
    sim::drawTestPattern(image, 7, {"VD00001"});
    sim::MjpegEncoder encoder(352, 288, 6);
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = encoder.encode(image).size();
        benchmark::DoNotOptimize(bytes);
    }
    state.counters["frame_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeCif);

void BM_FragmentAndReassemble(benchmark::State& state) {
    const auto& frame = cifFrame();
    vardo::FrameAssembler assembler;
    std::uint32_t sequence = 0;
    for (auto _ : state) {
        const auto datagrams =
            protocol::fragmentFrame(protocol::MediaKind::Video, 1, sequence++, 0, frame);
        for (const auto& d : datagrams) {
            const auto decoded = protocol::decodeMediaDatagram(d);
            auto done = assembler.add(decoded.datagram->header, decoded.datagram->payload);
            benchmark::DoNotOptimize(done);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_FragmentAndReassemble);

void BM_WriteAviFrame(benchmark::State& state) {
    const auto& frame = cifFrame();
    char dir[] = "/tmp/vardo-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    std::string error;
    auto file = vardo::AviFile::create(std::string(dir) + "/b.avi", error);
    const vardo::StreamSetup setup{352, 288, 12, 0};
    std::uint64_t ts = 0;
    for (auto _ : state) {
        file->writeVideo(frame, ts, setup);
        ts += 83;
    }
    file->finish(setup);
    file.reset();
    std::filesystem::remove_all(dir);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(BM_WriteAviFrame);

}  // namespace
