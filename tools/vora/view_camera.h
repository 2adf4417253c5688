// The camera side of `vora view`. One thread owns the camera: it captures
// the open channels, samples the library's statistics once a second and
// carries out what the pages ask for (feature writes, a new region of
// interest) between captures. The server's threads read what it publishes,
// encode frames and save them; they reach the library only through
// with_camera(), which close() waits out, so that nothing touches the
// camera table once it is gone.
#ifndef VORA_TOOL_VIEW_CAMERA_H
#define VORA_TOOL_VIEW_CAMERA_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "channels.h"
#include "named_features.h"
#include "session.h"
#include "view_frames.h"

namespace vora_tool {
namespace view {

// An answer to a page: the HTTP status and a JSON document.
struct Reply {
    int status = 200;
    std::string json;
};

// A JSON document {"error": message}.
std::string error_json(const std::string& message);

class Viewer {
public:
    Viewer(CameraSession& session, std::string out_dir) : s_(session), opener_(session), out_dir_(std::move(out_dir)) {}
    Viewer(const Viewer&) = delete;
    Viewer& operator=(const Viewer&) = delete;

    // Opens the channels (all of the camera's when empty), reads the
    // description and starts acquisition. An exit code, the reason printed.
    int open(const std::vector<unsigned short>& channels);
    // Captures and serves requests until interrupted or the camera is
    // lost; an exit code.
    int run();
    // Stops acquisition, closes the channels, disconnects, after every
    // reader of the camera has left; then wakes every waiting request.
    void close();

    // ---- for the server's threads ----
    int camera() const { return cam_; }
    FrameStore& frames() { return frames_; }
    // Runs use() while the camera is open; false once it is closed.
    bool with_camera(const std::function<void()>& use);
    // True when the channel was opened.
    bool has_channel(unsigned short channel) const;
    // The first open colour channel, or -1.
    int colour_channel() const;
    // Whether a frame's bytes may be read (within with_camera()): a lent
    // one only while the streams it came from are still open.
    bool current(const Frame& frame) const { return !frame.lent.held() || frame.generation == generation_; }

    std::string info_json() const;
    // The colour map of the depth images, as stops from near to far.
    static std::string colour_map_json();
    // The controls with their types, ranges, entries and current values,
    // as the library describes the features now.
    Reply controls();
    // Writes a control's feature (NAME and index as in controls()) from
    // the value's text: its value read back, or what the camera or library
    // refused ("refused", with the status, its text and the library's
    // message, and the range the value missed). A value of the wrong kind
    // for the feature is a bad request.
    Reply set(const std::string& name, int index, const std::string& value);
    // Saves the frames of the given seqs (by channel) with the capture
    // command's writers into a new folder of the output folder (a frame no
    // longer held is replaced by the channel's newest, and the reply's note
    // says so); fuse_channel >= 0 also writes that depth channel fused with
    // the colour frame.
    Reply save(const std::map<unsigned short, uint32_t>& seqs, int fuse_channel);
    // The last minute of statistics once a sample newer than `after` exists
    // or at the deadline; empty once stopped.
    std::string statistics(uint32_t after, std::chrono::steady_clock::time_point deadline);

private:
    struct Channel : StreamChannel {
        explicit Channel(const StreamChannel& chosen) : StreamChannel(chosen) {}
        uint32_t width = 0, height = 0;
    };
    // A feature the page offers: index is its selector's value (when
    // selected) or the stream channel (region).
    struct ControlDef {
        std::string name;
        int index = 0;
        bool selected = false;
        std::string label;
        bool region() const;
        std::string id() const { return name + "[" + std::to_string(index) + "]"; }
    };
    struct Sample {
        uint32_t seq;
        std::string json;  // one sample as a JSON object
    };

    int open_channels();
    void capture(Channel& c);
    void sample_statistics(double seconds);
    // Queues work for the camera's thread and waits for its reply.
    Reply on_camera_thread(const std::function<Reply()>& work);
    void run_queued();
    Reply apply(const ControlDef& control, const std::string& value);
    // Describes the control's feature for its index (selecting it first).
    int describe(const ControlDef& control, Feature* f);
    int read(const ControlDef& control, const Feature& f, FeatureValue* v);
    // Closes and reopens every channel around a change of their frames' size.
    int reopen_around(const std::function<int()>& change);
    const ControlDef* find_control(const std::string& name, int index) const;
    void build_controls();

    CameraSession& s_;
    ChannelOpener opener_;
    int cam_ = -1;
    std::string out_dir_;
    std::unique_ptr<NamedFeatures> features_;  // the camera thread's
    std::vector<Channel> channels_;            // the camera thread's; sizes mirrored below
    std::vector<ControlDef> controls_;
    FrameStore frames_;

    // with_camera() against close().
    std::shared_mutex gate_;
    bool open_ = false;
    // Bumped, under gate_, each time the streams close: lent frames of an
    // earlier one are no longer read.
    std::atomic<uint32_t> generation_{0};

    // Work for the camera's thread.
    struct Job {
        std::function<Reply()> work;
        Reply reply;
        bool done = false;
    };
    std::mutex jobs_mutex_;
    std::condition_variable jobs_done_;
    std::deque<std::shared_ptr<Job>> jobs_;
    bool jobs_closed_ = false;

    // Statistics, and the channel sizes the pages see.
    mutable std::mutex state_mutex_;
    std::condition_variable state_changed_;
    std::deque<Sample> samples_;
    uint32_t sample_seq_ = 0;
    bool stopped_ = false;
    std::map<unsigned short, std::pair<uint32_t, uint32_t>> sizes_;
    std::map<unsigned short, unsigned> formats_;

    std::mutex save_mutex_;  // one save at a time, numbered in order
    bool failed_ = false;
};

}  // namespace view
}  // namespace vora_tool

#endif
