// Exported frame sets: frames of several cameras grouped by time stamp.
#include <memory>
#include <mutex>
#include <vector>

#include "api/api_frame_set.h"
#include "api/api_table.h"
#include "camera/vora_gige_camera.h"
#include "sync/frame_set.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr int kMaxSets = 16;
constexpr int kMaxMembers = 16;

// Handles are indexes into this table. Calls hold a set by its shared
// pointer, so that one closing it under another's wait frees nothing in use.
std::mutex table_mutex;
std::shared_ptr<framesync::FrameSet> table[kMaxSets];

std::shared_ptr<framesync::FrameSet> find_set(int set)
{
    if (set < 0 || set >= kMaxSets)
        return nullptr;
    std::lock_guard<std::mutex> lock(table_mutex);
    return table[set];
}

int check_members(const VoraSetMember* members, int count, std::vector<framesync::MemberSource>* out)
{
    for (int i = 0; i < count; ++i) {
        const VoraSetMember& member = members[i];
        if (member.channel > 2)
            return VORA_ERR_CHANNEL_INDEX;
        for (int j = 0; j < i; ++j)
            if (members[j].camera_index == member.camera_index && members[j].channel == member.channel)
                return VORA_ERR_INVALID_ARG;
        if (!camera_at(member.camera_index))
            return VORA_ERR_CAMERA_MISSING;
        GigeStream* stream = stream_at(member.camera_index, member.channel);
        if (!stream)
            return VORA_ERR_STREAM_MISSING;
        framesync::MemberSource source;
        source.camera_index = member.camera_index;
        source.channel = member.channel;
        source.stream = stream;
        out->push_back(source);
    }
    return VORA_OK;
}

// Time base HOST needs every member camera's clock mapping; without one
// the set keeps the cameras' own stamps and the log says so.
void take_mappings(std::vector<framesync::MemberSource>& sources, VoraFrameSetOptions* options)
{
    if (options->time_base != VORA_SET_TIME_HOST)
        return;
    for (framesync::MemberSource& source : sources) {
        VoraClockMapping mapping{};
        const int status = GetClockMapping(source.camera_index, &mapping);
        if (status == 0 && mapping.tick_frequency != 0) {
            source.mapping = mapping;
            continue;
        }
        if (GigeCamera* camera = camera_at(source.camera_index))
            camera->log.log_warnning(gvcp_log_warnning_level,
                                     "[function:OpenFrameSet] No clock mapping of camera %d (status %d): the frame "
                                     "set matches the cameras' own time stamps.",
                                     source.camera_index, status);
        options->time_base = VORA_SET_TIME_CAMERA;
        return;
    }
}

}  // namespace

void frame_sets_forget_stream(const GigeStream* stream)
{
    if (!stream)
        return;
    std::lock_guard<std::mutex> lock(table_mutex);
    for (auto& set : table)
        if (set)
            set->detach(stream);
}

extern "C" {

int OpenFrameSet(const VoraSetMember* members, int count, const VoraFrameSetOptions* options)
{
    try {
        if (!members || !options || count < 1 || count > kMaxMembers)
            return VORA_ERR_INVALID_ARG;
        if (options->tolerance_ns < 0 || options->wait_us < 0 ||
            (options->time_base != VORA_SET_TIME_CAMERA && options->time_base != VORA_SET_TIME_HOST))
            return VORA_ERR_INVALID_ARG;
        std::vector<framesync::MemberSource> sources;
        const int checked = check_members(members, count, &sources);
        if (checked != VORA_OK)
            return checked;
        VoraFrameSetOptions effective = *options;
        take_mappings(sources, &effective);

        std::lock_guard<std::mutex> lock(table_mutex);
        int handle = -1;
        for (int i = 0; i < kMaxSets && handle < 0; ++i)
            if (!table[i])
                handle = i;
        if (handle < 0)
            return VORA_ERR_FAILED;
        auto set = std::make_shared<framesync::FrameSet>(
            std::move(sources), effective,
            [](int camera_index, VoraClockMapping* mapping) { return GetClockMapping(camera_index, mapping); });
        const int started = set->start();
        if (started != VORA_OK)
            return started;
        table[handle] = std::move(set);
        return handle;
    } catch (...) {
        return VORA_ERR_FAILED;
    }
}

int NextFrameSet(int set, PhotoInfo* frames, VoraSetFrameInfo* member_info, VoraFrameSetInfo* info,
                 long long timeout_us)
{
    try {
        std::shared_ptr<framesync::FrameSet> found = find_set(set);
        if (!found)
            return VORA_ERR_FRAME_SET_MISSING;
        if (!frames)
            return VORA_ERR_INVALID_ARG;
        return found->next(frames, member_info, info, timeout_us);
    } catch (...) {
        return VORA_ERR_FAILED;
    }
}

int GetFrameSetStatistics(int set, VoraFrameSetStatistics* statistics)
{
    std::shared_ptr<framesync::FrameSet> found = find_set(set);
    if (!found)
        return VORA_ERR_FRAME_SET_MISSING;
    if (!statistics)
        return VORA_ERR_INVALID_ARG;
    found->statistics(statistics);
    return VORA_OK;
}

int CloseFrameSet(int set)
{
    std::shared_ptr<framesync::FrameSet> found;
    {
        std::lock_guard<std::mutex> lock(table_mutex);
        if (set < 0 || set >= kMaxSets || !table[set])
            return VORA_ERR_FRAME_SET_MISSING;
        found.swap(table[set]);
        // Stopped under the table's lock: a stream closing meanwhile waits
        // until no thread of this set captures from it.
        found->stop();
    }
    return VORA_OK;
}

}  // extern "C"
