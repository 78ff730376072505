// Speed of ParseGPRMC over a mix of what devices send, against a baseline
// that only checks each sentence's checksum (the least any reader must do).
//
//   build/bin/vardo_gps_bench
//
// items_per_second is sentences per second.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "gps/rmc_parser.h"

namespace {

const std::vector<std::string> kMix = {
    // valid, north and east
    "$GPRMC,100000.000,A,2503.1234,N,12140.5678,E,10.0,90.0,010100,,,A*6D",
    // valid, south and west
    "$GPRMC,062745.00,A,3412.5000,S,01830.7500,W,10.50,254.80,150926,,,A*6C",
    // a GGA line before the RMC sentence, as many devices send them together
    "$GPGGA,062745.00,3412.5000,S,01830.7500,W,1,08,0.9,545.4,M,46.9,M,,*47\r\n"
    "$GPRMC,062745.00,A,3412.5000,S,01830.7500,W,10.50,254.80,150926,,,A*6C",
    // bad checksum
    "$GPRMC,062745.00,A,3412.5000,S,01830.7500,W,10.50,254.80,150926,,,A*6D",
    // status V: no fix
    "$GPRMC,062745.00,V,3412.5000,S,01830.7500,W,10.50,254.80,150926,,,A*7B",
};

// Baseline: find the '$' and '*' and compare the XOR of the bytes between.
bool checksumOnly(const char* text) {
    const char* start = std::strchr(text, '$');
    if (start == nullptr) {
        return false;
    }
    const char* star = std::strchr(start, '*');
    if (star == nullptr) {
        return false;
    }
    unsigned sum = 0;
    for (const char* p = start + 1; p < star; ++p) {
        sum ^= static_cast<unsigned char>(*p);
    }
    constexpr const char* kHex = "0123456789ABCDEF";
    return star[1] == kHex[sum >> 4] && star[2] == kHex[sum & 0xF];
}

void BM_ChecksumOnlyBaseline(benchmark::State& state) {
    for (auto _ : state) {
        for (const auto& text : kMix) {
            benchmark::DoNotOptimize(checksumOnly(text.c_str()));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kMix.size()));
}
BENCHMARK(BM_ChecksumOnlyBaseline);

void BM_ParseGPRMC(benchmark::State& state) {
    double latitude = 0;
    double longitude = 0;
    double speed = 0;
    double course = 0;
    for (auto _ : state) {
        for (const auto& text : kMix) {
            benchmark::DoNotOptimize(
                ParseGPRMC(text.c_str(), &latitude, &longitude, &speed, &course));
            benchmark::DoNotOptimize(latitude);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kMix.size()));
}
BENCHMARK(BM_ParseGPRMC);

}  // namespace

BENCHMARK_MAIN();
