// One camera taken through the library's exported interface, from discovery
// to the camera table's end. Whatever path a command leaves by, the session
// gives everything back: open channels are closed, acquisition stopped, the
// camera disconnected and the table destroyed.
#ifndef VORA_TOOL_SESSION_H
#define VORA_TOOL_SESSION_H

#include <functional>
#include <string>
#include <vector>

namespace vora_tool {

// How long a command keeps discovering until the camera it wants answers:
// on a loaded host an answer can miss a round's window. 0 is one round.
constexpr double kDefaultDiscoveryWait = 5;  // seconds
// The --wait every command that finds a camera takes (main reads it).
void set_discovery_wait(double seconds);

class CameraSession {
public:
    CameraSession() = default;
    ~CameraSession() { close(); }
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // Discovers until a camera answers or the discovery wait passes, sorts
    // the list by serial number (so that indexes stay put between runs) and
    // builds the camera table. Returns an exit code, with the reason
    // printed: no camera is kExitNoCamera.
    int discover();
    int camera_count() const { return count_; }

    // Discovers until the camera that `selector` names (an index, a serial
    // number, an IP or a MAC address) answers or the discovery wait passes,
    // then builds the table as discover() does and puts its index into
    // *index. kExitNoCamera when none matches, kExitUsage when it names
    // different cameras.
    int find(const std::string& selector, int* index);
    // find() and connect: kExitNoCamera when there is no such camera,
    // kExitCamera when it cannot be connected.
    int connect(const std::string& selector);
    int index() const { return index_; }

    // Several cameras in one process share one discovery and one table:
    // find_each() discovers until every selector names a camera (or the
    // wait passes), builds the table once, and puts their indexes into
    // *indexes in order; exit codes as find(), and two selectors naming
    // one camera are a usage error. This session then owns the table;
    // each camera is taken by a session of its own through
    // connect_index(), which gives back the camera but never the table, so
    // those sessions close before this one.
    int find_each(const std::vector<std::string>& selectors, std::vector<int>* indexes);
    int connect_index(int index);
    std::string serial() const;

    // Returns the library's status; a channel opened here is closed by close().
    int stream_on(unsigned short channel);
    int acquisition_start();
    void acquisition_stop();
    void close_streams();
    // Everything above undone, in order; safe to call more than once.
    void close();
    // True once the library has given the camera up (its heartbeat went
    // unanswered); asks nothing of the camera.
    bool lost() const;
    // close() for a camera that is gone: its teardown may wait on commands
    // nobody answers, so past a few seconds the process ends with
    // exit_code instead (the operating system frees what is left).
    void close_or_leave(int exit_code);

    // A feature's register, offset by a channel or sensor stride. Status
    // codes as the library's; a feature without a register is -21.
    int feature_address(const char* name, unsigned offset, unsigned* address) const;
    int read_feature(const char* name, unsigned offset, int* value) const;
    int write_feature(const char* name, unsigned offset, int value) const;

    // Rounds of discovery until done(count) holds of the list (sorted) or
    // the wait passes, without building the table. An exit code: kExitOk
    // whatever was found.
    int discover_until(const std::function<bool(int count)>& done);

private:
    // The camera `selector` names in the list: an exit code, and when it is
    // not kExitOk the reason in *why.
    int match(const std::string& selector, int* index, std::string* why) const;
    void build_table();

    int index_ = -1;
    int count_ = 0;
    bool table_ = false;
    bool connected_ = false;
    bool acquiring_ = false;
    bool streams_[3] = {false, false, false};
};

}  // namespace vora_tool

#endif
