// A simulated GigE Vision 3D camera. It answers the control protocol on
// UDP port 3956 of its own address from a register map laid out like a
// real device's, keeps the control privilege as a device does, and lets a
// test switch faults on and off while it runs.
#ifndef VORA_SIM_CAMERA_H
#define VORA_SIM_CAMERA_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_clock.h"
#include "sim_memory.h"
#include "vora_pixel_format.h"

namespace vsim {

// One image sensor (CMOS) of the camera.
struct SimSensor {
    bool colour = false;
    uint32_t max_width = 1280;
    uint32_t max_height = 1024;
    uint32_t pixel_format = PIXEL_FORMAT_COORD3D_ABC16;  // RGB8 for colour
    float Kc[5] = {0, 0, 0, 0, 0};                       // distortion coefficients
    float K[9] = {1000, 0, 640, 0, 1000, 512, 0, 0, 1};  // camera matrix
    float R[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};            // rotation
    float T[3] = {0, 0, 0};                              // translation
};

// A frame from elsewhere than the renderer (a recording being played).
struct FeedFrame {
    std::shared_ptr<const std::vector<uint8_t>> payload;
    uint32_t pixel_format = 0, width = 0, height = 0, offset_x = 0, offset_y = 0;
    uint64_t timestamp_ticks = 0;
    uint16_t block_id = 1;
    // When it is due, counted from the start of acquisition.
    int64_t due_us = 0;
};

// Where a camera's frames come from when not from its renderer.
struct FrameFeed {
    // The channel's next frame; false when it has no more.
    std::function<bool(int channel, FeedFrame* out)> next;
    // Back to the first frames: acquisition started again.
    std::function<void()> restart;
};

// How stream packets leave the camera: payload packets of one size in
// trains the kernel cuts into datagrams (fewer sends per frame), or one
// datagram per send as a camera's hardware does. Receivers see the same
// datagrams in the same order either way.
enum class SendMode : int { Gso, Datagram };

// Where and how the device description is served.
enum class UrlSlot { First, SecondOnly };

struct SimConfig {
    uint32_t ip = 0x7F000001;  // current address; the control channel listens here
    uint32_t mask = 0xFF000000;
    uint32_t gateway = 0;
    uint8_t mac[6] = {0x02, 0x56, 0x4F, 0x52, 0x00, 0x01};
    std::string vendor = "Vora Vision";
    std::string model = "Q3D-S Simulated";
    std::string version = "1.0.0-sim";
    std::string manufacturer_info = "simulated camera";
    std::string serial = "SIM00001";
    std::string user_name;
    uint32_t stream_channels = 3;
    uint32_t heartbeat_timeout_ms = 3000;
    uint64_t tick_frequency = 1000000000ULL;
    // Network interface the camera owns in its namespace; when set, a forced
    // IP configuration is applied to it, as a real camera reconfigures itself.
    std::string iface;

    // CMOS 0 and 2 see depth, CMOS 1 colour; stream channel n shows CMOS n.
    std::vector<SimSensor> sensors = default_sensors();
    uint32_t cloud_unit = 10;     // raw coordinate units per millimetre
    double temperature_c = 42.5;  // inside the camera, as its temperature register reports it
    // Depth noise: each point of a depth frame moves along its ray by up to
    // this many millimetres, differently in every frame (0: every frame the same).
    double depth_noise_mm = 0;
    double frame_rate = 10;  // frames per second while free-running
    int resend_history = 8;  // blocks kept for packet resend
    // Largest stream packet (IP and UDP headers included) the camera sends.
    uint32_t max_packet_size = 65535;
    // Trains where the kernel cuts them, else datagram by datagram.
    SendMode send = SendMode::Gso;
    // Some devices leave the stream source port register at 0.
    bool report_source_port = true;
    bool description_zipped = false;
    UrlSlot description_url = UrlSlot::First;
    // Serve this text as the description instead of the camera's own.
    std::string description_override;
    // The FTP service for firmware uploads (port 21 of the camera's address).
    bool ftp = true;
    std::string ftp_user = "vora1";
    std::string ftp_password = "Q3d!x";
    std::string ftp_root;  // where uploads land; empty: a fresh temporary directory
    // Frames from this feed, at its pace, instead of the rendered scene.
    std::shared_ptr<FrameFeed> feed;
    // Action commands and precision time; false: a camera without either.
    bool actions = true;
    uint32_t action_signals = 2;  // action signals (group key/mask pairs)
    uint32_t action_queue = 4;    // scheduled actions waiting at once
    // The precision time clock: listening before it steps to the master,
    // then settling its residual offset, then each slave reading off by up
    // to the jitter.
    uint32_t ptp_listen_ms = 200;
    uint32_t ptp_settle_ms = 800;
    uint32_t ptp_jitter_us = 1;

    static std::vector<SimSensor> default_sensors();
};

// How the camera misbehaves; each switch can change while it runs.
enum class Stray : int {
    None = 0,
    StaleId,      // an acknowledge for an earlier request id first
    ForeignPort,  // the right acknowledge, first from a port other than 3956
    Runt,         // the first six bytes of the acknowledge first
};

struct SimFaults {
    std::atomic<bool> silent{false};        // answer nothing, as if unplugged
    std::atomic<int> drop_next{0};          // leave the next N commands unanswered
    std::atomic<int> status{0};             // answer every command with this status
    std::atomic<int> delay_ms{0};           // answer this late
    std::atomic<int> stray{0};              // a Stray datagram before every answer
    std::atomic<int> discovery_ack_len{0};  // send discovery acks of this length (0: 256)
    // Register and memory access touching this address answers INVALID_ADDRESS...
    std::atomic<uint32_t> fail_address{0xFFFFFFFF};
    // ...except this many register reads of it first (a value read at
    // connection, refused to whoever reads it next).
    std::atomic<int> fail_address_reads_first{0};
    // Action commands: ignored altogether (no answer, nothing fires)...
    std::atomic<bool> action_ignore{false};
    // ...acknowledged this late, though fired at once...
    std::atomic<int> action_ack_delay_ms{0};
    // ...or answered and fired whatever their group key and mask.
    std::atomic<bool> action_any_group{false};
};

// How the camera's streams misbehave; each switch can change while it runs.
struct StreamFaults {
    std::atomic<double> loss_rate{0};  // each packet lost with this probability
    std::atomic<int> burst_every{0};   // every N-th frame loses a run of packets...
    std::atomic<int> burst_length{0};  // ...this long, from its middle
    std::atomic<bool> drop_leader{false};
    std::atomic<bool> drop_trailer{false};
    std::atomic<double> reorder_rate{0};       // a packet swapped with its successor
    std::atomic<double> duplicate_rate{0};     // a packet sent twice
    std::atomic<int> error_status{0};          // the next frame's payload carries this status
    std::atomic<int> block_id_jump{0};         // the next block id jumps by this much
    std::atomic<bool> restart_ids{false};      // the next block id starts again at 1
    std::atomic<bool> stray_datagrams{false};  // junk from another address between frames
    // Per frame, this many leaders of new blocks claiming 65535 x 65535
    // pixels, from the camera's address but another port.
    std::atomic<int> foreign_port_leaders{0};
    std::atomic<int> stop_after_packets{-1};  // send this many packets of the next frame, then nothing
    std::atomic<bool> ignore_resend{false};   // resend requests go unanswered
};

struct Peer {
    uint32_t ip = 0;
    uint16_t port = 0;
    bool operator==(const Peer& o) const { return ip == o.ip && port == o.port; }
    bool operator!=(const Peer& o) const { return !(*this == o); }
};

class SimCamera {
public:
    explicit SimCamera(const SimConfig& config = SimConfig());
    ~SimCamera();
    SimCamera(const SimCamera&) = delete;
    SimCamera& operator=(const SimCamera&) = delete;

    // Binds the control channel and starts answering; 0 or -errno.
    int start();
    void stop();

    const SimConfig& config() const { return config_; }
    // Current address (changes with a forced IP configuration).
    uint32_t ip() const { return ip_; }
    SimFaults faults;
    StreamFaults stream_faults;
    // Frames per second while free-running (starts at config().frame_rate).
    std::atomic<double> frame_rate{10};
    // How stream packets leave (starts at config().send); resent packets
    // always go datagram by datagram.
    std::atomic<SendMode> send_mode{SendMode::Gso};
    // Sends that carried a train of datagrams, over all channels.
    uint64_t stream_trains_sent();
    // Frames (blocks) sent, per channel.
    uint64_t frames_sent(int channel);
    // When the last packet of a recent block of the channel was handed to
    // the network (the 64 newest blocks are remembered); false if unknown.
    bool frame_sent_time(int channel, uint16_t block_id, std::chrono::steady_clock::time_point* when);

    // The device's own view of its registers (no privilege checks).
    uint32_t read_reg(uint32_t address);
    void write_reg(uint32_t address, uint32_t value);

    // Makes another application hold (true) or release (false) control.
    void set_foreign_control(bool held);
    bool controlled_by_someone();
    // Takes control away from whoever holds it, as a device reset would.
    void revoke_control();

    // Every command datagram received, in order of arrival.
    std::vector<std::vector<uint8_t>> commands();
    size_t command_count();
    void clear_commands();

    // Datagrams that reached the stream channels' source ports (firewall
    // openers), by channel.
    std::vector<std::pair<int, std::vector<uint8_t>>> stream_inbox();
    // Test packets sent, and those the network refused (too big to pass).
    int test_packets_sent() const { return test_packets_sent_; }

    // Ticks of the camera's timestamp clock now (tick_frequency per second).
    uint64_t timestamp_ticks() const;
    // The clock as it read `ago_ns` before now.
    uint64_t timestamp_ticks_ago(int64_t ago_ns) const;
    // The precision time state as the status register reports it.
    uint32_t ptp_status() const;
    // Triggers (software or action) not yet used by the streams. A trigger
    // set here directly carries no time: its frame is stamped when sent.
    std::atomic<int> software_triggers{0};
    std::atomic<int> rgb_software_triggers{0};
    // Action signals fired (a scheduled one when its time came), whether or
    // not a trigger was set up to take them.
    std::atomic<int> actions_fired{0};
    // Scheduled actions waiting for their time.
    size_t scheduled_actions();
    bool acquiring();
    // Files received by the FTP service, by remote name, and the directory
    // they are stored in.
    std::string ftp_directory() const;

    // Sends a datagram from the control port (to plant stale answers).
    int send_raw(uint32_t ip, uint16_t port, const void* data, size_t len);

private:
    using Clock = std::chrono::steady_clock;

    void serve();
    int bind_unicast(uint32_t ip);
    // `ago_ns`: how long ago the kernel received the datagram; an action
    // takes effect at its arrival, not when this thread got to it.
    void handle(const uint8_t* data, size_t len, const Peer& from, bool broadcast, int64_t ago_ns = 0);
    size_t on_discovery(uint16_t id, uint8_t* ack);
    // Applies a FORCEIP addressed to this camera's MAC; false when not ours.
    bool on_forceip(const uint8_t* data, size_t len);
    void apply_ip(uint32_t ip, uint32_t mask, uint32_t gateway);
    size_t on_readreg(const uint8_t* data, size_t len, uint16_t id, uint8_t* ack);
    size_t on_writereg(const uint8_t* data, size_t len, uint16_t id, const Peer& from, uint8_t* ack);
    size_t on_readmem(const uint8_t* data, size_t len, uint16_t id, uint8_t* ack);
    size_t on_writemem(const uint8_t* data, size_t len, uint16_t id, const Peer& from, uint8_t* ack);
    // Device-side effects of writing a register; a non-zero status refuses.
    uint16_t write_register(uint32_t address, uint32_t value, const Peer& from);
    bool may_write(const Peer& from) const;
    // ACTION_CMD (with mutex_ held): fires or queues what matches; the
    // acknowledge's length, 0 when none is due.
    size_t on_action(const uint8_t* data, size_t len, uint8_t flag, uint16_t id, uint8_t* ack, int64_t ago_ns);
    // Action signal `signal` fires at `ticks` of the camera's clock.
    void fire_action(uint32_t signal, uint64_t ticks);
    // Adds triggers for the depth or the colour sensors, taken at `ticks`.
    void add_triggers(bool colour, uint32_t count, uint64_t ticks);
    // The times of the triggers the scheduler just used, one per due
    // channel (0: none known), with mutex_ held.
    std::vector<uint64_t> take_trigger_stamps(bool triggered, bool rgb_triggered, const std::vector<bool>& colour,
                                              const std::vector<size_t>& due);
    // Fires scheduled actions when their time comes and sends late acknowledges.
    void action_loop();
    void set_ptp(bool on);

    // Behaviour of the camera's own registers (sim_behaviour.cpp), called
    // with mutex_ held: side effects of a write (a non-zero status refuses
    // it before it is stored), and refreshing registers that change by
    // themselves before they are read.
    uint16_t before_write(uint32_t address, uint32_t value);
    void after_write(uint32_t address, uint32_t value);
    void before_read(uint32_t address, uint32_t size);
    // The stream engine (sim_stream.cpp, over the scheduler, the frame
    // source, the resend server and the fault stage): sends each channel's
    // frames as GVSP packets.
    void start_streams();
    void stop_streams();
    void stream_loop();
    void queue_resend(const uint8_t* data, size_t len);
    struct Streams;
    std::shared_ptr<Streams> streams_;
    std::thread stream_thread_;

    // Services besides the control channel (the FTP server).
    int start_services();
    void stop_services();
    bool offline() const;
    void fire_test_packet(uint32_t channel, uint32_t request);
    void expire_privilege();
    void send_stray(const uint8_t* ack, size_t len, const Peer& to);

    SimConfig config_;
    std::mutex mutex_;  // guards memory_, the privilege and the command log
    DeviceMemory memory_;
    Peer holder_;
    bool held_ = false;
    bool foreign_ = false;
    Clock::time_point holder_seen_;
    std::vector<std::vector<uint8_t>> commands_;

    std::atomic<int> socket_{-1};  // unicast: commands to our address, all replies
    int broadcast_socket_ = -1;    // broadcasts to port 3956 (discovery, force IP)
    std::atomic<uint32_t> ip_{0};
    std::vector<int> stream_sockets_;  // one per channel: the source port of its packets
    std::vector<std::pair<int, std::vector<uint8_t>>> stream_inbox_;
    std::atomic<int> test_packets_sent_{0};
    Clock::time_point started_ = Clock::now();
    // The timestamp clock; clock_mutex_ is a leaf lock.
    mutable std::mutex clock_mutex_;
    std::unique_ptr<SimClock> clock_;
    // Under mutex_: the times of triggers not yet used (the newest ones,
    // never more than the counters hold), scheduled actions, and
    // acknowledges held back by a fault.
    std::deque<uint64_t> trigger_stamps_[2];  // depth, colour
    struct ScheduledAction {
        uint64_t time;
        uint32_t signal;
    };
    std::vector<ScheduledAction> scheduled_;
    struct HeldAck {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        Peer to;
    };
    std::vector<HeldAck> held_acks_;
    std::condition_variable action_wake_;
    std::thread action_thread_;
    std::atomic<long long> offline_until_ms_{0};  // rebooting: silent until then
    struct Services;
    std::shared_ptr<Services> services_;  // made where Services is complete
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// Bootstrap registers the simulator lays out, serves and describes beyond
// the shared constants of vora_base_type.h.
namespace bootstrap {
constexpr uint32_t VERSION = 0x0000;      // major in the high half, minor in the low
constexpr uint32_t DEVICE_MODE = 0x0004;  // endianness and character set
// Identity strings, zero-padded to their field's length.
constexpr uint32_t VENDOR_NAME = 0x0048;        // 32 bytes
constexpr uint32_t MODEL_NAME = 0x0068;         // 32
constexpr uint32_t DEVICE_VERSION = 0x0088;     // 32
constexpr uint32_t MANUFACTURER_INFO = 0x00A8;  // 48
constexpr uint32_t SERIAL_NUMBER = 0x00D8;      // 16
constexpr uint32_t USER_NAME = 0x00E8;          // 16, writable
constexpr uint32_t TICK_FREQUENCY_HIGH = 0x093C;
constexpr uint32_t TICK_FREQUENCY_LOW = 0x0940;
constexpr uint32_t TIMESTAMP_CONTROL = 0x0944;
constexpr uint32_t TIMESTAMP_LATCHED_HIGH = 0x0948;
constexpr uint32_t TIMESTAMP_LATCHED_LOW = 0x094C;
constexpr uint32_t GVCP_CONFIGURATION = 0x0954;
constexpr uint32_t PENDING_TIMEOUT = 0x0958;
constexpr uint32_t IEEE1588_STATUS = 0x096C;
constexpr uint32_t PRIMARY_APPLICATION_PORT = 0x0A04;
constexpr uint32_t PRIMARY_APPLICATION_IP = 0x0A14;
}  // namespace bootstrap

// Lays out the bootstrap registers of a GigE Vision device from the config.
void build_bootstrap(DeviceMemory& memory, const SimConfig& config);

}  // namespace vsim

#endif
