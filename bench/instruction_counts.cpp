// One workload run a given number of times on 640 x 480 frames, for
// bench/instruction-counts, which counts the instructions of the whole
// process (perf, callgrind or a qemu plugin) and so needs a program that does
// nothing else.
//
//   instruction_counts WORKLOAD REPS [--dry]
//
// --dry does everything but the operation measured: the same set-up, and
// for each repetition the same preparation of its input (a frame's
// datagrams copied where the kernel would put them, a filter's input copied
// back over what the previous repetition changed). A count with --dry taken
// from one without, divided by REPS, is then the operation's own
// instructions per frame: start-up, set-up and preparation cancel.
//
// Nothing here opens a socket: the receive workload feeds the receive
// batch and the block assembler the way the receive loop does, with the
// kernel's part (recvmmsg filling the messages) done by memcpy.
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "gvsp_codec.h"
#include "imaging/cloud_convert.h"
#include "imaging/cloud_filters.h"
#include "imaging/colour_convert.h"
#include "log/vora_cameralog.h"
#include "stream/block_assembler.h"
#include "stream/frame_pool.h"
#include "stream/receive_batch.h"
#include "synthetic_cloud.h"
#include "vora_pixel_format.h"

namespace {

constexpr uint32_t W = 640, H = 480, N = W * H;
constexpr uint32_t UNIT = 10;
// Data bytes of a payload datagram on a 1500-byte MTU: 1500 less the IP,
// UDP and GVSP headers.
constexpr uint32_t PACKET_DATA = 1500 - 20 - 8 - gvsp::HEADER_LEN;
constexpr size_t BATCH = 32;  // messages per receive call, as the receive loop has

cameralog bench_log;

std::vector<char> raw_cloud()
{
    return synthetic_raw_cloud(W, H);
}

PhotoInfo cloud_frame(char* pixel)
{
    return synthetic_cloud_frame(pixel, W, H, UNIT);
}

// Keeps the optimiser from dropping work whose result is never read.
uint64_t checksum(const void* data, size_t bytes)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes; i += 4093)
        sum = sum * 31 + p[i];
    return sum;
}

uint64_t run_convert(int reps, bool dry)
{
    std::vector<char> raw = raw_cloud();
    const PhotoInfo f = cloud_frame(raw.data());
    std::vector<float> points(size_t(N) * 3);
    for (int i = 0; i < reps; ++i)
        if (!dry)
            imaging::convert_cloud_to_float(bench_log, f, points.data());
    return checksum(points.data(), points.size() * sizeof(float));
}

uint64_t run_plane(int reps, bool dry)
{
    std::vector<char> raw = raw_cloud();
    const PhotoInfo f = cloud_frame(raw.data());
    std::vector<short> plane(N);
    for (int i = 0; i < reps; ++i)
        if (!dry)
            imaging::get_cloud_plane_z(bench_log, f, plane.data());
    return checksum(plane.data(), plane.size() * sizeof(short));
}

uint64_t run_filter(int reps, bool dry)
{
    const std::vector<char> input = raw_cloud();
    std::vector<char> raw(input.size());
    for (int i = 0; i < reps; ++i) {
        std::memcpy(raw.data(), input.data(), input.size());
        PhotoInfo f = cloud_frame(raw.data());
        if (!dry)
            imaging::filter_point_cloud(bench_log, f, 1.0);
    }
    return checksum(raw.data(), raw.size());
}

// A region mask of scattered pixels and small blobs, as a thresholded depth
// image gives.
std::vector<int> region_mask()
{
    std::vector<int> mask(N, 0);
    std::mt19937 rng(2);
    for (uint32_t i = 0; i < N; ++i)
        if (rng() % 50 == 0)
            mask[i] = 255;
    for (int blob = 0; blob < 200; ++blob) {
        const uint32_t r0 = rng() % (H - 20), c0 = rng() % (W - 20), size = 2 + rng() % 18;
        for (uint32_t r = r0; r < r0 + size; ++r)
            for (uint32_t c = c0; c < c0 + size; ++c)
                mask[size_t(r) * W + c] = 255;
    }
    return mask;
}

uint64_t run_swell(int reps, bool dry)
{
    const std::vector<int> input = region_mask();
    std::vector<int> mask(input.size());
    for (int i = 0; i < reps; ++i) {
        std::memcpy(mask.data(), input.data(), input.size() * sizeof(int));
        if (!dry)
            imaging::pixel_swell(mask.data(), W, H);
    }
    return checksum(mask.data(), mask.size() * sizeof(int));
}

uint64_t run_yuyv(int reps, bool dry)
{
    std::vector<uint8_t> input(size_t(N) * 2);
    std::mt19937 rng(3);
    for (auto& b : input)
        b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> buffer(size_t(N) * 3);
    for (int i = 0; i < reps; ++i) {
        std::memcpy(buffer.data(), input.data(), input.size());
        PhotoInfo f{};
        f.pixel = reinterpret_cast<char*>(buffer.data());
        f.pixel_format = PIXEL_FORMAT_YUV422_8;
        f.pixel_width = W;
        f.pixel_height = H;
        f.payload_size = N * 2;
        if (!dry)
            imaging::yuyv_frame_to_rgb888(bench_log, f);
    }
    return checksum(buffer.data(), buffer.size());
}

// The receive loop's work on one channel, without the socket: a frame's
// datagrams in order, BATCH to a call, into the places the assembler
// predicts for them; each finished frame taken and given back as a capturing
// caller does.
class Receiver {
public:
    Receiver() : cloud_(raw_cloud()), batch_(BATCH), landings_(BATCH)
    {
        DataStreamPrivateInfo info{};
        info.payload_size = N * 6;
        info.width = info.roi_size_x = W;
        info.height = info.roi_size_y = H;
        info.pixel_bytes = 6;
        info.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
        info.packet_count = (info.payload_size + PACKET_DATA - 1) / PACKET_DATA;
        info.cloud_unit = UNIT;
        packet_num_ = info.packet_count + 2;
        clock_.set_manual(1'000'000'000, 1'700'000'000'000'000);
        pool_ = std::make_unique<FramePool>(info.payload_size, tunables_.max_buffer_length, &bench_log);
        assembler_ = std::make_unique<BlockAssembler>(ChannelSetup{info, 0, PACKET_DATA, 1000000000LL}, tunables_,
                                                      *pool_, clock_, &bench_log);
        for (uint32_t id = 0; id < packet_num_; ++id) {
            std::vector<uint8_t> d;
            if (id == 0) {
                d.resize(gvsp::LEADER_LEN);
            } else if (id + 1 == packet_num_) {
                d.resize(gvsp::TRAILER_LEN);
            } else {
                const size_t from = size_t(id - 1) * PACKET_DATA;
                const size_t bytes = std::min<size_t>(PACKET_DATA, cloud_.size() - from);
                d.resize(gvsp::HEADER_LEN + bytes);
                std::memcpy(d.data() + gvsp::HEADER_LEN, cloud_.data() + from, bytes);
            }
            datagrams_.push_back(std::move(d));
        }
        scratch_.resize(ReceiveBatch::MESSAGE_MAX);
    }
    ~Receiver()
    {
        assembler_.reset();
        pool_.reset();
    }

    // One frame's datagrams with the given block id; the dry run copies
    // them as the kernel would and does nothing more. A verified frame must
    // come out as the cloud that went in (not done on counted frames, whose
    // dry twins would have nothing to compare).
    void frame(uint16_t block, bool dry, bool verify = false)
    {
        stamp(block);
        for (size_t at = 0; at < datagrams_.size();) {
            const size_t n = std::min(BATCH, datagrams_.size() - at);
            if (dry) {
                for (size_t i = 0; i < n; ++i)
                    scatter_to_scratch(datagrams_[at + i]);
                at += n;
                clock_.advance(20);
                continue;
            }
            batch_.prepare(landings_.data(),
                           assembler_->predict_landings(landings_.data(), expect_, ReceiveBatch::HEAD_DATA));
            for (size_t i = 0; i < n; ++i)
                scatter(i, datagrams_[at + i]);
            batch_.settle(n);
            const int64_t now = clock_.monotonic_us();
            StreamBlockData* current = nullptr;
            for (size_t i = 0; i < batch_.datagrams(); ++i) {
                current = assembler_->process_packet(batch_.datagram(i), now, &out_);
                landed_ += batch_.landed(i) ? 1 : 0;
            }
            expect_ = std::clamp<size_t>(2 * batch_.datagrams(), 8, BATCH);
            assembler_->check_block_complete(current, now, &out_);
            for (StreamBlockData* b : out_.finished)
                complete_ += b->status == BLOCK_COMPLETE ? 1 : 0;
            while (PhotoInfo* f = static_cast<PhotoInfo*>(async_queue_try_pop(pool_->ready_queue))) {
                if (verify &&
                    (f->payload_size != cloud_.size() || std::memcmp(f->pixel, cloud_.data(), cloud_.size()) != 0)) {
                    std::fprintf(stderr, "receive: a frame differs from the cloud sent\n");
                    std::exit(1);
                }
                pool_->recycle(f);
            }
            at += n;
            clock_.advance(20);
        }
    }
    uint64_t landed() const { return landed_; }
    uint64_t complete() const { return complete_; }

private:
    void stamp(uint16_t block)
    {
        gvsp::Leader l{};
        l.payload_type = gvsp::PAYLOAD_TYPE_IMAGE;
        l.timestamp = block * 33'000'000ULL;
        l.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
        l.size_x = W;
        l.size_y = H;
        gvsp::build_leader(datagrams_.front().data(), 0, block, l);
        for (uint32_t id = 1; id + 1 < packet_num_; ++id)
            gvsp::build_header(datagrams_[id].data(), 0, block, gvsp::FORMAT_PAYLOAD, id);
        gvsp::build_trailer(datagrams_.back().data(), 0, block, packet_num_ - 1,
                            gvsp::Trailer{gvsp::PAYLOAD_TYPE_IMAGE, H});
    }
    // What recvmmsg does with one datagram: its bytes over the message's
    // buffers in order.
    void scatter(size_t slot, const std::vector<uint8_t>& d)
    {
        mmsghdr& m = batch_.messages()[slot];
        size_t done = 0;
        for (size_t k = 0; k < m.msg_hdr.msg_iovlen && done < d.size(); ++k) {
            const iovec& v = m.msg_hdr.msg_iov[k];
            const size_t n = std::min(v.iov_len, d.size() - done);
            std::memcpy(v.iov_base, d.data() + done, n);
            done += n;
        }
        m.msg_len = static_cast<unsigned>(done);
        m.msg_hdr.msg_controllen = 0;
    }
    // The same copies, head and body apart, into scratch.
    void scatter_to_scratch(const std::vector<uint8_t>& d)
    {
        const size_t head = std::min(ReceiveBatch::HEAD, d.size());
        std::memcpy(scratch_.data(), d.data(), head);
        std::memcpy(scratch_.data() + ReceiveBatch::HEAD, d.data() + head, d.size() - head);
    }

    const std::vector<char> cloud_;
    StreamTunables tunables_;
    StreamClock clock_;
    std::unique_ptr<FramePool> pool_;
    std::unique_ptr<BlockAssembler> assembler_;
    ReceiveBatch batch_;
    std::vector<Landing> landings_;
    AssemblerOutput out_;
    std::vector<std::vector<uint8_t>> datagrams_;
    std::vector<uint8_t> scratch_;
    uint32_t packet_num_ = 0;
    size_t expect_ = 8;  // landings to find: about twice what the last call brought
    uint64_t landed_ = 0, complete_ = 0;
};

uint64_t run_receive(int reps, bool dry)
{
    Receiver r;
    // Two frames first, dry or not, so that every counted one finds the
    // assembler and the pool in the state they keep while a stream runs.
    uint16_t block = 1;
    for (int i = 0; i < 2; ++i, block = gvsp::next_block_id(block))
        r.frame(block, false, true);
    const uint64_t before = r.complete();
    for (int i = 0; i < reps; ++i, block = gvsp::next_block_id(block))
        r.frame(block, dry);
    if (!dry && r.complete() - before != static_cast<uint64_t>(reps)) {
        std::fprintf(stderr, "receive: %llu of %d frames complete\n",
                     static_cast<unsigned long long>(r.complete() - before), reps);
        std::exit(1);
    }
    // Printed, so that the work is used: datagrams that landed in place.
    return r.landed();
}

struct Workload {
    const char* name;
    uint64_t (*run)(int reps, bool dry);
    const char* what;
};

const Workload kWorkloads[] = {
    {"receive", run_receive, "one frame's GVSP datagrams through the receive batch and the block assembler"},
    {"convert", run_convert, "raw cloud to float points"},
    {"plane", run_plane, "the depth plane of a raw cloud, big-endian"},
    {"filter", run_filter, "the 3x3 window outlier filter"},
    {"swell", run_swell, "3x3 dilation of a region mask"},
    {"yuyv", run_yuyv, "YUYV to RGB8 in place"},
};

int usage()
{
    std::fprintf(stderr, "usage: instruction_counts WORKLOAD REPS [--dry]\n       instruction_counts --list\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0) {
        for (const Workload& w : kWorkloads)
            std::printf("%s\t%s\n", w.name, w.what);
        return 0;
    }
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--dry") != 0))
        return usage();
    char* end = nullptr;
    const long reps = std::strtol(argv[2], &end, 10);
    if (*end != '\0' || reps < 0 || reps > 100000)
        return usage();
    for (const Workload& w : kWorkloads)
        if (std::strcmp(argv[1], w.name) == 0) {
            const uint64_t sum = w.run(static_cast<int>(reps), argc == 4);
            std::printf("%s %ld%s: %llu\n", w.name, reps, argc == 4 ? " dry" : "",
                        static_cast<unsigned long long>(sum));
            return 0;
        }
    std::fprintf(stderr, "instruction_counts: no workload %s\n", argv[1]);
    return usage();
}
