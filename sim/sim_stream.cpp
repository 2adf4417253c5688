// The simulated camera's stream engine. Each channel's frame is rendered once
// per configuration (sensor, region, pixel format, packet size), or taken
// from a feed; every frame sent is that image (with the block's depth noise,
// when the camera has some) cut into GVSP packets, sent in batches with
// sendmmsg.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "gvcp_codec.h"
#include "gvsp_codec.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_scene.h"
#include "socket_address.h"
#include "vora_base_type.h"

namespace vsim {

namespace {

constexpr int GVSP_OVERHEAD = IP_HEADER_LEN + UDP_HEADER_LEN + gvsp::HEADER_LEN;
constexpr int BATCH = 64;

using Clock = std::chrono::steady_clock;

struct ChannelConfig {
    uint32_t host = 0, port = 0, packet_size = 0;
    uint32_t sensor = 0, width = 0, height = 0, offset_x = 0, offset_y = 0, pixel_format = 0;
    bool operator==(const ChannelConfig& o) const
    {
        return host == o.host && port == o.port && packet_size == o.packet_size && sensor == o.sensor &&
               width == o.width && height == o.height && offset_x == o.offset_x && offset_y == o.offset_y &&
               pixel_format == o.pixel_format;
    }
};

// What a block's leader says and the bytes it carries.
struct FrameData {
    std::shared_ptr<const std::vector<uint8_t>> image;
    uint32_t pixel_format = 0, width = 0, height = 0, offset_x = 0, offset_y = 0;
};

struct SentBlock {
    uint16_t block_id;
    uint64_t ticks;
    FrameData frame;  // kept for resends
    uint32_t packet_count;
};

struct Channel {
    ChannelConfig config;
    std::shared_ptr<const std::vector<uint8_t>> image;  // the rendered frame
    uint32_t chunk = 0;                                 // payload bytes per packet
    uint32_t packet_count = 0;                          // payload packets
    bool has_pending = false;                           // the feed's next frame, taken ahead
    FeedFrame pending;
    bool feed_done = false;
    uint16_t next_block_id = 1;
    Clock::time_point next_frame = Clock::now();
    std::deque<SentBlock> history;
    uint64_t frames = 0;
    std::deque<std::pair<uint16_t, Clock::time_point>> sent_at;  // newest last
    bool stopped = false;                                        // a stop-mid-frame fault happened
};

struct Resend {
    uint16_t channel;
    uint16_t block_id;
    uint32_t first, last;
};

// One GVSP packet: header (and leader or trailer body) plus a slice of the image.
struct Packet {
    uint8_t head[gvsp::LEADER_LEN];
    size_t head_len;
    const uint8_t* data;
    size_t data_len;
};

}  // namespace

struct SimCamera::Streams {
    std::vector<Channel> channels;
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<Resend> resends;
    bool stop = false;
    std::mt19937 random{12345};
    int stray_socket = -1;         // another address of the loopback net
    int foreign_port_socket = -1;  // the camera's address, another port
    bool acquiring = false;
    Clock::time_point feed_start = Clock::now();  // acquisition start: the feed's time 0
};

void SimCamera::start_streams()
{
    streams_ = std::make_shared<Streams>();
    streams_->channels.resize(stream_sockets_.size());
    // Stray datagrams come from another address of the loopback net.
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in other = make_addr(0x7F0000FE, 0);
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&other), sizeof other) == 0)
        streams_->stray_socket = s;
    else if (s >= 0)
        close(s);
    s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in own = make_addr(ip_, 0);
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0)
        streams_->foreign_port_socket = s;
    else if (s >= 0)
        close(s);
    stream_thread_ = std::thread(&SimCamera::stream_loop, this);
}

void SimCamera::stop_streams()
{
    if (!streams_)
        return;
    {
        std::lock_guard<std::mutex> lock(streams_->mutex);
        streams_->stop = true;
    }
    streams_->wake.notify_all();
    if (stream_thread_.joinable())
        stream_thread_.join();
    for (int s : {streams_->stray_socket, streams_->foreign_port_socket})
        if (s >= 0)
            close(s);
}

bool SimCamera::frame_sent_time(int channel, uint16_t block_id, Clock::time_point* when)
{
    if (!streams_)
        return false;
    std::lock_guard<std::mutex> lock(streams_->mutex);
    if (channel < 0 || static_cast<size_t>(channel) >= streams_->channels.size())
        return false;
    for (const auto& [id, at] : streams_->channels[static_cast<size_t>(channel)].sent_at)
        if (id == block_id) {
            *when = at;
            return true;
        }
    return false;
}

uint64_t SimCamera::frames_sent(int channel)
{
    if (!streams_)
        return 0;
    std::lock_guard<std::mutex> lock(streams_->mutex);
    if (channel < 0 || static_cast<size_t>(channel) >= streams_->channels.size())
        return 0;
    return streams_->channels[static_cast<size_t>(channel)].frames;
}

void SimCamera::queue_resend(const uint8_t* data, size_t len)
{
    gvcp::PacketResend cmd;
    if (!streams_ || stream_faults.ignore_resend || !gvcp::parse_packetresend(data, len, &cmd))
        return;
    Resend r{cmd.stream_channel, cmd.block_id, cmd.first_packet_id, cmd.last_packet_id};
    {
        std::lock_guard<std::mutex> lock(streams_->mutex);
        streams_->resends.push_back(r);
    }
    streams_->wake.notify_all();
}

namespace {

// Packet `id` of a block: 0 leader, 1..count payload, count+1 trailer.
Packet make_packet(const SentBlock& b, uint32_t chunk, uint32_t id, uint16_t status)
{
    Packet p{};
    const FrameData& f = b.frame;
    if (id == 0) {
        gvsp::Leader leader{};
        leader.payload_type = gvsp::PAYLOAD_TYPE_IMAGE;
        leader.timestamp = b.ticks;
        leader.pixel_format = f.pixel_format;
        leader.size_x = f.width;
        leader.size_y = f.height;
        leader.offset_x = f.offset_x;
        leader.offset_y = f.offset_y;
        p.head_len = gvsp::build_leader(p.head, status, b.block_id, leader);
    } else if (id == b.packet_count + 1) {
        p.head_len =
            gvsp::build_trailer(p.head, status, b.block_id, id, gvsp::Trailer{gvsp::PAYLOAD_TYPE_IMAGE, f.height});
    } else {
        p.head_len = gvsp::build_header(p.head, status, b.block_id, gvsp::FORMAT_PAYLOAD, id);
        const size_t offset = size_t(id - 1) * chunk;
        p.data = f.image->data() + offset;
        p.data_len = std::min<size_t>(chunk, f.image->size() - offset);
    }
    return p;
}

void send_packets(int sock, uint32_t host, uint32_t port, std::vector<Packet>& packets)
{
    sockaddr_in to = make_addr(host, static_cast<uint16_t>(port));
    mmsghdr msgs[BATCH];
    iovec iov[BATCH][2];
    for (size_t start = 0; start < packets.size(); start += BATCH) {
        const size_t n = std::min<size_t>(BATCH, packets.size() - start);
        for (size_t i = 0; i < n; ++i) {
            Packet& p = packets[start + i];
            iov[i][0] = {p.head, p.head_len};
            iov[i][1] = {const_cast<uint8_t*>(p.data), p.data_len};
            std::memset(&msgs[i], 0, sizeof msgs[i]);
            msgs[i].msg_hdr.msg_name = &to;
            msgs[i].msg_hdr.msg_namelen = sizeof to;
            msgs[i].msg_hdr.msg_iov = iov[i];
            msgs[i].msg_hdr.msg_iovlen = p.data_len ? 2 : 1;
        }
        size_t sent = 0;
        for (int tries = 0; sent < n && tries < 1000; ++tries) {
            const int r = sendmmsg(sock, msgs + sent, static_cast<unsigned>(n - sent), 0);
            if (r > 0) {
                sent += static_cast<size_t>(r);
            } else if (r < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
                // The local queue is full for a moment: wait, do not drop.
                pollfd p{sock, POLLOUT, 0};
                poll(&p, 1, 1);
            } else {
                // The host is gone or the path refuses the size: the
                // packet is lost, as on a wire.
                ++sent;
            }
        }
    }
}

}  // namespace

void SimCamera::stream_loop()
{
    Streams& st = *streams_;
    std::unique_lock<std::mutex> lock(st.mutex);
    while (!st.stop) {
        // Resend requests first: they are what a receiver is waiting for.
        std::vector<Resend> resends;
        resends.swap(st.resends);
        lock.unlock();
        for (const Resend& r : resends) {
            if (r.channel >= st.channels.size())
                continue;
            Channel& ch = st.channels[r.channel];
            if (ch.config.port == 0 || ch.history.empty())
                continue;
            std::vector<Packet> packets;
            const SentBlock* kept = nullptr;
            for (const SentBlock& b : ch.history)
                if (b.block_id == r.block_id)
                    kept = &b;
            if (!kept) {
                SentBlock gone = ch.history.back();
                gone.block_id = r.block_id;
                packets.push_back(make_packet(gone, ch.chunk, std::min(r.first, gone.packet_count + 1),
                                              gvcp::STATUS_PACKET_UNAVAILABLE));
                packets.back().data_len = 0;
                packets.back().head_len = gvsp::HEADER_LEN;
            } else {
                for (uint32_t id = r.first; id <= r.last && id <= kept->packet_count + 1; ++id)
                    packets.push_back(make_packet(*kept, ch.chunk, id, gvcp::STATUS_PACKET_RESEND));
            }
            send_packets(stream_sockets_[r.channel], ch.config.host, ch.config.port, packets);
        }

        // A feed's next frames are read here, not under the camera's lock:
        // reading a file must not hold up the control channel.
        if (config_.feed && st.acquiring) {
            for (size_t n = 0; n < st.channels.size(); ++n) {
                Channel& ch = st.channels[n];
                if (!ch.has_pending && !ch.feed_done) {
                    ch.has_pending = config_.feed->next(static_cast<int>(n), &ch.pending);
                    ch.feed_done = !ch.has_pending;
                }
            }
        }

        // Which channels are due, under the camera's own lock.
        std::vector<int> due;
        Clock::time_point wake_at = Clock::now() + std::chrono::milliseconds(50);
        bool restart_feed = false;
        {
            std::lock_guard<std::mutex> camera_lock(mutex_);
            const bool acquiring = memory_.reg(REG_ACQUISITION_STATUS) == 1;
            if (config_.feed && acquiring && !st.acquiring) {
                // A feed plays from its start whenever acquisition starts;
                // it is rewound below, outside the lock. Nothing is pending
                // until then, so nothing falls due.
                restart_feed = true;
                for (Channel& ch : st.channels) {
                    ch.has_pending = false;
                    ch.feed_done = false;
                }
            }
            st.acquiring = acquiring;
            const bool triggered = memory_.reg(REG_TRIGGER_MODE) == 1;
            const bool rgb_triggered = memory_.reg(REG_RGB_TRIGGER_MODE) == 1;
            for (size_t n = 0; n < st.channels.size(); ++n) {
                Channel& ch = st.channels[n];
                const uint32_t base = static_cast<uint32_t>(n) * STREAM_CHANNEL_REG_STRIDE;
                ChannelConfig c;
                c.host = memory_.reg(Stream_Channel_0_Destination_Address_Reg + base);
                c.port = memory_.reg(Stream_Channel_0_Port_Reg + base) & 0xFFFF;
                c.packet_size = memory_.reg(Stream_Channel_Packet_Size_Reg + base) & 0xFFFF;
                const uint32_t cbase = CHANNEL_BASE + static_cast<uint32_t>(n) * CHANNEL_STRIDE;
                c.sensor = memory_.reg(cbase + CH_CMOS_INDEX);
                c.pixel_format = memory_.reg(cbase + CH_PIXEL_FORMAT);
                if (c.sensor < config_.sensors.size()) {
                    const uint32_t sbase = SENSOR_BASE + c.sensor * SENSOR_STRIDE;
                    c.width = memory_.reg(sbase + SN_WIDTH);
                    c.height = memory_.reg(sbase + SN_HEIGHT);
                    c.offset_x = memory_.reg(sbase + SN_OFFSET_X);
                    c.offset_y = memory_.reg(sbase + SN_OFFSET_Y);
                }
                if (!(c == ch.config)) {
                    ch.config = c;
                    ch.image.reset();
                    ch.stopped = false;
                }
                if (!acquiring || c.host == 0 || c.port == 0 || c.packet_size <= GVSP_OVERHEAD || ch.stopped)
                    continue;
                const bool colour = c.sensor < config_.sensors.size() && config_.sensors[c.sensor].colour;
                if (colour ? rgb_triggered : triggered) {
                    std::atomic<int>& triggers = colour ? rgb_software_triggers : software_triggers;
                    if (triggers > 0) {
                        --triggers;
                        due.push_back(static_cast<int>(n));
                    }
                    continue;
                }
                if (config_.feed) {
                    if (!ch.has_pending)
                        continue;
                    ch.next_frame = st.feed_start + std::chrono::microseconds(ch.pending.due_us);
                }
                if (Clock::now() >= ch.next_frame)
                    due.push_back(static_cast<int>(n));
                else
                    wake_at = std::min(wake_at, ch.next_frame);
            }
        }
        if (restart_feed) {
            config_.feed->restart();
            st.feed_start = Clock::now();
        }

        for (int n : due) {
            Channel& ch = st.channels[static_cast<size_t>(n)];
            ch.chunk = ch.config.packet_size - GVSP_OVERHEAD;
            FrameData frame;
            if (config_.feed) {
                ch.has_pending = false;
                if (!ch.pending.payload || ch.pending.payload->empty())
                    continue;
                frame = FrameData{ch.pending.payload, ch.pending.pixel_format, ch.pending.width,
                                  ch.pending.height,  ch.pending.offset_x,     ch.pending.offset_y};
                ch.next_block_id = ch.pending.block_id ? ch.pending.block_id : 1;
            } else {
                if (!ch.image) {
                    if (ch.config.sensor >= config_.sensors.size())
                        continue;
                    ch.image = std::make_shared<const std::vector<uint8_t>>(
                        render_sensor(config_.sensors[ch.config.sensor],
                                      Roi{ch.config.width, ch.config.height, ch.config.offset_x, ch.config.offset_y},
                                      ch.config.pixel_format, config_.cloud_unit));
                }
                if (ch.image->empty())
                    continue;
                frame = FrameData{ch.image,         ch.config.pixel_format, ch.config.width,
                                  ch.config.height, ch.config.offset_x,     ch.config.offset_y};
            }
            ch.packet_count = static_cast<uint32_t>((frame.image->size() + ch.chunk - 1) / ch.chunk);
            uint16_t id = ch.next_block_id;
            if (stream_faults.restart_ids.exchange(false))
                id = 1;
            if (int jump = stream_faults.block_id_jump.exchange(0))
                id = static_cast<uint16_t>(id + jump);
            if (id == 0)
                id = 1;
            ch.next_block_id = gvsp::next_block_id(id);
            const uint64_t ticks = config_.feed ? ch.pending.timestamp_ticks : timestamp_ticks();
            if (!config_.feed && config_.depth_noise_mm > 0 && frame.pixel_format == pixel::coord3d_abc16) {
                // The block's own depth noise; kept with the block, so a
                // resend carries the same points.
                auto noisy = std::make_shared<std::vector<uint8_t>>(*frame.image);
                add_depth_noise(*noisy, id, config_.depth_noise_mm, config_.cloud_unit);
                frame.image = std::move(noisy);
            }
            ch.history.push_back(SentBlock{id, ticks, frame, ch.packet_count});
            const SentBlock block = ch.history.back();
            while (static_cast<int>(ch.history.size()) > config_.resend_history)
                ch.history.pop_front();

            const uint16_t error = static_cast<uint16_t>(stream_faults.error_status.exchange(0));
            std::vector<Packet> packets;
            packets.reserve(ch.packet_count + 4);
            const uint32_t total = ch.packet_count + 2;
            const int burst_every = stream_faults.burst_every;
            const bool burst = burst_every > 0 && ch.frames % static_cast<uint64_t>(burst_every) == 0;
            const uint32_t burst_from = total / 2,
                           burst_to = burst_from + static_cast<uint32_t>(stream_faults.burst_length);
            const double loss = stream_faults.loss_rate, dup = stream_faults.duplicate_rate,
                         reorder = stream_faults.reorder_rate;
            std::uniform_real_distribution<double> coin(0.0, 1.0);
            for (uint32_t pid = 0; pid < total; ++pid) {
                if ((pid == 0 && stream_faults.drop_leader) || (pid + 1 == total && stream_faults.drop_trailer))
                    continue;
                if (burst && pid >= burst_from && pid < burst_to)
                    continue;
                if (loss > 0 && coin(st.random) < loss)
                    continue;
                const uint16_t status = (error && pid > 0 && pid + 1 < total) ? error : 0;
                packets.push_back(make_packet(block, ch.chunk, pid, status));
                if (dup > 0 && coin(st.random) < dup)
                    packets.push_back(packets.back());
            }
            if (reorder > 0)
                for (size_t i = 0; i + 1 < packets.size(); ++i)
                    if (coin(st.random) < reorder)
                        std::swap(packets[i], packets[i + 1]);
            const int stop_after = stream_faults.stop_after_packets.exchange(-1);
            if (stop_after >= 0) {
                if (static_cast<size_t>(stop_after) < packets.size())
                    packets.resize(static_cast<size_t>(stop_after));
                ch.stopped = true;
            }
            send_packets(stream_sockets_[static_cast<size_t>(n)], ch.config.host, ch.config.port, packets);
            const Clock::time_point sent = Clock::now();
            if (stream_faults.stray_datagrams && st.stray_socket >= 0) {
                uint8_t junk[16] = {};
                gvsp::build_header(junk, gvsp::STATUS_SUCCESS, 1, gvsp::FORMAT_PAYLOAD, 1);
                sockaddr_in to = make_addr(ch.config.host, static_cast<uint16_t>(ch.config.port));
                sendto(st.stray_socket, junk, sizeof junk, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
            if (const int flood = stream_faults.foreign_port_leaders; flood > 0 && st.foreign_port_socket >= 0) {
                std::vector<Packet> bogus;
                for (int k = 0; k < flood; ++k) {
                    Packet p{};
                    gvsp::Leader huge{};
                    huge.payload_type = gvsp::PAYLOAD_TYPE_IMAGE;
                    huge.pixel_format = ch.config.pixel_format;
                    huge.size_x = huge.size_y = 65535;
                    p.head_len =
                        gvsp::build_leader(p.head, gvsp::STATUS_SUCCESS, static_cast<uint16_t>(id + 100 + k), huge);
                    bogus.push_back(p);
                }
                send_packets(st.foreign_port_socket, ch.config.host, ch.config.port, bogus);
            }
            {
                std::lock_guard<std::mutex> guard(st.mutex);
                ++ch.frames;
                ch.sent_at.emplace_back(id, sent);
                if (ch.sent_at.size() > 64)
                    ch.sent_at.pop_front();
            }
            const auto period = std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(1.0 / (frame_rate > 0 ? frame_rate.load() : 1.0)));
            ch.next_frame += period;
            if (ch.next_frame < Clock::now())
                ch.next_frame = Clock::now();  // a slow sender does not try to catch up
            wake_at = std::min(wake_at, ch.next_frame);
        }

        lock.lock();
        if (due.empty() && st.resends.empty())
            st.wake.wait_until(lock, std::min(wake_at, Clock::now() + std::chrono::milliseconds(5)));
    }
}

}  // namespace vsim
