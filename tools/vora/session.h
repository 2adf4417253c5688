// One camera taken through the library's exported interface, from discovery
// to the camera table's end. Whatever path a command leaves by, the session
// gives everything back: open channels are closed, acquisition stopped, the
// camera disconnected and the table destroyed.
#ifndef VORA_TOOL_SESSION_H
#define VORA_TOOL_SESSION_H

#include <string>

namespace vora_tool {

class CameraSession {
public:
    CameraSession() = default;
    ~CameraSession() { close(); }
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // Discovers, sorts the list by serial number (so that indexes stay put
    // between runs) and builds the camera table. Returns an exit code, with
    // the reason printed: no camera is kExitNoCamera.
    int discover();
    int camera_count() const { return count_; }

    // discover() and then the camera at index: kExitNoCamera when there is
    // none, kExitCamera when it cannot be connected.
    int connect(int index);
    int index() const { return index_; }
    std::string serial() const;

    // Returns the library's status; a channel opened here is closed by close().
    int stream_on(unsigned short channel);
    int acquisition_start();
    void acquisition_stop();
    void close_streams();
    // Everything above undone, in order; safe to call more than once.
    void close();

    // A feature's register, offset by a channel or sensor stride. Status
    // codes as the library's; a feature without a register is -21.
    int feature_address(const char* name, unsigned offset, unsigned* address) const;
    int read_feature(const char* name, unsigned offset, int* value) const;
    int write_feature(const char* name, unsigned offset, int value) const;

private:
    int index_ = -1;
    int count_ = 0;
    bool table_ = false;
    bool connected_ = false;
    bool acquiring_ = false;
    bool streams_[3] = {false, false, false};
};

}  // namespace vora_tool

#endif
