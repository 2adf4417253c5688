// The simulated camera's stream engine: a loop that answers resend requests,
// asks the scheduler which channels are due, takes each one's frame from the
// frame source, lets the fault stage have its way with the packets and sends
// them in trains or batches.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <random>
#include <utility>
#include <vector>

#include "gvcp_codec.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_faults.h"
#include "sim_frame_source.h"
#include "sim_packets.h"
#include "sim_resend.h"
#include "sim_scheduler.h"
#include "socket_address.h"

namespace vsim {

namespace {

using Clock = std::chrono::steady_clock;

// What other threads may ask of a channel (under Streams::mutex).
struct SentLog {
    uint64_t frames = 0;
    std::deque<std::pair<uint16_t, Clock::time_point>> sent_at;  // block ids, newest last
};

std::unique_ptr<FrameSource> make_source(SimCamera& camera, size_t channels)
{
    const SimConfig& config = camera.config();
    if (config.feed)
        return make_feed_source(config.feed, channels);
    return make_rendered_source(config, channels, [&camera] { return camera.timestamp_ticks(); });
}

}  // namespace

struct SimCamera::Streams {
    Streams(SimCamera& camera, size_t channels)
        : source(make_source(camera, channels)), scheduler(channels), resend(channels, camera.config().resend_history),
          faults(camera.stream_faults, random), next_block_id(channels, 1), log(channels)
    {}

    // The channel registers, read with the camera's lock held.
    StreamRegisters registers(SimCamera& camera) const;
    void answer(SimCamera& camera, const std::vector<ResendRequest>& asked);
    // `stamp`: the time of the trigger the frame answers (0: now).
    void send_frame(SimCamera& camera, size_t channel, uint64_t stamp);

    // Only the stream thread touches these.
    std::mt19937 random{12345};
    std::unique_ptr<FrameSource> source;
    Scheduler scheduler;
    ResendServer resend;
    FaultStage faults;
    PacketSender sender;
    std::vector<uint16_t> next_block_id;
    int stray_socket = -1;         // another address of the loopback net
    int foreign_port_socket = -1;  // the camera's address, another port

    // Shared with the other threads, under `mutex`.
    std::mutex mutex;
    std::condition_variable wake;
    std::vector<ResendRequest> requests;
    bool stop = false;
    std::vector<SentLog> log;
};

void SimCamera::start_streams()
{
    streams_ = std::make_shared<Streams>(*this, stream_sockets_.size());
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
    if (channel < 0 || static_cast<size_t>(channel) >= streams_->log.size())
        return false;
    for (const auto& [id, at] : streams_->log[static_cast<size_t>(channel)].sent_at)
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
    if (channel < 0 || static_cast<size_t>(channel) >= streams_->log.size())
        return 0;
    return streams_->log[static_cast<size_t>(channel)].frames;
}

uint64_t SimCamera::stream_trains_sent()
{
    return streams_ ? streams_->sender.trains_sent() : 0;
}

void SimCamera::queue_resend(const uint8_t* data, size_t len)
{
    gvcp::PacketResend cmd;
    if (!streams_ || streams_->faults.ignores_resends() || !gvcp::parse_packetresend(data, len, &cmd))
        return;
    ResendRequest r{cmd.stream_channel, cmd.block_id, cmd.first_packet_id, cmd.last_packet_id};
    {
        std::lock_guard<std::mutex> lock(streams_->mutex);
        streams_->requests.push_back(r);
    }
    streams_->wake.notify_all();
}

StreamRegisters SimCamera::Streams::registers(SimCamera& camera) const
{
    const DeviceMemory& memory = camera.memory_;
    const std::vector<SimSensor>& sensors = camera.config_.sensors;
    StreamRegisters r;
    r.acquiring = memory.reg(REG_ACQUISITION_STATUS) == 1;
    r.triggered = memory.reg(REG_TRIGGER_MODE) == 1;
    r.rgb_triggered = memory.reg(REG_RGB_TRIGGER_MODE) == 1;
    r.channels.resize(log.size());
    for (size_t n = 0; n < r.channels.size(); ++n) {
        ChannelConfig& c = r.channels[n].config;
        const uint32_t base = static_cast<uint32_t>(n) * STREAM_CHANNEL_REG_STRIDE;
        c.host = memory.reg(Stream_Channel_0_Destination_Address_Reg + base);
        c.port = memory.reg(Stream_Channel_0_Port_Reg + base) & 0xFFFF;
        c.packet_size = memory.reg(Stream_Channel_Packet_Size_Reg + base) & 0xFFFF;
        const uint32_t cbase = CHANNEL_BASE + static_cast<uint32_t>(n) * CHANNEL_STRIDE;
        c.sensor = memory.reg(cbase + CH_CMOS_INDEX);
        c.pixel_format = memory.reg(cbase + CH_PIXEL_FORMAT);
        if (c.sensor < sensors.size()) {
            const uint32_t sbase = SENSOR_BASE + c.sensor * SENSOR_STRIDE;
            c.width = memory.reg(sbase + SN_WIDTH);
            c.height = memory.reg(sbase + SN_HEIGHT);
            c.offset_x = memory.reg(sbase + SN_OFFSET_X);
            c.offset_y = memory.reg(sbase + SN_OFFSET_Y);
            r.channels[n].colour = sensors[c.sensor].colour;
        }
    }
    return r;
}

void SimCamera::Streams::answer(SimCamera& camera, const std::vector<ResendRequest>& asked)
{
    for (const ResendRequest& r : asked) {
        if (r.channel >= log.size() || scheduler.config(r.channel).port == 0)
            continue;
        std::vector<Packet> packets = resend.answer(r);
        const ChannelConfig& c = scheduler.config(r.channel);
        send_packets(camera.stream_sockets_[r.channel], c.host, c.port, packets);
    }
}

void SimCamera::Streams::send_frame(SimCamera& camera, size_t n, uint64_t stamp)
{
    const ChannelConfig& c = scheduler.config(n);
    SourceFrame frame;
    frame.block_id = next_block_id[n];
    if (!source->take(n, c, &frame))
        return;
    // A triggered frame shows when it was triggered; a feed keeps its own times.
    if (stamp != 0 && !camera.config_.feed)
        frame.ticks = stamp;
    FaultedFrame out;
    out.frame_number = log[n].frames;  // only this thread changes it
    out.channel_format = c.pixel_format;
    out.block_id = frame.block_id;
    faults.begin(out);
    const uint16_t id = out.block_id;
    next_block_id[n] = gvsp::next_block_id(id);
    source->seal(id, &frame.data);
    const SentBlock block = cut_block(id, frame.ticks, frame.data, c.packet_size - GVSP_OVERHEAD);
    resend.keep(n, block);

    faults.packets(block, out);
    if (out.stop_channel)
        scheduler.stop(n);
    sender.send(camera.stream_sockets_[n], c.host, c.port, out.packets, camera.send_mode == SendMode::Gso);
    const Clock::time_point sent = Clock::now();
    if (stray_socket >= 0)
        send_packets(stray_socket, c.host, c.port, out.from_other_address);
    if (foreign_port_socket >= 0)
        send_packets(foreign_port_socket, c.host, c.port, out.from_other_port);
    {
        std::lock_guard<std::mutex> guard(mutex);
        ++log[n].frames;
        log[n].sent_at.emplace_back(id, sent);
        if (log[n].sent_at.size() > 64)
            log[n].sent_at.pop_front();
    }
    scheduler.sent(n, camera.frame_rate, Clock::now());
}

void SimCamera::stream_loop()
{
    Streams& st = *streams_;
    std::unique_lock<std::mutex> lock(st.mutex);
    while (!st.stop) {
        // Resend requests first: they are what a receiver is waiting for.
        std::vector<ResendRequest> requests;
        requests.swap(st.requests);
        lock.unlock();
        st.answer(*this, requests);

        st.source->read_ahead(st.scheduler.acquiring());
        Scheduler::Plan plan;
        std::vector<uint64_t> stamps;
        {
            std::lock_guard<std::mutex> camera_lock(mutex_);
            const StreamRegisters registers = st.registers(*this);
            plan = st.scheduler.plan(registers, *st.source, software_triggers, rgb_software_triggers, Clock::now());
            std::vector<bool> colour;
            for (const StreamRegisters::Channel& ch : registers.channels)
                colour.push_back(ch.colour);
            stamps = take_trigger_stamps(registers.triggered, registers.rgb_triggered, colour, plan.due);
        }
        if (plan.started)
            st.source->rewind();
        for (size_t k = 0; k < plan.due.size(); ++k)
            st.send_frame(*this, plan.due[k], stamps[k]);

        lock.lock();
        if (plan.due.empty() && st.requests.empty())
            st.wake.wait_until(lock, std::min(st.scheduler.wake_at(), Clock::now() + std::chrono::milliseconds(5)));
    }
}

}  // namespace vsim
