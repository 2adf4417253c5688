// Discovery, connection and the orderly end of a camera session.
#include "session.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common.h"
#include "vora_globals.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

double g_discovery_wait = kDefaultDiscoveryWait;

// " in 5 s of discovery": how long the cameras had to answer.
std::string waited_text()
{
    char text[48];
    std::snprintf(text, sizeof text, " in %g s of discovery", g_discovery_wait);
    return g_discovery_wait > 0 ? text : "";
}

void report_no_camera()
{
#ifdef VORA_TOOL_WITH_SIM
    report("no camera found" + waited_text() +
           " (is the camera on a network of this host? `vora sim` starts a simulated one; --wait waits longer)");
#else
    report("no camera found" + waited_text() + " (is the camera on a network of this host? --wait waits longer)");
#endif
}

}  // namespace

void set_discovery_wait(double seconds)
{
    g_discovery_wait = seconds;
}

int CameraSession::discover_until(const std::function<bool(int count)>& done)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(g_discovery_wait));
    for (;;) {
        // Each round listens until its answers stop coming (half a second
        // of quiet at least), so rounds pace themselves.
        const int found = DiscoverCamera();
        if (found < 0) {
            report_status("discovery failed", found);
            return kExitCamera;
        }
        count_ = found;
        if (found > 0) {
            const int sorted = CameraSort(SORT_BY_SERIAL_NUMBER);
            if (sorted != 0) {
                report_status("cannot sort the camera list", sorted);
                return kExitCamera;
            }
        }
        if (done(found) || Clock::now() >= deadline)
            return kExitOk;
        // A round that ends at once (no interface to ask on) is not repeated
        // in a busy loop.
        const auto pause = std::min<Clock::duration>(deadline - Clock::now(), std::chrono::milliseconds(100));
        if (pause > Clock::duration::zero())
            std::this_thread::sleep_for(pause);
        if (interrupted())
            return interrupted_exit_code();
    }
}

void CameraSession::build_table()
{
    CreateCamera();
    table_ = true;
}

int CameraSession::discover()
{
    const int code = discover_until([](int count) { return count > 0; });
    if (code != kExitOk)
        return code;
    if (count_ == 0) {
        report_no_camera();
        return kExitNoCamera;
    }
    build_table();
    return kExitOk;
}

int CameraSession::find(const std::string& selector, int* index)
{
    int code = discover_until([&](int) {
        int ignored = 0;
        std::string why;
        // A selector that names several cameras will not get better.
        return match(selector, &ignored, &why) != kExitNoCamera;
    });
    if (code != kExitOk)
        return code;
    if (count_ == 0) {
        report_no_camera();
        return kExitNoCamera;
    }
    std::string why;
    code = match(selector, index, &why);
    if (code != kExitOk) {
        report(why);
        return code;
    }
    build_table();
    return kExitOk;
}

namespace {

bool all_digits(const std::string& text)
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// "AA-BB-CC-DD-EE-FF" and "aa:bb:cc:dd:ee:ff" alike, or "" when not a MAC.
std::string normal_mac(std::string text)
{
    if (text.size() != 17)
        return "";
    for (size_t i = 0; i < text.size(); ++i) {
        char& c = text[i];
        if (i % 3 == 2) {
            if (c != ':' && c != '-')
                return "";
            c = ':';
        } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return "";
        } else {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return text;
}

}  // namespace

int CameraSession::match(const std::string& selector, int* index, std::string* why) const
{
    // An index of `vora list` first; a number that is none may still be a
    // serial number.
    if (all_digits(selector) && selector.size() < 8 && std::stoi(selector) < count_) {
        *index = std::stoi(selector);
        return kExitOk;
    }
    in_addr address;
    const bool is_ip = inet_pton(AF_INET, selector.c_str(), &address) == 1;
    const std::string mac = normal_mac(selector);
    std::vector<int> matches;
    for (int i = 0; i < count_; ++i) {
        const DiscoveryInfo& d = discovery_info[static_cast<size_t>(i)];
        const bool match = is_ip ? d.camera_ip == ntohl(address.s_addr)
                           : !mac.empty()
                               ? mac_text(d) == mac
                               : field_text(d.device_serial_number, sizeof d.device_serial_number) == selector;
        if (match)
            matches.push_back(i);
    }
    if (matches.empty()) {
        if (all_digits(selector))
            *why = "no camera " + selector + ": " + std::to_string(count_) + " found" + waited_text() +
                   " (indexes 0.." + std::to_string(count_ - 1) + ", see `vora list`)";
        else
            *why = "no camera with the " +
                   std::string(is_ip          ? "address "
                               : !mac.empty() ? "MAC "
                                              : "serial number ") +
                   selector + " among the " + std::to_string(count_) + " found" + waited_text() + " (see `vora list`)";
        return kExitNoCamera;
    }
    // A camera heard through two interfaces is listed twice: the same MAC.
    for (int i : matches) {
        if (mac_text(discovery_info[static_cast<size_t>(i)]) !=
            mac_text(discovery_info[static_cast<size_t>(matches[0])])) {
            std::string which;
            for (int m : matches)
                which += (which.empty() ? "" : ", ") + std::to_string(m);
            *why = "\"" + selector + "\" names several cameras (" + which + "); choose one by index or MAC";
            return kExitUsage;
        }
    }
    *index = matches[0];
    return kExitOk;
}

int CameraSession::find_each(const std::vector<std::string>& selectors, std::vector<int>* indexes)
{
    const auto all_named = [&] {
        for (const std::string& selector : selectors) {
            int ignored = 0;
            std::string why;
            if (match(selector, &ignored, &why) == kExitNoCamera)
                return false;
        }
        return true;
    };
    int code = discover_until([&](int) { return all_named(); });
    if (code != kExitOk)
        return code;
    if (count_ == 0) {
        report_no_camera();
        return kExitNoCamera;
    }
    indexes->clear();
    for (const std::string& selector : selectors) {
        int index = -1;
        std::string why;
        code = match(selector, &index, &why);
        if (code != kExitOk) {
            report(why);
            return code;
        }
        for (size_t k = 0; k < indexes->size(); ++k) {
            if (mac_text(discovery_info[static_cast<size_t>((*indexes)[k])]) ==
                mac_text(discovery_info[static_cast<size_t>(index)])) {
                report("\"" + selectors[k] + "\" and \"" + selector + "\" name the same camera");
                return kExitUsage;
            }
        }
        indexes->push_back(index);
    }
    build_table();
    return kExitOk;
}

int CameraSession::connect(const std::string& selector)
{
    int index = -1;
    const int code = find(selector, &index);
    if (code != kExitOk)
        return code;
    return connect_index(index);
}

int CameraSession::connect_index(int index)
{
    index_ = index;
    const int status = CameraConnect(index);
    if (status != 0) {
        report_status("cannot connect to camera " + std::to_string(index) + " (" + serial() + ")", status);
        return kExitCamera;
    }
    connected_ = true;
    return kExitOk;
}

std::string CameraSession::serial() const
{
    if (index_ < 0 || static_cast<size_t>(index_) >= discovery_info.size())
        return "";
    const DiscoveryInfo& info = discovery_info[static_cast<size_t>(index_)];
    return field_text(info.device_serial_number, sizeof info.device_serial_number);
}

int CameraSession::stream_on(unsigned short channel)
{
    const int status = StreamOn(index_, channel);
    if (status == 0 && channel < 3)
        streams_[channel] = true;
    return status;
}

int CameraSession::acquisition_start()
{
    // Marked before the call: a start the camera carried out but whose
    // answer was lost must still be stopped.
    acquiring_ = true;
    return AcquisitionStart(index_);
}

void CameraSession::acquisition_stop()
{
    if (!acquiring_)
        return;
    acquiring_ = false;
    const int status = AcquisitionStop(index_);
    if (status != 0)
        report_status("stopping acquisition", status);
}

void CameraSession::close_streams()
{
    for (unsigned short ch = 0; ch < 3; ++ch) {
        if (!streams_[ch])
            continue;
        streams_[ch] = false;
        const int status = StreamOff(index_, ch);
        if (status != 0)
            report_status("closing stream channel " + std::to_string(ch), status);
    }
}

void CameraSession::close()
{
    // Acquisition stops first, so that the camera does not keep sending to
    // ports that are about to close.
    acquisition_stop();
    close_streams();
    if (connected_) {
        connected_ = false;
        const int status = CameraDisconnect(index_);
        if (status != 0)
            report_status("disconnecting", status);
    }
    if (table_) {
        table_ = false;
        DestroyCamera();
    }
}

bool CameraSession::lost() const
{
    // A name lookup that needs no answer from the camera, refused only
    // once the library has let the camera go.
    return connected_ && GetRegisterAddr(index_, "PayloadSize") == VORA_ERR_NOT_CONNECTED;
}

void CameraSession::close_or_leave(int exit_code)
{
    struct Done {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    std::thread([this, done] {
        close();
        std::lock_guard<std::mutex> lock(done->mutex);
        done->done = true;
        done->cv.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(done->mutex);
    if (done->cv.wait_for(lock, std::chrono::seconds(3), [&] { return done->done; }))
        return;
    report("the camera does not answer; leaving without waiting for it");
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(exit_code);
}

int CameraSession::feature_address(const char* name, unsigned offset, unsigned* address) const
{
    const int base = GetRegisterAddr(index_, name);
    if (base < 0)
        return base;
    if (base == 0)
        return VORA_ERR_NO_NODE;  // a computed feature: no register behind it
    *address = static_cast<unsigned>(base) + offset;
    return VORA_OK;
}

int CameraSession::read_feature(const char* name, unsigned offset, int* value) const
{
    unsigned address = 0;
    const int status = feature_address(name, offset, &address);
    return status != 0 ? status : ReadRegister(index_, address, value);
}

int CameraSession::write_feature(const char* name, unsigned offset, int value) const
{
    unsigned address = 0;
    const int status = feature_address(name, offset, &address);
    return status != 0 ? status : WriteRegister(index_, address, value);
}

}  // namespace vora_tool
