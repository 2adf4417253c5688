// What the simulated camera does beyond storing register values: the
// timestamp clock and its latch, acquisition state, software triggers, the
// reboot after a firmware update, and the FTP service that takes firmware
// images.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "gvcp_codec.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_ftp_faults.h"
#include "socket_address.h"
#include "vora_base_type.h"

namespace vsim {

namespace {

using Steady = std::chrono::steady_clock;

using bootstrap::GVCP_CONFIGURATION;
using bootstrap::PRIMARY_APPLICATION_IP;
using bootstrap::PRIMARY_APPLICATION_PORT;
using bootstrap::TIMESTAMP_CONTROL;
using bootstrap::TIMESTAMP_LATCHED_HIGH;
using bootstrap::TIMESTAMP_LATCHED_LOW;
constexpr uint32_t TIMESTAMP_RESET = 1;
constexpr uint32_t TIMESTAMP_LATCH = 2;

constexpr uint32_t REBOOT_KEY = 0x111F;
constexpr long long REBOOT_MS = 1500;  // off the network while restarting

constexpr uint16_t FTP_PORT = 21;
constexpr int POLL_MS = 20;          // how soon the service notices a stop
constexpr int DATA_WAIT_MS = 5000;   // for the client's data connection
constexpr int IDLE_DATA_MS = 10000;  // a stalled upload is given up
constexpr size_t MAX_COMMAND_LINE = 4096;

long long steady_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}

// The simulated grandmaster: the host's CLOCK_REALTIME.
long long realtime_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

long long steady_ms()
{
    return steady_ns() / 1000000;
}

// Per-camera state that free functions reach by camera address: the FTP
// fault switches and command log for tests.
struct Record {
    FtpFaults faults;
    std::mutex mutex;  // guards commands and connections
    std::vector<std::string> commands;
    int connections = 0;
};

// Leaf lock: nothing else is locked while it is held.
std::mutex& registry_mutex()
{
    static std::mutex m;
    return m;
}

std::map<const SimCamera*, std::shared_ptr<Record>>& registry()
{
    static std::map<const SimCamera*, std::shared_ptr<Record>> r;
    return r;
}

std::shared_ptr<Record> record(const SimCamera* camera)
{
    std::lock_guard<std::mutex> lock(registry_mutex());
    std::shared_ptr<Record>& r = registry()[camera];
    if (!r)
        r = std::make_shared<Record>();
    return r;
}

std::shared_ptr<Record> find_record(const SimCamera* camera)
{
    std::lock_guard<std::mutex> lock(registry_mutex());
    auto it = registry().find(camera);
    return it == registry().end() ? nullptr : it->second;
}

// A camera stopped at this address must not hand its state to the next one.
void forget(const SimCamera* camera)
{
    std::lock_guard<std::mutex> lock(registry_mutex());
    registry().erase(camera);
}

bool send_text(int fd, const std::string& text)
{
    const std::string line = text + "\r\n";
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Adds without wrapping past INT_MAX; a host may write any 32-bit count.
void add_count(std::atomic<int>& counter, uint32_t value)
{
    if (static_cast<int32_t>(value) <= 0)
        return;
    int current = counter.load();
    int next;
    do {
        next = current > INT_MAX - static_cast<int>(value) ? INT_MAX : current + static_cast<int>(value);
    } while (!counter.compare_exchange_weak(current, next));
}

}  // namespace

// ---- FTP service ----
// One control connection at a time, which is all a firmware upload needs.

struct SimCamera::Services {
    std::shared_ptr<Record> record;
    std::string directory;
    bool own_directory = false;  // made by us, removed at stop
    uint32_t ip = 0;
    std::string user;
    std::string password;
    int listener = -1;
    std::atomic<bool> stop{false};
    std::thread thread;

    void serve();
    void session(int control);
    bool read_line(int control, std::string& pending, std::string* line);
    std::string open_passive(int* passive);
    std::string store(int control, int* passive, const std::string& remote);
    int accept_data(int passive);
    void log_command(const std::string& line);
};

void SimCamera::Services::serve()
{
    while (!stop) {
        pollfd p = {listener, POLLIN, 0};
        if (poll(&p, 1, POLL_MS) <= 0)
            continue;
        const int control = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (control < 0)
            continue;
        {
            std::lock_guard<std::mutex> lock(record->mutex);
            ++record->connections;
        }
        session(control);
        close(control);
    }
}

void SimCamera::Services::log_command(const std::string& line)
{
    std::lock_guard<std::mutex> lock(record->mutex);
    record->commands.push_back(line);
}

// One command line without its line end; false when the client left, the
// line is absurdly long, or the service stops.
bool SimCamera::Services::read_line(int control, std::string& pending, std::string* line)
{
    for (;;) {
        const size_t end = pending.find('\n');
        if (end != std::string::npos) {
            *line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line->empty() && line->back() == '\r')
                line->pop_back();
            return true;
        }
        if (pending.size() > MAX_COMMAND_LINE || stop)
            return false;
        pollfd p = {control, POLLIN, 0};
        if (poll(&p, 1, POLL_MS) <= 0)
            continue;
        char buffer[1024];
        const ssize_t n = recv(control, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        pending.append(buffer, static_cast<size_t>(n));
    }
}

void SimCamera::Services::session(int control)
{
    std::string pending;
    std::string given_user;
    bool logged_in = false;
    int passive = -1;
    send_text(control, "220 Camera file service ready.");
    std::string line;
    while (read_line(control, pending, &line)) {
        log_command(line);
        const size_t space = line.find(' ');
        std::string verb = line.substr(0, space);
        const std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
        for (char& ch : verb)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));

        std::string answer;
        if (verb == "USER") {
            given_user = argument;
            logged_in = false;
            answer = "331 User name taken, password next.";
        } else if (verb == "PASS") {
            logged_in = !record->faults.refuse_login && given_user == user && argument == password;
            answer = logged_in ? "230 Logged in." : "530 Wrong user name or password.";
        } else if (verb == "SYST") {
            answer = "215 UNIX Type: L8";
        } else if (verb == "TYPE") {
            answer = argument == "I" || argument == "i" ? "200 Type set to I." : "504 Only binary transfers are taken.";
        } else if (verb == "NOOP") {
            answer = "200 Still here.";
        } else if (verb == "PASV") {
            answer = open_passive(&passive);
        } else if (verb == "STOR") {
            if (!logged_in || record->faults.refuse_stor) {
                answer = logged_in ? "553 Storing refused." : "550 Log in before storing.";
                if (passive >= 0)
                    close(passive);
                passive = -1;
            } else {
                answer = store(control, &passive, argument);
            }
        } else if (verb == "QUIT") {
            send_text(control, "221 Closing the control connection.");
            break;
        } else {
            answer = "502 Not implemented.";
        }
        if (!send_text(control, answer))
            break;
    }
    if (passive >= 0)
        close(passive);
}

std::string SimCamera::Services::open_passive(int* passive)
{
    if (*passive >= 0)
        close(*passive);
    *passive = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr = make_addr(ip, 0);
    socklen_t len = sizeof addr;
    if (*passive < 0 || bind(*passive, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(*passive, 1) != 0 || getsockname(*passive, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        if (*passive >= 0)
            close(*passive);
        *passive = -1;
        return "425 No passive port available.";
    }
    const unsigned port = ntohs(addr.sin_port);
    // TEST-NET-2: an address no client can reach, to show where the client connects.
    const uint32_t shown = record->faults.pasv_foreign_address ? 0xC6336407u : ip;
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%u,%u,%u,%u,%u,%u", shown >> 24, (shown >> 16) & 0xFF, (shown >> 8) & 0xFF,
                  shown & 0xFF, port >> 8, port & 0xFF);
    if (record->faults.pasv_without_parentheses)
        return std::string("227 Entering Passive Mode ") + numbers + ".";
    return std::string("227 Entering Passive Mode (") + numbers + ").";
}

int SimCamera::Services::accept_data(int passive)
{
    const long long deadline = steady_ms() + DATA_WAIT_MS;
    while (!stop && steady_ms() < deadline) {
        pollfd p = {passive, POLLIN, 0};
        if (poll(&p, 1, POLL_MS) > 0)
            return accept4(passive, nullptr, nullptr, SOCK_CLOEXEC);
    }
    return -1;
}

// Receives one file on the passive connection; the answer that completes it.
std::string SimCamera::Services::store(int control, int* passive, const std::string& remote)
{
    if (*passive < 0)
        return "425 Send PASV before STOR.";
    const int listening = *passive;
    *passive = -1;
    // Only the file name counts: uploads never leave the service's directory.
    const std::string name =
        remote.substr(remote.find_last_of('/') == std::string::npos ? 0 : remote.find_last_of('/') + 1);
    if (name.empty() || name == "." || name == "..") {
        close(listening);
        return "553 File name refused.";
    }
    const std::string path = directory + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        close(listening);
        return "553 File name refused.";
    }
    send_text(control, "150 Opening the data connection.");
    const int data = accept_data(listening);
    close(listening);
    if (data < 0) {
        std::fclose(file);
        std::remove(path.c_str());
        return "425 The data connection never came.";
    }

    const long long cut = record->faults.cut_after_bytes;
    long long received = 0;
    long long last_data = steady_ms();
    bool complete = false;
    bool aborted = false;
    char buffer[65536];
    while (!stop) {
        if (cut >= 0 && received >= cut) {
            aborted = true;
            break;
        }
        pollfd p = {data, POLLIN, 0};
        if (poll(&p, 1, POLL_MS) <= 0) {
            if (steady_ms() - last_data > IDLE_DATA_MS) {
                aborted = true;
                break;
            }
            continue;
        }
        size_t want = sizeof buffer;
        if (cut >= 0 && static_cast<long long>(want) > cut - received)
            want = static_cast<size_t>(cut - received);
        const ssize_t n = recv(data, buffer, want, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0) {
            complete = true;
            break;
        }
        if (n < 0 || std::fwrite(buffer, 1, static_cast<size_t>(n), file) != static_cast<size_t>(n)) {
            aborted = true;
            break;
        }
        received += n;
        last_data = steady_ms();
    }
    if (aborted) {
        // A reset rather than an orderly close: the sender's next write fails.
        linger hard = {1, 0};
        setsockopt(data, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    close(data);
    const bool written = std::fclose(file) == 0;
    if (!complete || !written) {
        std::remove(path.c_str());
        return "426 Transfer aborted; nothing stored.";
    }
    return "226 Transfer complete, file stored.";
}

int SimCamera::start_services()
{
    auto services = std::make_shared<Services>();
    services->record = record(this);
    services->ip = ip();
    services->user = config_.ftp_user;
    services->password = config_.ftp_password;
    if (!config_.ftp_root.empty()) {
        services->directory = config_.ftp_root;
    } else if (config_.ftp) {
        std::error_code ec;
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "vora-camsim-ftp-XXXXXX").string();
        if (ec)
            pattern = "/tmp/vora-camsim-ftp-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data()))
            return -errno;
        services->directory = buffer.data();
        services->own_directory = true;
    }
    services_ = services;
    if (!config_.ftp)
        return 0;

    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -errno;
    // A restarted camera takes its port back despite connections in TIME_WAIT.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = make_addr(services->ip, FTP_PORT);
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 4) != 0) {
        const int err = errno;
        close(s);
        return -err;
    }
    services->listener = s;
    services->thread = std::thread(&Services::serve, services.get());
    return 0;
}

void SimCamera::stop_services()
{
    std::shared_ptr<Services> services = std::move(services_);
    services_.reset();
    if (services) {
        services->stop = true;
        if (services->thread.joinable())
            services->thread.join();
        if (services->listener >= 0)
            close(services->listener);
        if (services->own_directory) {
            std::error_code ec;
            std::filesystem::remove_all(services->directory, ec);
        }
    }
    forget(this);
}

std::string SimCamera::ftp_directory() const
{
    return services_ ? services_->directory : config_.ftp_root;
}

FtpFaults& ftp_faults(const SimCamera* camera)
{
    return record(camera)->faults;
}

std::vector<std::string> ftp_commands(const SimCamera* camera)
{
    std::shared_ptr<Record> r = find_record(camera);
    if (!r)
        return {};
    std::lock_guard<std::mutex> lock(r->mutex);
    return r->commands;
}

int ftp_connections(const SimCamera* camera)
{
    std::shared_ptr<Record> r = find_record(camera);
    if (!r)
        return 0;
    std::lock_guard<std::mutex> lock(r->mutex);
    return r->connections;
}

// ---- registers ----

uint64_t SimCamera::timestamp_ticks() const
{
    std::lock_guard<std::mutex> lock(clock_mutex_);
    return clock_->ticks(steady_ns(), realtime_ns());
}

uint64_t SimCamera::timestamp_ticks_ago(int64_t ago_ns) const
{
    std::lock_guard<std::mutex> lock(clock_mutex_);
    return clock_->ticks(steady_ns() - ago_ns, realtime_ns() - ago_ns);
}

uint32_t SimCamera::ptp_status() const
{
    std::lock_guard<std::mutex> lock(clock_mutex_);
    return static_cast<uint32_t>(clock_->state(steady_ns()));
}

void SimCamera::set_ptp(bool on)
{
    std::lock_guard<std::mutex> lock(clock_mutex_);
    clock_->set_ptp(on, steady_ns(), realtime_ns());
}

void SimCamera::add_triggers(bool colour, uint32_t count, uint64_t ticks)
{
    if (static_cast<int32_t>(count) <= 0)
        return;
    add_count(colour ? rgb_software_triggers : software_triggers, count);
    // The newest triggers' times; older ones beyond this are stamped when sent.
    constexpr size_t KEPT = 1024;
    std::deque<uint64_t>& stamps = trigger_stamps_[colour ? 1 : 0];
    for (uint32_t k = 0; k < count && k < KEPT; ++k)
        stamps.push_back(ticks);
    while (stamps.size() > KEPT)
        stamps.pop_front();
}

// The stamps cover the newest triggers; the scheduler uses the oldest. So a
// used trigger has a stamp only when fewer triggers are left than stamps.
std::vector<uint64_t> SimCamera::take_trigger_stamps(bool triggered, bool rgb_triggered,
                                                     const std::vector<bool>& colour, const std::vector<size_t>& due)
{
    std::vector<uint64_t> out(due.size(), 0);
    for (int kind = 0; kind < 2; ++kind) {
        if (!(kind ? rgb_triggered : triggered))
            continue;
        std::vector<size_t> used;  // positions in `due` that took a trigger of this kind
        for (size_t k = 0; k < due.size(); ++k)
            if (due[k] < colour.size() && colour[due[k]] == (kind == 1))
                used.push_back(k);
        std::deque<uint64_t>& stamps = trigger_stamps_[kind];
        if (used.empty())
            continue;
        // The scheduler used one trigger of this kind for all of them; the
        // stamps beyond those of the triggers left belong to triggers taken
        // away without a frame, and then to this one.
        const int left = std::max(0, (kind ? rgb_software_triggers : software_triggers).load());
        if (stamps.size() <= static_cast<size_t>(left))
            continue;  // a trigger set without a time: stamped when sent
        while (stamps.size() > static_cast<size_t>(left) + 1)
            stamps.pop_front();
        for (size_t k : used)
            out[k] = stamps.front();
        stamps.pop_front();
    }
    return out;
}

bool SimCamera::acquiring()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return memory_.reg(REG_ACQUISITION_STATUS) == 1;
}

bool SimCamera::offline() const
{
    return steady_ms() < offline_until_ms_.load();
}

// Value checks are the host's business; the camera stores what it is given.
uint16_t SimCamera::before_write(uint32_t, uint32_t)
{
    return 0;
}

void SimCamera::after_write(uint32_t address, uint32_t value)
{
    switch (address) {
    case TIMESTAMP_CONTROL:
        if (value & TIMESTAMP_RESET) {
            // A clock that follows a master is not the camera's to reset.
            std::lock_guard<std::mutex> lock(clock_mutex_);
            clock_->reset(steady_ns());
        }
        if (value & TIMESTAMP_LATCH) {
            const uint64_t ticks = timestamp_ticks();
            memory_.set_reg(TIMESTAMP_LATCHED_HIGH, static_cast<uint32_t>(ticks >> 32));
            memory_.set_reg(TIMESTAMP_LATCHED_LOW, static_cast<uint32_t>(ticks));
        }
        memory_.set_reg(TIMESTAMP_CONTROL, 0);  // the control bits act once
        break;
    case REG_ACQUISITION_START:
        if (value != 0)
            memory_.set_reg(REG_ACQUISITION_STATUS, 1);
        break;
    case REG_ACQUISITION_STOP:
        memory_.set_reg(REG_ACQUISITION_STATUS, 0);
        break;
    case GVCP_CONFIGURATION:
        if (!config_.actions) {
            // No precision time on this camera: the bit does not stick.
            memory_.set_reg(GVCP_CONFIGURATION, value & ~gvcp::CONFIGURATION_IEEE1588);
            break;
        }
        set_ptp(value & gvcp::CONFIGURATION_IEEE1588);
        break;
    case REG_TRIGGER_SOFTWARE:
        // Stamped with the moment of the write, not when the frame goes out.
        add_triggers(false, value, timestamp_ticks());
        break;
    case REG_RGB_TRIGGER_SOFTWARE:
        add_triggers(true, value, timestamp_ticks());
        break;
    case REG_DEVICE_REBOOT:
        if (value == REBOOT_KEY && memory_.reg(REG_FIRMWARE_UPDATE) == 1) {
            // Applying the update: off the network for a moment, and back
            // as a freshly started camera that nobody controls.
            offline_until_ms_ = steady_ms() + REBOOT_MS;
            held_ = false;
            foreign_ = false;
            holder_ = Peer{};
            memory_.set_reg(Control_Channel_Privilage_Reg, 0);
            memory_.set_reg(PRIMARY_APPLICATION_PORT, 0);
            memory_.set_reg(PRIMARY_APPLICATION_IP, 0);
            memory_.set_reg(Heartbeat_Timeout_Reg, config_.heartbeat_timeout_ms);
            memory_.set_reg(REG_ACQUISITION_STATUS, 0);
            memory_.set_reg(REG_FIRMWARE_UPDATE, 0);
            memory_.set_reg(REG_DEVICE_REBOOT, 0);
            memory_.set_reg(GVCP_CONFIGURATION, 0);
            scheduled_.clear();
            std::lock_guard<std::mutex> lock(clock_mutex_);
            clock_->restart(steady_ns());
        }
        break;
    default:
        break;
    }
}

// Only the precision time state changes on its own between reads; the latch
// and the acquisition state are updated when they are written.
void SimCamera::before_read(uint32_t address, uint32_t size)
{
    if (address <= gvcp::IEEE1588_STATUS_REG && gvcp::IEEE1588_STATUS_REG < uint64_t(address) + size)
        memory_.set_reg(gvcp::IEEE1588_STATUS_REG, ptp_status());
}

}  // namespace vsim
