// The center protocol's codec: what one message costs to write and to read.

#include <benchmark/benchmark.h>

#include "protocol/json_codec.h"
#include "protocol/line_reader.h"

namespace {

using namespace vardo::protocol;

const Gps kGps{"sim-00042", "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D",
               std::nullopt, std::nullopt};
const Online kOnline{
    "sim-00042", "VD00042", "浙A·12345",
    "张伟",      4,         "$GNRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*73"};

void EncodeGps(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(encodeLine(kGps));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(EncodeGps);

void DecodeGps(benchmark::State& state) {
    const std::string line = encodeLine(kGps);
    const std::string_view body(line.data(), line.size() - 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeLine(body));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DecodeGps);

void DecodeOnline(benchmark::State& state) {
    const std::string line = encodeLine(kOnline);
    const std::string_view body(line.data(), line.size() - 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(decodeLine(body));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DecodeOnline);

// Framing alone, over a stream of GPS lines read in 64 KiB pieces.
void SplitLines(benchmark::State& state) {
    std::string stream;
    while (stream.size() < 64 * 1024) {
        stream += encodeLine(kGps);
    }
    std::size_t lines = 0;
    for (auto _ : state) {
        LineReader reader;
        reader.append(stream);
        std::string_view line;
        while (reader.next(line) == LineReader::Status::Line) {
            ++lines;
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(lines));
}
BENCHMARK(SplitLines);

}  // namespace
