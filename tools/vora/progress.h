// Capture progress on stderr: a bar redrawn in place on a terminal, a plain
// line a second otherwise (logs and pipes keep every line they get).
#ifndef VORA_TOOL_PROGRESS_H
#define VORA_TOOL_PROGRESS_H

#include <string>
#include <vector>

namespace vora_tool {

class Progress {
public:
    // target: frames per channel when by_frames, else seconds; `doing` names
    // the work in the plain lines.
    Progress(bool by_frames, double target, std::vector<unsigned short> channels, const char* doing = "capturing");
    // Throttled; call as often as convenient.
    void update(double elapsed_s, const std::vector<unsigned>& captured);
    // Ends the bar's line.
    void finish(double elapsed_s, const std::vector<unsigned>& captured);

private:
    std::string counts(const std::vector<unsigned>& captured) const;
    void draw(double elapsed_s, const std::vector<unsigned>& captured);

    bool by_frames_;
    double target_;
    const char* doing_;
    std::vector<unsigned short> channels_;
    bool tty_;
    bool drawn_ = false;
    double last_ = -1;
};

}  // namespace vora_tool

#endif
