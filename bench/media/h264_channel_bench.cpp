// What one H.264 camera channel at 25 fps costs along the way from a
// terminal to the file, per second of video (25 frames and 25 A-law blocks),
// for CIF and D1 pictures, each stage beside reception alone in the same run:
//
//   center, reception alone:  stream packets split from TCP bytes and frames
//                             put back together
//   center, relay:            the same, and each frame cut into media datagrams
//   event server, reception:  the datagrams checked and frames put together
//   event server, recording:  the same, and written into an AVI file
//   socket hop:               the center's datagrams sent over loopback and
//                             received, a system call a datagram (send_to)
//                             or a frame's in one (segmentation offload,
//                             taken whole by the receiver)
//
// "channels_per_core" is how many such channels one core could carry at this
// stage (sockets and the kernel not counted but in the socket hop).
//
//   build/bin/bench_h264_channel

#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "centerlink/datagram_batch.h"
#include "jt1078/frame_reassembler.h"
#include "jt1078/packetizer.h"
#include "jt1078/payload_type.h"
#include "jt1078/stream_splitter.h"
#include "protocol/media_datagram.h"
#include "sim/alaw.h"
#include "sim/h264_encoder.h"
#include "sim/test_pattern.h"
#include "vardoappcore/avi_file.h"
#include "vardoappcore/frame_assembler.h"

namespace {

namespace protocol = vardo::protocol;
constexpr int kFps = 25;
// A recording's length by default (EventServer_RecordDuration).
constexpr std::uint64_t kFileSeconds = 90;

struct Second {
    std::vector<std::uint8_t> tcpBytes;  // one second of stream packets, as on the wire
    std::vector<jt1078::Frame> frames;   // the same, put together
    std::vector<std::vector<std::uint8_t>> datagrams;
    std::vector<protocol::PackedDatagrams> packed;  // a frame's datagrams each
    std::size_t videoBytes = 0;
};

// One second of a camera: a key frame and 24 others, the sound of each frame.
const Second& second(int width, int height) {
    static std::map<int, Second> cache;
    auto& s = cache[width];
    if (!s.frames.empty()) {
        return s;
    }
    sim::H264Encoder encoder(width, height, kFps, kFps, width * height * 4);
    sim::YuvImage image(width, height);
    const auto tone = sim::alawTone(440, 8000);
    std::uint16_t sequence = 0;
    jt1078::FrameReassembler reassembler;
    for (int k = 0; k < kFps; ++k) {
        sim::drawTestPattern(image, static_cast<std::uint64_t>(k), {"BENCH", "CH1"}, 50);
        const auto f = encoder.encode(image);
        s.videoBytes += f.bytes.size();
        jt1078::PacketHeader h;
        h.sim = "13912345678";
        h.channel = 1;
        h.timestampMs = static_cast<std::uint64_t>(k) * 40;
        h.dataType = f.keyframe ? jt1078::DataType::IFrame : jt1078::DataType::PFrame;
        h.payloadType = jt1078::kH264;
        std::vector<std::vector<std::uint8_t>> packets = jt1078::packetize(h, f.bytes, sequence);
        h.dataType = jt1078::DataType::Audio;
        h.payloadType = jt1078::kG711A;
        const std::vector<std::uint8_t> block(tone.begin(), tone.begin() + 320);
        for (auto& p : jt1078::packetize(h, block, sequence)) {
            packets.push_back(std::move(p));
        }
        for (const auto& p : packets) {
            s.tcpBytes.insert(s.tcpBytes.end(), p.begin(), p.end());
            jt1078::Frame frame;
            if (reassembler.add(jt1078::decodePacket(p, jt1078::SimLayout::Bcd6, true).packet,
                                frame)) {
                s.frames.push_back(std::move(frame));
            }
        }
    }
    std::uint32_t seq = 0;
    for (const auto& f : s.frames) {
        s.packed.push_back(
            protocol::packFrame(f.video() ? protocol::MediaKind::Video : protocol::MediaKind::Audio,
                                1, seq, f.timestampMs, f.bytes, f.keyframe()));
        for (auto& d : protocol::fragmentFrame(
                 f.video() ? protocol::MediaKind::Video : protocol::MediaKind::Audio, 1, seq++,
                 f.timestampMs, f.bytes, f.keyframe())) {
            s.datagrams.push_back(std::move(d));
        }
    }
    return s;
}

void perChannelSecond(benchmark::State& state, const Second& s) {
    state.counters["channels_per_core"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["video_kbit_s"] = static_cast<double>(s.videoBytes) * 8 / 1000;
}

// Center: bytes in, frames out; `relay` also cuts them into datagrams.
void centerSide(benchmark::State& state, bool relay) {
    const Second& s = second(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    std::uint32_t seq = 0;
    for (auto _ : state) {
        jt1078::StreamSplitter splitter(jt1078::SimLayout::Bcd6);
        jt1078::FrameReassembler reassembler;
        std::size_t frames = 0;
        for (std::size_t at = 0; at < s.tcpBytes.size(); at += 16384) {
            const auto n = std::min<std::size_t>(16384, s.tcpBytes.size() - at);
            splitter.feed(std::span(s.tcpBytes.data() + at, n), [&](const jt1078::Packet& p) {
                jt1078::Frame f;
                if (reassembler.add(p, f)) {
                    ++frames;
                    if (relay) {
                        auto d = protocol::packFrame(
                            f.video() ? protocol::MediaKind::Video : protocol::MediaKind::Audio, 1,
                            seq++, f.timestampMs, f.bytes, f.keyframe());
                        benchmark::DoNotOptimize(d.bytes.data());
                    }
                }
            });
        }
        if (frames != s.frames.size()) {
            state.SkipWithError("frames lost");
        }
    }
    perChannelSecond(state, s);
}

void BM_CenterReceive(benchmark::State& state) {
    centerSide(state, false);
}
void BM_CenterRelay(benchmark::State& state) {
    centerSide(state, true);
}

// Event server: datagrams in, frames out; `record` also writes them, into
// files of one recording's length, each removed once finished so
// that the page cache does not grow from run to run.
void eventServerSide(benchmark::State& state, bool record) {
    const Second& s = second(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    char dir[] = "/tmp/vardo-bench-h264-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(dir) + "/a.avi";
    std::string error;
    std::unique_ptr<vardo::AviFile> file;
    vardo::StreamSetup setup;
    setup.videoCodec = vardo::VideoCodec::H264;
    setup.fps = kFps;
    setup.audioRate = 8000;
    setup.audioCodec = vardo::AudioCodec::Alaw;
    std::uint64_t base = 0;
    for (auto _ : state) {
        if (record && base % kFileSeconds == 0) {
            if (file) {
                file->finish(setup);
                std::filesystem::remove(path);
            }
            file = vardo::AviFile::create(path, error);
        }
        vardo::FrameAssembler video;
        vardo::FrameAssembler audio;
        for (const auto& bytes : s.datagrams) {
            const auto d = protocol::decodeMediaDatagram(bytes);
            auto& assembler = d.datagram->header.kind == protocol::MediaKind::Video ? video : audio;
            auto frame = assembler.add(d.datagram->header, d.datagram->payload);
            if (frame && file) {
                if (frame->kind == protocol::MediaKind::Video) {
                    file->writeVideo(frame->bytes, base * 1000 + frame->timestampMs, setup);
                } else {
                    file->writeAudio(frame->bytes, base * 1000 + frame->timestampMs);
                }
            }
        }
        ++base;
    }
    if (file) {
        file->finish(setup);
    }
    std::filesystem::remove_all(dir);
    perChannelSecond(state, s);
}

void BM_EventServerReceive(benchmark::State& state) {
    eventServerSide(state, false);
}
void BM_EventServerRecord(benchmark::State& state) {
    eventServerSide(state, true);
}

// The receiving end of the socket hop: takes what is there, a batch a
// system call, runs of datagrams split at their segment size; the count.
std::size_t drain(int fd) {
    constexpr std::size_t kSlots = 16;
    constexpr std::size_t kSlot = 64 * 1024;
    static std::vector<std::uint8_t> buffers(kSlots * kSlot);
    std::array<mmsghdr, kSlots> headers{};
    std::array<iovec, kSlots> vectors{};
    struct alignas(cmsghdr) Control {
        std::array<char, CMSG_SPACE(sizeof(int))> bytes;
    };
    std::array<Control, kSlots> controls{};
    std::size_t datagrams = 0;
    for (;;) {
        for (std::size_t i = 0; i < kSlots; ++i) {
            vectors[i] = iovec{buffers.data() + i * kSlot, kSlot};
            headers[i].msg_hdr = msghdr{};
            headers[i].msg_hdr.msg_iov = &vectors[i];
            headers[i].msg_hdr.msg_iovlen = 1;
            headers[i].msg_hdr.msg_control = controls[i].bytes.data();
            headers[i].msg_hdr.msg_controllen = controls[i].bytes.size();
        }
        const int n = recvmmsg(fd, headers.data(), kSlots, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
            return datagrams;
        }
        for (int i = 0; i < n; ++i) {
            msghdr& m = headers[static_cast<std::size_t>(i)].msg_hdr;
            const std::size_t length = headers[static_cast<std::size_t>(i)].msg_len;
            std::size_t segment = length;
            for (cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
                if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                    int size = 0;
                    std::memcpy(&size, CMSG_DATA(c), sizeof size);
                    segment = static_cast<std::size_t>(size);
                }
            }
            datagrams += segment > 0 ? (length + segment - 1) / segment : 1;
        }
    }
}

// The center's datagrams of one second over loopback to a receiver that
// takes each frame's as it comes (as the event server's thread does when it
// keeps up): `batched` sends a frame in one call with segmentation offload
// and receives its runs whole; else a send_to a datagram, received one by
// one. Both ends' system calls and the kernel between them count.
void socketHop(benchmark::State& state, bool batched) {
    const Second& s = second(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    const int receiver = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int room = 4 * 1024 * 1024;
    setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    const int on = batched ? 1 : 0;
    setsockopt(receiver, SOL_UDP, UDP_GRO, &on, sizeof on);
    if (bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(receiver, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        state.SkipWithError("no loopback socket");
        return;
    }
    asio::io_context io;
    asio::ip::udp::socket sender(io, asio::ip::udp::endpoint(asio::ip::address_v4::loopback(), 0));
    const asio::ip::udp::endpoint to(asio::ip::address_v4::loopback(), ntohs(address.sin_port));
    centerlink::DatagramBatch batch;
    std::size_t sent = 0;
    std::size_t received = 0;
    for (auto _ : state) {
        for (const auto& frame : s.packed) {
            if (batched) {
                batch.send(sender, to, frame.bytes, protocol::kMaxDatagramBytes);
            } else {
                for (std::size_t i = 0; i < frame.count; ++i) {
                    asio::error_code ec;
                    const auto d = frame.at(i);
                    sender.send_to(asio::buffer(d.data(), d.size()), to, 0, ec);
                }
            }
            sent += frame.count;
            received += drain(receiver);
        }
    }
    close(receiver);
    if (received != sent) {
        state.SkipWithError("datagrams lost on loopback");
    }
    perChannelSecond(state, s);
    state.counters["datagrams_per_channel_s"] = static_cast<double>(s.datagrams.size());
}

void BM_SocketHopEachDatagram(benchmark::State& state) {
    socketHop(state, false);
}
void BM_SocketHopBatched(benchmark::State& state) {
    socketHop(state, true);
}

#define SIZES ArgNames({"width", "height"})->Args({352, 288})->Args({704, 576})
BENCHMARK(BM_CenterReceive)->SIZES;
BENCHMARK(BM_CenterRelay)->SIZES;
BENCHMARK(BM_EventServerReceive)->SIZES;
BENCHMARK(BM_EventServerRecord)->SIZES;
BENCHMARK(BM_SocketHopEachDatagram)->SIZES;
BENCHMARK(BM_SocketHopBatched)->SIZES;

}  // namespace
