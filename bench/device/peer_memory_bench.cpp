// The memory a peer can make the device library hold, measured as the heap in
// use (glibc's mallinfo2) after the peer's messages, against a baseline of
// the same messages with short texts (or small frames) in the same run:
//   - devices: N devices come online with texts of T bytes in every field,
//     send a GPS update each and go offline; then the logout forgets them;
//   - frames: S streams (video and audio of S/2 channels) each get nearly
//     complete frames of 4096 fragments, the most a frame may have.
//
//   build-ci/bin/bench_peer_memory [--devices 8000] [--text 64512] [--streams 64]

#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vardoappcore/device_tracker.h"
#include "vardoappcore/frame_assembler.h"

namespace {

using namespace vardo;

std::size_t heapInUse() {
    malloc_trim(0);
    return mallinfo2().uordblks;
}

class NoWindow : public NotificationSink {
public:
    void notify(WPARAM, HVARDODEV) override {}
};

struct DeviceFigures {
    std::size_t online = 0;   // all online, after one GPS update each
    std::size_t offline = 0;  // all offline, still logged in
    std::size_t forgotten = 0;
};

DeviceFigures devices(int count, std::size_t textBytes) {
    HandleTable table;
    NoWindow window;
    const HVARDOAPP app = table.addApp(nullptr);
    DeviceFigures f;
    const std::size_t before = heapInUse();
    {
        DeviceTracker tracker(app, table, window);
        tracker.beginSync();
        const std::string text(textBytes, 'x');
        for (int i = 0; i < count; ++i) {
            const std::string id = "VD" + std::to_string(100000 + i);
            tracker.apply(protocol::Online{id, text, text, text, 4, text});
            tracker.apply(protocol::Gps{id, text, text, text});
        }
        f.online = heapInUse() - before;
        for (int i = 0; i < count; ++i) {
            tracker.apply(protocol::Offline{"VD" + std::to_string(100000 + i)});
        }
        f.offline = heapInUse() - before;
        tracker.endSession(false);
        tracker.forgetDevices();
        f.forgotten = heapInUse() - before;
    }
    return f;
}

std::size_t frames(int streams, std::size_t fragmentBytes) {
    ReassemblyMemory memory;
    std::vector<std::unique_ptr<FrameAssembler>> assemblers;
    const std::size_t before = heapInUse();
    const std::vector<std::uint8_t> payload(fragmentBytes, 0x55);
    for (int s = 0; s < streams; ++s) {
        assemblers.push_back(std::make_unique<FrameAssembler>(AssemblerLimits{}, &memory));
        for (std::uint32_t seq = 1; seq <= 8; ++seq) {
            for (std::uint16_t i = 0; i + 1 < 4096; ++i) {
                assemblers.back()->add(
                    {protocol::MediaKind::Video, static_cast<std::uint32_t>(s), seq, seq, i, 4096},
                    payload);
            }
        }
    }
    return heapInUse() - before;
}

double mib(std::size_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    int count = 8000;
    std::size_t text = 63 * 1024;
    int streams = 64;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--devices") == 0) {
            count = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--text") == 0) {
            text = static_cast<std::size_t>(std::atol(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--streams") == 0) {
            streams = std::atoi(argv[i + 1]);
        }
    }
    const DeviceFigures small = devices(count, 16);
    const DeviceFigures big = devices(count, text);
    std::printf("devices: %d, texts of %zu bytes (baseline 16 bytes)\n", count, text);
    std::printf("  online:    %8.1f MiB (baseline %6.1f MiB, ratio %.1f)\n", mib(big.online),
                mib(small.online), static_cast<double>(big.online) / small.online);
    std::printf("  offline:   %8.1f MiB (baseline %6.1f MiB, ratio %.1f)\n", mib(big.offline),
                mib(small.offline), static_cast<double>(big.offline) / small.offline);
    std::printf("  forgotten: %8.1f MiB (baseline %6.1f MiB)\n", mib(big.forgotten),
                mib(small.forgotten));
    const std::size_t smallFrames = frames(streams, 16);
    const std::size_t bigFrames = frames(streams, 1372);
    std::printf("frames in progress: %d streams x 8 frames x 4095 of 4096 fragments\n", streams);
    std::printf("  1372-byte fragments: %8.1f MiB (16-byte fragments %6.1f MiB; cap %.0f MiB)\n",
                mib(bigFrames), mib(smallFrames), mib(ReassemblyMemory::kDefaultLimit));
    return 0;
}
