// Recording a camera's streams into MCAP files, and reading recordings back.
// Recordings are kept by camera index, open readers by a number of their
// own; both tables are locked, the work of each entry by its own lock.
#include <cctype>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "api/api_record.h"
#include "api/api_table.h"
#include "camera/vora_gige_camera.h"
#include "imaging/binary_cloud_writers.h"
#include "imaging/cloud_writers.h"
#include "imaging/depth_preview.h"
#include "imaging/image_png_writer.h"
#include "imaging/image_writers.h"
#include "imaging/pixel_format.h"
#include "imaging/png_writer.h"
#include "record/recorder.h"
#include "record/recording.h"
#include "stream/vora_gige_stream.h"

namespace {

constexpr int MAX_OPEN_RECORDINGS = 64;

struct Session {
    record::Recorder recorder;
    int index = -1;
    GigeStream* streams[3] = {nullptr, nullptr, nullptr};
};

struct Statistics {
    unsigned long long frames = 0, dropped = 0, bytes = 0;
    bool recorded[3] = {false, false, false};
    record::ChannelFigures channels[3];
};

std::mutex sessions_mutex;
std::map<int, std::unique_ptr<Session>> sessions;
std::map<int, Statistics> last_statistics;

struct OpenReader {
    std::mutex mutex;
    record::RecordingReader reader;
};
std::mutex readers_mutex;
std::vector<std::shared_ptr<OpenReader>> readers(MAX_OPEN_RECORDINGS);

std::shared_ptr<OpenReader> reader_at(int recording)
{
    std::lock_guard<std::mutex> lock(readers_mutex);
    if (recording < 0 || recording >= MAX_OPEN_RECORDINGS)
        return nullptr;
    return readers[static_cast<size_t>(recording)];
}

Statistics statistics_of(const Session& s)
{
    Statistics out;
    out.frames = s.recorder.frames_written();
    out.dropped = s.recorder.frames_dropped();
    out.bytes = s.recorder.bytes_written();
    for (unsigned ch = 0; ch < 3; ++ch)
        out.recorded[ch] = s.recorder.channel_figures(ch, &out.channels[ch]);
    return out;
}

// The figures of the camera's running recording, or of its last one.
bool find_statistics(int index, Statistics* out)
{
    const auto running = sessions.find(index);
    if (running != sessions.end()) {
        *out = statistics_of(*running->second);
        return true;
    }
    const auto last = last_statistics.find(index);
    if (last == last_statistics.end())
        return false;
    *out = last->second;
    return true;
}

// Detaches the taps, finishes the file; the session's lock is held.
int finish(Session& s)
{
    for (int ch = 0; ch < 3; ++ch)
        if (s.streams[ch] && stream_at(s.index, ch) == s.streams[ch])
            s.streams[ch]->SetFrameTap(nullptr);
    const int e = s.recorder.stop();
    last_statistics[s.index] = statistics_of(s);
    return e ? VORA_ERR_RECORDING_IO : VORA_OK;
}

// A stream channel's register (the channel's own, by the channel stride):
// true and its value, or false when it cannot be read.
bool read_channel_register(GigeCamera& camera, const char* name, int channel, int* value)
{
    unsigned address = 0;
    if (camera.feature_register(name, STREAM_CHANNEL_REG_STRIDE * static_cast<unsigned>(channel), &address) != 0)
        return false;
    return camera.ReadRegister(address, value) == 0;
}

// A ROS name token: a letter, then letters, digits and '_'.
bool valid_ros_name(const char* name)
{
    const size_t n = std::strlen(name);
    if (n == 0 || n > 64 || !std::isalpha(static_cast<unsigned char>(name[0])))
        return false;
    for (size_t i = 0; i < n; ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i])) && name[i] != '_')
            return false;
    return true;
}

void copy_text(char* out, unsigned int capacity, const std::string& text)
{
    if (!out || capacity == 0)
        return;
    const size_t n = std::min<size_t>(capacity - 1, text.size());
    std::memcpy(out, text.data(), n);
    out[n] = 0;
}

}  // namespace

void stop_all_recordings()
{
    std::lock_guard<std::mutex> lock(sessions_mutex);
    for (auto& [index, session] : sessions)
        finish(*session);
    sessions.clear();
}

extern "C" {

int StartRecording(int index, unsigned int channel_mask, const char* path, unsigned int options)
{
    return StartRecordingNamed(index, channel_mask, path, options, nullptr);
}

int StartRecordingNamed(int index, unsigned int channel_mask, const char* path, unsigned int options,
                        const char* camera_name)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    if (!path || !*path || channel_mask == 0 || (channel_mask & ~7u) ||
        (options & ~(VORA_RECORD_ZSTD | VORA_RECORD_RAW_ONLY | VORA_RECORD_ROS2)) ||
        (camera_name && !valid_ros_name(camera_name)))
        return VORA_ERR_INVALID_ARG;
    if (!camera->is_connected())
        return VORA_ERR_NOT_CONNECTED;
    std::lock_guard<std::mutex> lock(sessions_mutex);
    if (sessions.count(index))
        return VORA_ERR_RECORDING_BUSY;
    auto session = std::make_unique<Session>();
    session->index = index;
    for (int ch = 0; ch < 3; ++ch) {
        if (!(channel_mask & (1u << ch)))
            continue;
        session->streams[ch] = stream_at(index, ch);
        if (!session->streams[ch])
            return VORA_ERR_STREAM_MISSING;
    }
    record::RecordingSetup setup;
    setup.path = path;
    setup.zstd = options & VORA_RECORD_ZSTD;
    setup.ros = !(options & VORA_RECORD_RAW_ONLY);
    setup.ros2 = options & VORA_RECORD_ROS2;
    if (camera_name)
        setup.ros_name = camera_name;
    setup.channels = channel_mask;
    if (setup.ros2) {
        // Which sensor feeds each channel (its camera model and pose) and
        // what it sends (its role), known before the first frame.
        // Every channel's format: roles count the channels not recorded too.
        for (int ch = 0; ch < 3; ++ch) {
            int value = 0;
            if (read_channel_register(*camera, "PixelFormat", ch, &value))
                setup.formats[ch] = static_cast<uint32_t>(value);
            if ((channel_mask & (1u << ch)) && read_channel_register(*camera, "CmosIndex", ch, &value) && value >= 0)
                setup.sensors[ch] = value;
        }
    }
    if (const DiscoveryInfo* d = discovery_record(index))
        setup.camera = *d;
    if (camera->xml_data && camera->xml_size > 1) {
        setup.description.assign(camera->xml_data, static_cast<size_t>(camera->xml_size));
        setup.description_name = camera->xml_name + "." + camera->xml_type;
    }
    setup.calibration = camera->camera_parameters;
    if (session->recorder.start(setup) != 0)
        return VORA_ERR_RECORDING_IO;
    for (GigeStream* stream : session->streams)
        if (stream)
            stream->SetFrameTap(session->recorder.tap());
    last_statistics.erase(index);
    sessions.emplace(index, std::move(session));
    return VORA_OK;
}

int StopRecording(int index)
{
    std::lock_guard<std::mutex> lock(sessions_mutex);
    const auto it = sessions.find(index);
    if (it == sessions.end())
        return VORA_ERR_NOT_RECORDING;
    const int result = finish(*it->second);
    sessions.erase(it);
    return result;
}

int GetRecordingStatistics(int index, unsigned long long* frames, unsigned long long* dropped,
                           unsigned long long* bytes)
{
    std::lock_guard<std::mutex> lock(sessions_mutex);
    Statistics s;
    if (!find_statistics(index, &s))
        return VORA_ERR_NOT_RECORDING;
    if (frames)
        *frames = s.frames;
    if (dropped)
        *dropped = s.dropped;
    if (bytes)
        *bytes = s.bytes;
    return VORA_OK;
}

int GetRecordingChannelStatistics(int index, unsigned short channel, unsigned long long* frames,
                                  unsigned long long* dropped, unsigned long long* gaps,
                                  unsigned long long* missing_blocks)
{
    std::lock_guard<std::mutex> lock(sessions_mutex);
    Statistics s;
    if (!find_statistics(index, &s))
        return VORA_ERR_NOT_RECORDING;
    if (channel >= 3 || !s.recorded[channel])
        return VORA_ERR_INVALID_ARG;
    const record::ChannelFigures& c = s.channels[channel];
    if (frames)
        *frames = c.frames;
    if (dropped)
        *dropped = c.dropped;
    if (gaps)
        *gaps = c.gaps;
    if (missing_blocks)
        *missing_blocks = c.missing;
    return VORA_OK;
}

int OpenRecording(const char* path)
{
    if (!path || !*path)
        return VORA_ERR_INVALID_ARG;
    auto entry = std::make_shared<OpenReader>();
    if (const int e = entry->reader.open(path))
        return e;
    std::lock_guard<std::mutex> lock(readers_mutex);
    for (size_t i = 0; i < readers.size(); ++i) {
        if (!readers[i]) {
            readers[i] = std::move(entry);
            return static_cast<int>(i);
        }
    }
    return VORA_ERR_RECORDING_BUSY;
}

int CloseRecording(int recording)
{
    std::lock_guard<std::mutex> lock(readers_mutex);
    if (recording < 0 || recording >= MAX_OPEN_RECORDINGS || !readers[static_cast<size_t>(recording)])
        return VORA_ERR_RECORDING_MISSING;
    readers[static_cast<size_t>(recording)].reset();
    return VORA_OK;
}

int ReadRecordingFrame(int recording, PhotoInfo* frame, unsigned int capacity, unsigned long long* log_time_ns)
{
    const auto r = reader_at(recording);
    if (!r)
        return VORA_ERR_RECORDING_MISSING;
    if (!frame)
        return VORA_ERR_INVALID_ARG;
    std::lock_guard<std::mutex> lock(r->mutex);
    uint64_t log_time = 0;
    const int result = r->reader.next_frame(frame, capacity, &log_time);
    if (log_time_ns && (result == VORA_OK || result == VORA_ERR_INVALID_ARG))
        *log_time_ns = log_time;
    return result;
}

int SeekRecording(int recording, unsigned long long log_time_ns)
{
    const auto r = reader_at(recording);
    if (!r)
        return VORA_ERR_RECORDING_MISSING;
    std::lock_guard<std::mutex> lock(r->mutex);
    r->reader.seek(log_time_ns);
    return VORA_OK;
}

int GetRecordingSummary(int recording, unsigned long long* frames, unsigned long long* start_ns,
                        unsigned long long* end_ns, unsigned int* max_payload)
{
    const auto r = reader_at(recording);
    if (!r)
        return VORA_ERR_RECORDING_MISSING;
    std::lock_guard<std::mutex> lock(r->mutex);
    if (frames)
        *frames = r->reader.frame_count();
    if (start_ns)
        *start_ns = r->reader.start_time();
    if (end_ns)
        *end_ns = r->reader.end_time();
    if (max_payload)
        *max_payload = r->reader.max_payload();
    return VORA_OK;
}

int GetRecordingTopic(int recording, int i, char* topic, unsigned int topic_capacity, char* type,
                      unsigned int type_capacity, unsigned long long* messages)
{
    const auto r = reader_at(recording);
    if (!r)
        return VORA_ERR_RECORDING_MISSING;
    std::lock_guard<std::mutex> lock(r->mutex);
    const auto& topics = r->reader.topics();
    if (i < 0)
        return VORA_ERR_INVALID_ARG;
    if (static_cast<size_t>(i) >= topics.size())
        return VORA_ERR_RECORDING_END;
    const record::TopicInfo& t = topics[static_cast<size_t>(i)];
    copy_text(topic, topic_capacity, t.topic);
    copy_text(type, type_capacity, t.schema);
    if (messages)
        *messages = t.messages;
    return VORA_OK;
}

int GetRecordingChannel(int recording, int i, unsigned short* channel, unsigned long long* frames, long long* dropped,
                        long long* gaps, long long* missing_blocks)
{
    const auto r = reader_at(recording);
    if (!r)
        return VORA_ERR_RECORDING_MISSING;
    if (i < 0)
        return VORA_ERR_INVALID_ARG;
    std::lock_guard<std::mutex> lock(r->mutex);
    const auto& channels = r->reader.channels();
    if (static_cast<size_t>(i) >= channels.size())
        return VORA_ERR_RECORDING_END;
    const record::ChannelSummary& c = channels[static_cast<size_t>(i)];
    if (channel)
        *channel = static_cast<unsigned short>(c.channel);
    if (frames)
        *frames = c.frames;
    if (dropped)
        *dropped = c.dropped;
    if (gaps)
        *gaps = c.gaps;
    if (missing_blocks)
        *missing_blocks = c.missing;
    return VORA_OK;
}

int GetRecordingCamera(int recording, DiscoveryInfo* camera)
{
    const auto r = reader_at(recording);
    if (!r)
        return VORA_ERR_RECORDING_MISSING;
    if (!camera)
        return VORA_ERR_INVALID_ARG;
    std::lock_guard<std::mutex> lock(r->mutex);
    return r->reader.camera(camera) ? VORA_OK : VORA_ERR_RECORDING_FORMAT;
}

int GetRecordingCalibration(int recording, int sensor, CameraParameter* parameter)
{
    const auto r = reader_at(recording);
    if (!r)
        return VORA_ERR_RECORDING_MISSING;
    if (!parameter || sensor < 0)
        return VORA_ERR_INVALID_ARG;
    std::lock_guard<std::mutex> lock(r->mutex);
    return r->reader.calibration(sensor, parameter) ? VORA_OK : VORA_ERR_RECORDING_FORMAT;
}

int GetRecordingDescription(int recording, char* name, unsigned int name_capacity, char* data, unsigned int capacity)
{
    const auto r = reader_at(recording);
    if (!r)
        return VORA_ERR_RECORDING_MISSING;
    std::lock_guard<std::mutex> lock(r->mutex);
    std::string file, bytes;
    if (!r->reader.description(&file, &bytes))
        return VORA_ERR_RECORDING_FORMAT;
    copy_text(name, name_capacity, file);
    if (bytes.size() > 0x7FFFFFFF)
        return VORA_ERR_RECORDING_FORMAT;
    if (data) {
        if (bytes.size() > capacity)
            return VORA_ERR_INVALID_ARG;
        std::memcpy(data, bytes.data(), bytes.size());
    }
    return static_cast<int>(bytes.size());
}

int SaveFrameToFile(PhotoInfo* frame, const char* format, const char* path)
{
    if (!frame || !format || !path || !*path)
        return VORA_ERR_INVALID_ARG;
    static cameralog silent;  // no camera: nothing to log to
    const std::string f = format;
    if (f == "pcd")
        return imaging::save_cloud_pcd(silent, *frame, path);
    if (f == "ply")
        return imaging::save_cloud_ply(silent, *frame, path);
    if (f == "txt")
        return imaging::save_cloud_txt(silent, *frame, path);
    if (f == "plybin")
        return imaging::save_cloud_binary_ply(silent, *frame, path);
    if (f == "png")
        return frame->pixel_format == PIXEL_FORMAT_COORD3D_ABC16 ? imaging::save_depth_png(silent, *frame, path)
                                                                 : imaging::save_image_png(silent, *frame, path);
    if (f == "preview")
        return imaging::save_depth_preview_png(silent, *frame, path);
    if (f == "bmp")
        return imaging::save_bmp(silent, *frame, path);
    return VORA_ERR_INVALID_ARG;
}

}  // extern "C"
