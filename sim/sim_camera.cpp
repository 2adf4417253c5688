// Control channel of the simulated camera: GVCP commands in, acknowledges out.
#include "sim_camera.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "gvcp_codec.h"
#include "sim_description.h"
#include "socket_address.h"
#include "vora_base_type.h"

namespace vsim {

namespace {

constexpr uint32_t CCP_EXCLUSIVE = 1;
constexpr uint32_t CCP_CONTROL = 2;

// Scheduled actions fire within this of their time (the loop also wakes
// for each one's own time).
constexpr auto ACTION_POLL = std::chrono::milliseconds(1);

ClockParams clock_params(const SimConfig& c)
{
    ClockParams p = clock_params_for_serial(c.serial);
    p.frequency = c.tick_frequency ? c.tick_frequency : 1000000000ULL;
    p.listen_ns = int64_t(c.ptp_listen_ms) * 1000000;
    p.settle_ns = int64_t(c.ptp_settle_ms) * 1000000;
    p.jitter_ns = int64_t(c.ptp_jitter_us) * 1000;
    return p;
}

int64_t steady_now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

SimCamera::SimCamera(const SimConfig& config)
    : frame_rate(config.frame_rate), send_mode(config.send), config_(config), ip_(config.ip),
      clock_(std::make_unique<SimClock>(clock_params(config), steady_now_ns()))
{
    build_bootstrap(memory_, config_);
    build_features(memory_, config_);
    install_description(memory_, config_);
}

SimCamera::~SimCamera()
{
    stop();
}

int SimCamera::bind_unicast(uint32_t ip)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -errno;
    // Resend requests arrive in bursts while the camera streams fast.
    int receive_buffer = 4 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &receive_buffer, sizeof receive_buffer);
    // Actions take effect when they arrive: the kernel stamps each datagram.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    sockaddr_in addr = make_addr(ip, GVCP_PORT);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        int err = errno;
        close(s);
        return -err;
    }
    return s;
}

int SimCamera::start()
{
    if (running_)
        return 0;
    int s = bind_unicast(ip_);
    if (s < 0)
        return s;
    // Every camera of a namespace hears the broadcasts, so the port is shared.
    int b = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(b, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = make_addr(INADDR_BROADCAST, GVCP_PORT);
    if (b < 0 || bind(b, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        int err = errno;
        close(s);
        if (b >= 0)
            close(b);
        return -err;
    }
    socket_ = s;
    broadcast_socket_ = b;
    setsockopt(b, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
    for (uint32_t n = 0; n < config_.stream_channels; ++n) {
        int st = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int send_buffer = 8 << 20;  // whole batches of large packets in flight
        setsockopt(st, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
        sockaddr_in any = make_addr(ip_, 0);
        if (st >= 0 && bind(st, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0) {
            sockaddr_in bound;
            socklen_t len = sizeof bound;
            getsockname(st, reinterpret_cast<sockaddr*>(&bound), &len);
            std::lock_guard<std::mutex> lock(mutex_);
            memory_.set_reg(Source_Port_Reg + n * STREAM_CHANNEL_REG_STRIDE,
                            config_.report_source_port ? ntohs(bound.sin_port) : 0);
        }
        stream_sockets_.push_back(st);
    }
    running_ = true;
    thread_ = std::thread(&SimCamera::serve, this);
    action_thread_ = std::thread(&SimCamera::action_loop, this);
    start_streams();
    return start_services();
}

void SimCamera::stop()
{
    if (!running_.exchange(false))
        return;
    stop_services();
    stop_streams();
    thread_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        action_wake_.notify_all();
    }
    action_thread_.join();
    close(socket_);
    close(broadcast_socket_);
    for (int st : stream_sockets_)
        if (st >= 0)
            close(st);
    stream_sockets_.clear();
    socket_ = -1;
    broadcast_socket_ = -1;
}

uint32_t SimCamera::read_reg(uint32_t address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return memory_.reg(address);
}

void SimCamera::write_reg(uint32_t address, uint32_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    memory_.set_reg(address, value);
    recompute_payload_sizes(memory_, config_);
}

void SimCamera::set_foreign_control(bool held)
{
    std::lock_guard<std::mutex> lock(mutex_);
    foreign_ = held;
    held_ = held;
    holder_ = held ? Peer{0xC0000201, 3956} : Peer{};
    memory_.set_reg(Control_Channel_Privilage_Reg, held ? CCP_CONTROL : 0);
}

void SimCamera::revoke_control()
{
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    foreign_ = false;
    holder_ = Peer{};
    memory_.set_reg(Control_Channel_Privilage_Reg, 0);
}

bool SimCamera::controlled_by_someone()
{
    std::lock_guard<std::mutex> lock(mutex_);
    expire_privilege();
    return held_;
}

std::vector<std::vector<uint8_t>> SimCamera::commands()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
}

size_t SimCamera::command_count()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_.size();
}

void SimCamera::clear_commands()
{
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.clear();
}

int SimCamera::send_raw(uint32_t ip, uint16_t port, const void* data, size_t len)
{
    sockaddr_in to = make_addr(ip, port);
    return static_cast<int>(sendto(socket_, data, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to));
}

namespace {

// Datagrams taken from one socket before the others get their turn.
constexpr int DRAIN_BATCH = 64;

int64_t realtime_now_ns()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// When the kernel took the datagram in (realtime ns); 0 when it did not say.
int64_t arrival_ns(msghdr& msg)
{
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec at{};
        std::memcpy(&at, CMSG_DATA(c), sizeof at);
        return int64_t(at.tv_sec) * 1000000000 + at.tv_nsec;
    }
    return 0;
}

struct Incoming {
    std::vector<uint8_t> data;
    Peer from;
    bool broadcast = false;
    int64_t arrival = 0;
};

}  // namespace

void SimCamera::serve()
{
    uint8_t buf[2048];
    std::vector<Incoming> incoming;
    while (running_) {
        std::vector<pollfd> pfd = {{socket_, POLLIN, 0}, {broadcast_socket_, POLLIN, 0}};
        for (int st : stream_sockets_)
            pfd.push_back({st, POLLIN, 0});
        if (poll(pfd.data(), pfd.size(), 20) <= 0)
            continue;
        incoming.clear();
        for (size_t i = 0; i < pfd.size(); ++i) {
            if (!(pfd[i].revents & POLLIN))
                continue;
            for (int k = 0; k < DRAIN_BATCH; ++k) {
                sockaddr_in from{};
                iovec io{buf, sizeof buf};
                alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
                msghdr msg{};
                msg.msg_name = &from;
                msg.msg_namelen = sizeof from;
                msg.msg_iov = &io;
                msg.msg_iovlen = 1;
                msg.msg_control = control;
                msg.msg_controllen = sizeof control;
                const ssize_t n = recvmsg(pfd[i].fd, &msg, MSG_DONTWAIT);
                if (n < 0)
                    break;
                if (i >= 2) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    stream_inbox_.emplace_back(static_cast<int>(i - 2), std::vector<uint8_t>(buf, buf + n));
                } else if (n > 0) {
                    incoming.push_back(Incoming{std::vector<uint8_t>(buf, buf + n),
                                                Peer{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)}, i == 1,
                                                arrival_ns(msg)});
                }
            }
        }
        // A device has one network port: what came first is handled first,
        // whichever socket (its address or the broadcast) it reached.
        std::stable_sort(incoming.begin(), incoming.end(),
                         [](const Incoming& a, const Incoming& b) { return a.arrival < b.arrival; });
        for (const Incoming& in : incoming) {
            // An action takes effect when it arrived, bounded: a clock step
            // must not move it by more than a moment.
            const int64_t ago = in.arrival ? std::clamp<int64_t>(realtime_now_ns() - in.arrival, 0, 100000000) : 0;
            handle(in.data.data(), in.data.size(), in.from, in.broadcast, ago);
        }
    }
}

std::vector<std::pair<int, std::vector<uint8_t>>> SimCamera::stream_inbox()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_inbox_;
}

// A GigE Vision test packet: the requested size counts IP and UDP headers,
// and with the do-not-fragment bit a packet the path cannot carry is lost.
void SimCamera::fire_test_packet(uint32_t channel, uint32_t request)
{
    const uint32_t size = request & 0xFFFF;
    const bool dont_fragment = request & 0x40000000;
    const uint32_t base = channel * STREAM_CHANNEL_REG_STRIDE;
    const uint32_t host = memory_.reg(Stream_Channel_0_Destination_Address_Reg + base);
    const uint32_t port = memory_.reg(Stream_Channel_0_Port_Reg + base) & 0xFFFF;
    if (channel >= stream_sockets_.size() || host == 0 || port == 0 || size < 36 || size > config_.max_packet_size)
        return;
    const int st = stream_sockets_[channel];
    int pmtu = dont_fragment ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
    setsockopt(st, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof pmtu);
    std::vector<uint8_t> packet(size - 28, 0);
    for (size_t i = 8; i < packet.size(); ++i)
        packet[i] = static_cast<uint8_t>(i);
    sockaddr_in to = make_addr(host, static_cast<uint16_t>(port));
    if (sendto(st, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
        ++test_packets_sent_;
}

// A device drops control when its primary application has been silent for
// the heartbeat timeout.
void SimCamera::expire_privilege()
{
    if (!held_ || foreign_)
        return;
    const uint32_t timeout_ms = memory_.reg(Heartbeat_Timeout_Reg);
    if (Clock::now() - holder_seen_ > std::chrono::milliseconds(timeout_ms)) {
        held_ = false;
        holder_ = Peer{};
        memory_.set_reg(Control_Channel_Privilage_Reg, 0);
    }
}

bool SimCamera::may_write(const Peer& from) const
{
    return !held_ || from == holder_;
}

void SimCamera::handle(const uint8_t* data, size_t len, const Peer& from, bool broadcast, int64_t ago_ns)
{
    gvcp::CmdHeaderFields cmd;
    if (!gvcp::parse_cmd_header(data, len, &cmd) || cmd.start != PACK_START)
        return;

    uint8_t ack[600];
    size_t ack_len = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.emplace_back(data, data + len);
        if (faults.silent || offline())
            return;
        if (faults.drop_next > 0) {
            --faults.drop_next;
            return;
        }
        expire_privilege();
        if (held_ && from == holder_)
            holder_seen_ = Clock::now();

        // Over broadcast a device takes only discovery, force IP and actions.
        if (broadcast && cmd.command != DISCOVERY_CMD && cmd.command != FORCEIP_CMD && cmd.command != gvcp::ACTION_CMD)
            return;
        switch (cmd.command) {
        case DISCOVERY_CMD:
            ack_len = on_discovery(cmd.req_id, ack);
            break;
        case PACKETRESEND_CMD:
            queue_resend(data, len);
            return;  // resend requests are never acknowledged
        case FORCEIP_CMD:
            if (!on_forceip(data, len))
                return;
            // Acknowledged whatever the flags say: the library waits for it.
            gvcp::put_ack_header(ack, gvcp::STATUS_SUCCESS, gvcp::FORCEIP_ACK, 0, cmd.req_id);
            ack_len = gvcp::HEADER_LEN;
            cmd.flag |= gvcp::FLAG_ACK_REQUIRED;
            break;
        case READREG_CMD:
            ack_len = on_readreg(data, len, cmd.req_id, ack);
            break;
        case WRITEREG_CMD:
            ack_len = on_writereg(data, len, cmd.req_id, from, ack);
            break;
        case READMEM_CMD:
            ack_len = on_readmem(data, len, cmd.req_id, ack);
            break;
        case WRITEMEM_CMD:
            ack_len = on_writemem(data, len, cmd.req_id, from, ack);
            break;
        case gvcp::ACTION_CMD:
            // A camera without actions ignores them, as it would any
            // command it does not know over broadcast.
            if (!config_.actions)
                return;
            ack_len = on_action(data, len, cmd.flag, cmd.req_id, ack, ago_ns);
            if (ack_len == 0)
                return;
            if (int late = faults.action_ack_delay_ms.load()) {
                // Held back by the action thread, so that other commands
                // are still answered meanwhile.
                if (int forced = faults.status.load())
                    gvcp::put_u16(ack, static_cast<uint16_t>(forced));
                held_acks_.push_back(
                    {Clock::now() + std::chrono::milliseconds(late), std::vector<uint8_t>(ack, ack + ack_len), from});
                action_wake_.notify_all();
                return;
            }
            break;
        default:
            gvcp::put_ack_header(ack, gvcp::STATUS_NOT_IMPLEMENTED, cmd.command + 1, 0, cmd.req_id);
            ack_len = gvcp::HEADER_LEN;
            break;
        }
    }
    if (!(cmd.flag & gvcp::FLAG_ACK_REQUIRED) || ack_len == 0)
        return;
    if (int forced = faults.status.load())
        gvcp::put_u16(ack, static_cast<uint16_t>(forced));
    if (int delay = faults.delay_ms.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    send_stray(ack, ack_len, from);
    sockaddr_in to = make_addr(from.ip, from.port);
    sendto(socket_, ack, ack_len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void SimCamera::send_stray(const uint8_t* ack, size_t len, const Peer& to)
{
    const Stray kind = static_cast<Stray>(faults.stray.load());
    if (kind == Stray::None)
        return;
    sockaddr_in dest = make_addr(to.ip, to.port);
    uint8_t copy[600];
    std::memcpy(copy, ack, len);
    if (kind == Stray::StaleId) {
        // A late answer to an earlier request: other id, other value.
        uint16_t id = gvcp::get_u16(copy + 6);
        gvcp::put_u16(copy + 6, static_cast<uint16_t>(id == 1 ? 0xFFFF : id - 1));
        for (size_t i = gvcp::HEADER_LEN; i < len; ++i)
            copy[i] ^= 0x5A;
        sendto(socket_, copy, len, 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
    } else if (kind == Stray::Runt) {
        sendto(socket_, copy, 6, 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
    } else if (kind == Stray::ForeignPort) {
        for (size_t i = gvcp::HEADER_LEN; i < len; ++i)
            copy[i] ^= 0xA5;
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            return;
        sockaddr_in self = make_addr(config_.ip, 0);
        if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) == 0)
            sendto(s, copy, len, 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
        close(s);
    }
}

size_t SimCamera::on_readreg(const uint8_t* data, size_t len, uint16_t id, uint8_t* ack)
{
    const size_t count = (len - gvcp::HEADER_LEN) / 4;
    uint16_t status = count == 0 ? gvcp::STATUS_INVALID_PARAMETER : gvcp::STATUS_SUCCESS;
    size_t done = 0;
    for (; done < count && done < 135; ++done) {
        const uint32_t address = gvcp::get_u32(data + gvcp::HEADER_LEN + 4 * done);
        if (address % 4 != 0)
            status = gvcp::STATUS_BAD_ALIGNMENT;
        else if (address == faults.fail_address && faults.fail_address_reads_first.fetch_sub(1) <= 0)
            status = gvcp::STATUS_INVALID_ADDRESS;
        else
            status = memory_.check_read(address, 4);
        if (status != gvcp::STATUS_SUCCESS)
            break;
        before_read(address, 4);
        gvcp::put_u32(ack + gvcp::HEADER_LEN + 4 * done, memory_.reg(address));
    }
    // Values read before an error are still returned, as devices do.
    gvcp::put_ack_header(ack, status, gvcp::READREG_ACK, static_cast<uint16_t>(4 * done), id);
    return gvcp::HEADER_LEN + 4 * done;
}

size_t SimCamera::on_writereg(const uint8_t* data, size_t len, uint16_t id, const Peer& from, uint8_t* ack)
{
    const size_t pairs = (len - gvcp::HEADER_LEN) / 8;
    uint16_t status = pairs == 0 ? gvcp::STATUS_INVALID_PARAMETER : gvcp::STATUS_SUCCESS;
    size_t done = 0;
    for (; done < pairs; ++done) {
        const uint8_t* p = data + gvcp::HEADER_LEN + 8 * done;
        status = write_register(gvcp::get_u32(p), gvcp::get_u32(p + 4), from);
        if (status != gvcp::STATUS_SUCCESS)
            break;
    }
    gvcp::put_ack_header(ack, status, gvcp::WRITEREG_ACK, 4, id);
    gvcp::put_u16(ack + 8, 0);
    gvcp::put_u16(ack + 10, static_cast<uint16_t>(done));
    return 12;
}

size_t SimCamera::on_readmem(const uint8_t* data, size_t len, uint16_t id, uint8_t* ack)
{
    if (len < gvcp::READMEM_CMD_LEN) {
        gvcp::put_ack_header(ack, gvcp::STATUS_INVALID_PARAMETER, gvcp::READMEM_ACK, 0, id);
        return gvcp::HEADER_LEN;
    }
    const uint32_t address = gvcp::get_u32(data + 8);
    const uint16_t count = gvcp::get_u16(data + 14);
    uint16_t status = gvcp::STATUS_SUCCESS;
    if (address % 4 != 0)
        status = gvcp::STATUS_BAD_ALIGNMENT;
    else if (count == 0 || count % 4 != 0 || count > gvcp::READMEM_MAX_DATA)
        status = gvcp::STATUS_INVALID_PARAMETER;
    else if (faults.fail_address >= address && faults.fail_address < address + count)
        status = gvcp::STATUS_INVALID_ADDRESS;
    else
        status = memory_.check_read(address, count);
    gvcp::put_u32(ack + 8, address);
    if (status != gvcp::STATUS_SUCCESS) {
        gvcp::put_ack_header(ack, status, gvcp::READMEM_ACK, 4, id);
        return 12;
    }
    before_read(address, count);
    memory_.read(address, ack + 12, count);
    gvcp::put_ack_header(ack, status, gvcp::READMEM_ACK, static_cast<uint16_t>(4 + count), id);
    return 12u + count;
}

size_t SimCamera::on_writemem(const uint8_t* data, size_t len, uint16_t id, const Peer& from, uint8_t* ack)
{
    // GigE Vision WRITEMEM: the address, then the bytes to write.
    // Writing a register this way has every effect a WRITEREG of it has
    // (a command starts, a channel opens), as on a device: clients that
    // write through memory rely on it.
    uint16_t status = gvcp::STATUS_SUCCESS;
    uint32_t address = 0;
    size_t count = 0, done = 0;
    if (len < 12 + 4 || (len - 12) % 4 != 0 || len - 12 > gvcp::READMEM_MAX_DATA) {
        status = gvcp::STATUS_INVALID_PARAMETER;
    } else {
        address = gvcp::get_u32(data + 8);
        count = len - 12;
        if (address % 4 != 0)
            status = gvcp::STATUS_BAD_ALIGNMENT;
        else
            status = memory_.check_write(address, static_cast<uint32_t>(count));
    }
    for (; status == gvcp::STATUS_SUCCESS && done < count; done += 4) {
        status = write_register(address + static_cast<uint32_t>(done), gvcp::get_u32(data + 12 + done), from);
        if (status != gvcp::STATUS_SUCCESS)
            break;
    }
    gvcp::put_ack_header(ack, status, gvcp::WRITEMEM_ACK, 4, id);
    gvcp::put_u16(ack + 8, 0);
    gvcp::put_u16(ack + 10, static_cast<uint16_t>(done));
    return 12;
}

size_t SimCamera::on_discovery(uint16_t id, uint8_t* ack)
{
    // The discovery payload is the first 248 bytes of the bootstrap map.
    gvcp::put_ack_header(ack, gvcp::STATUS_SUCCESS, gvcp::DISCOVERY_ACK, 248, id);
    memory_.read(0, ack + gvcp::HEADER_LEN, 248);
    size_t len = gvcp::DISCOVERY_ACK_LEN;
    if (int forced = faults.discovery_ack_len.load()) {
        len = static_cast<size_t>(forced);
        if (len > gvcp::DISCOVERY_ACK_LEN)
            std::memset(ack + gvcp::DISCOVERY_ACK_LEN, 0, len - gvcp::DISCOVERY_ACK_LEN);
    }
    return len;
}

bool SimCamera::on_forceip(const uint8_t* data, size_t len)
{
    if (len < gvcp::FORCEIP_CMD_LEN)
        return false;
    const uint8_t* mac = config_.mac;
    if (std::memcmp(data + 10, mac, 6) != 0)
        return false;
    const uint32_t ip = gvcp::get_u32(data + 28);
    const uint32_t mask = gvcp::get_u32(data + 44);
    const uint32_t gateway = gvcp::get_u32(data + 60);
    if (ip != 0)
        apply_ip(ip, mask, gateway);
    return true;
}

size_t SimCamera::on_action(const uint8_t* data, size_t len, uint8_t flag, uint16_t id, uint8_t* ack, int64_t ago_ns)
{
    // Without unconditional action mode a device acts only while an
    // application holds control; a malformed command is dropped.
    gvcp::Action action;
    if (!held_ || faults.action_ignore || !gvcp::parse_action(data, len, &action))
        return 0;
    const uint32_t device_key = memory_.reg(gvcp::ACTION_DEVICE_KEY_REG);
    if (action.device_key != device_key)
        return 0;
    const uint64_t now = timestamp_ticks_ago(ago_ns);
    const uint32_t signals = memory_.reg(gvcp::NUMBER_OF_ACTION_SIGNALS_REG);
    bool matched = false;
    uint16_t status = gvcp::STATUS_SUCCESS;
    for (uint32_t i = 0; i < signals; ++i) {
        const uint32_t group_key = memory_.reg(gvcp::ACTION_GROUP_KEY_BASE + i * gvcp::ACTION_GROUP_STRIDE);
        const uint32_t group_mask = memory_.reg(gvcp::ACTION_GROUP_MASK_BASE + i * gvcp::ACTION_GROUP_STRIDE);
        if (!faults.action_any_group && !gvcp::action_matches(action, device_key, group_key, group_mask))
            continue;
        matched = true;
        if (!action.scheduled) {
            fire_action(i, now);
        } else if (action.action_time <= now) {
            if (status == gvcp::STATUS_SUCCESS)
                status = gvcp::STATUS_ACTION_LATE;
        } else if (scheduled_.size() >= config_.action_queue) {
            if (status == gvcp::STATUS_SUCCESS)
                status = gvcp::STATUS_OVERFLOW;
        } else {
            scheduled_.push_back({action.action_time, i});
            action_wake_.notify_all();
        }
    }
    // No match, no answer: the command was meant for other devices.
    if (!matched || !(flag & gvcp::FLAG_ACK_REQUIRED))
        return 0;
    gvcp::put_ack_header(ack, status, gvcp::ACTION_ACK, 0, id);
    return gvcp::HEADER_LEN;
}

void SimCamera::action_loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_) {
        const uint64_t now = timestamp_ticks();
        uint64_t next = UINT64_MAX;
        for (size_t k = 0; k < scheduled_.size();) {
            if (scheduled_[k].time <= now) {
                // Stamped with the time it was due, not the moment the loop got to it.
                fire_action(scheduled_[k].signal, scheduled_[k].time);
                scheduled_.erase(scheduled_.begin() + static_cast<std::ptrdiff_t>(k));
            } else {
                next = std::min(next, scheduled_[k].time);
                ++k;
            }
        }
        std::vector<HeldAck> due;
        Clock::time_point wake = Clock::now() + std::chrono::milliseconds(50);
        for (size_t k = 0; k < held_acks_.size();) {
            if (held_acks_[k].due <= Clock::now()) {
                due.push_back(std::move(held_acks_[k]));
                held_acks_.erase(held_acks_.begin() + static_cast<std::ptrdiff_t>(k));
            } else {
                wake = std::min(wake, held_acks_[k].due);
                ++k;
            }
        }
        if (!due.empty()) {
            lock.unlock();
            for (const HeldAck& a : due) {
                sockaddr_in to = make_addr(a.to.ip, a.to.port);
                sendto(socket_, a.bytes.data(), a.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
            lock.lock();
            continue;
        }
        if (next != UINT64_MAX) {
            const uint64_t ahead = next - now;
            std::lock_guard<std::mutex> clock_lock(clock_mutex_);
            const int64_t ns = clock_->to_ns(ahead);
            wake = std::min(wake, Clock::now() + std::min<Clock::duration>(std::chrono::nanoseconds(ns), ACTION_POLL));
        }
        action_wake_.wait_until(lock, wake);
    }
}

void SimCamera::fire_action(uint32_t signal, uint64_t ticks)
{
    ++actions_fired;
    if (memory_.reg(REG_TRIGGER_SOURCE) != TRIGGER_SOURCE_ACTION1 + signal)
        return;
    if (memory_.reg(REG_TRIGGER_MODE) == 1)
        add_triggers(false, 1, ticks);
    if (memory_.reg(REG_RGB_TRIGGER_MODE) == 1)
        add_triggers(true, 1, ticks);
}

size_t SimCamera::scheduled_actions()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return scheduled_.size();
}

uint16_t SimCamera::write_register(uint32_t address, uint32_t value, const Peer& from)
{
    if (address % 4 != 0)
        return gvcp::STATUS_BAD_ALIGNMENT;
    if (address == faults.fail_address)
        return gvcp::STATUS_INVALID_ADDRESS;
    uint16_t status = memory_.check_write(address, 4);
    if (status != gvcp::STATUS_SUCCESS)
        return status;

    if (address == Control_Channel_Privilage_Reg) {
        if (held_ && from != holder_)
            return gvcp::STATUS_ACCESS_DENIED;
        if (value & (CCP_EXCLUSIVE | CCP_CONTROL)) {
            held_ = true;
            holder_ = from;
            holder_seen_ = Clock::now();
        } else {
            held_ = false;
            holder_ = Peer{};
        }
        memory_.set_reg(address, value);
        memory_.set_reg(bootstrap::PRIMARY_APPLICATION_PORT, held_ ? holder_.port : 0);
        memory_.set_reg(bootstrap::PRIMARY_APPLICATION_IP, held_ ? holder_.ip : 0);
        return gvcp::STATUS_SUCCESS;
    }
    if (!may_write(from))
        return gvcp::STATUS_ACCESS_DENIED;
    status = before_write(address, value);
    if (status != gvcp::STATUS_SUCCESS)
        return status;
    const uint32_t channel = (address - Stream_Channel_Packet_Size_Reg) / STREAM_CHANNEL_REG_STRIDE;
    if (address >= Stream_Channel_Packet_Size_Reg &&
        (address - Stream_Channel_Packet_Size_Reg) % STREAM_CHANNEL_REG_STRIDE == 0 &&
        channel < config_.stream_channels) {
        // Bit 31 fires one test packet and does not stay set.
        memory_.set_reg(address, value & 0x7FFFFFFF);
        if (value & 0x80000000)
            fire_test_packet(channel, value);
        return gvcp::STATUS_SUCCESS;
    }
    memory_.set_reg(address, value);
    after_write(address, value);
    // Geometry, format and the sensor behind a channel decide its payload.
    if ((address >= CHANNEL_BASE && address < CHANNEL_BASE + config_.stream_channels * CHANNEL_STRIDE) ||
        (address >= SENSOR_BASE && address < SENSOR_BASE + config_.sensors.size() * SENSOR_STRIDE))
        recompute_payload_sizes(memory_, config_);
    return gvcp::STATUS_SUCCESS;
}

}  // namespace vsim
