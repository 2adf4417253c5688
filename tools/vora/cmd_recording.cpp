// The commands over a recording file: vora info FILE.mcap and vora export.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "channels.h"
#include "commands.h"
#include "common.h"
#include "frame_writer.h"
#include "json.h"
#include "options.h"
#include "output_files.h"
#include "recording_file.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

const char* const kExportHelp = "usage: vora export FILE.mcap --out DIR [--format pcd,ply,txt,png,bmp,raw]\n"
                                "                   [--channels 0,1,2] [--frames N] [--overwrite]\n"
                                "Writes the frames of a recording into files as `vora capture` does:\n"
                                "DIR/chC_NNNN.EXT, depth frames as pcd, ply, txt and png (16-bit depth),\n"
                                "colour frames as bmp and png (8-bit RGB), any frame as raw; a format that\n"
                                "does not fit a channel is left out. Default format: pcd,bmp.\n\n"
                                "  --frames N   at most N frames per channel\n"
                                "  --overwrite  replace the files of an earlier export in DIR\n\n"
                                "Then it says, per channel, how many frames the recording holds, how many\n"
                                "were dropped while recording, and the gaps in the block ids (places where\n"
                                "they skip, and ids skipped in all); \"unknown\" where the recording does not\n"
                                "say (cut short, or made by an older version).\n";

bool is_depth(unsigned format)
{
    return format == PIXEL_FORMAT_COORD3D_ABC16;
}

std::string count_text(long long n)
{
    return n < 0 ? std::string("unknown") : std::to_string(n);
}

void count_field(JsonWriter& j, const char* name, long long n)
{
    j.key(name);
    n < 0 ? j.null() : j.value(n);
}

// Per channel: frames, dropped while recording, gaps in the block ids.
void channel_table(const std::vector<RecordingFile::Channel>& channels)
{
    std::vector<std::vector<std::string>> rows{{"  channel", "frames", "dropped", "gaps", "missing blocks"}};
    for (const RecordingFile::Channel& c : channels)
        rows.push_back({"  " + std::to_string(c.channel), std::to_string(c.frames), count_text(c.dropped),
                        count_text(c.gaps), count_text(c.missing)});
    print_table(rows);
}

// A warning for each channel that lacks frames, on stderr.
void warn_of_losses(const std::vector<RecordingFile::Channel>& channels)
{
    for (const RecordingFile::Channel& c : channels) {
        const auto plural = [](long long n, const char* one, const char* many) {
            return std::to_string(n) + " " + (n == 1 ? one : many);
        };
        if (c.dropped > 0)
            report("warning: channel " + std::to_string(c.channel) + ": " + plural(c.dropped, "frame", "frames") +
                   " dropped while recording");
        if (c.gaps > 0)
            report("warning: channel " + std::to_string(c.channel) + ": " + plural(c.missing, "block id", "block ids") +
                   " missing, in " + plural(c.gaps, "gap", "gaps"));
    }
}

}  // namespace

int recording_info(const std::string& path, bool json)
{
    RecordingFile rec;
    if (rec.open(path) != 0)
        return kExitCamera;
    DiscoveryInfo camera{};
    const bool has_camera = GetRecordingCamera(rec.id(), &camera) == 0;
    const double seconds = rec.end_ns > rec.start_ns ? (rec.end_ns - rec.start_ns) / 1e9 : 0.0;
    struct Topic {
        std::string name, type;
        unsigned long long messages;
    };
    std::vector<Topic> topics;
    for (int i = 0;; ++i) {
        char name[256], type[256];
        unsigned long long n = 0;
        if (GetRecordingTopic(rec.id(), i, name, sizeof name, type, sizeof type, &n) != 0)
            break;
        topics.push_back(Topic{name, type, n});
    }
    char description[256] = "";
    const int description_size = GetRecordingDescription(rec.id(), description, sizeof description, nullptr, 0);
    const std::vector<RecordingFile::Channel> channels = rec.channels();
    if (json) {
        JsonWriter j;
        j.begin_object().field("file", path).key("camera");
        if (has_camera) {
            j.begin_object()
                .field("serial", field_text(camera.device_serial_number, sizeof camera.device_serial_number))
                .field("vendor", field_text(camera.device_vendor_name, sizeof camera.device_vendor_name))
                .field("model", field_text(camera.device_model_name, sizeof camera.device_model_name))
                .field("version", field_text(camera.device_version, sizeof camera.device_version))
                .field("mac", mac_text(camera))
                .field("ip", ip_text(camera.camera_ip))
                .end_object();
        } else {
            j.null();
        }
        j.field("frames", rec.frames)
            .field("seconds", seconds)
            .field("start_ns", rec.start_ns)
            .field("end_ns", rec.end_ns)
            .key("description");
        description_size > 0 ? j.value(std::string(description)) : j.null();
        j.key("topics").begin_array();
        for (const Topic& t : topics)
            j.begin_object().field("topic", t.name).field("type", t.type).field("messages", t.messages).end_object();
        j.end_array().key("channels").begin_array();
        for (const RecordingFile::Channel& c : channels) {
            j.begin_object().field("channel", c.channel).field("frames", c.frames);
            count_field(j, "dropped", c.dropped);
            count_field(j, "gaps", c.gaps);
            count_field(j, "missing_blocks", c.missing);
            j.end_object();
        }
        j.end_array().end_object();
        std::fputs(j.text().c_str(), stdout);
        return kExitOk;
    }
    std::printf("recording %s\n", path.c_str());
    if (has_camera)
        std::printf("  camera:      %s %s, serial %s, version %s, %s\n",
                    field_text(camera.device_vendor_name, sizeof camera.device_vendor_name).c_str(),
                    field_text(camera.device_model_name, sizeof camera.device_model_name).c_str(),
                    field_text(camera.device_serial_number, sizeof camera.device_serial_number).c_str(),
                    field_text(camera.device_version, sizeof camera.device_version).c_str(), mac_text(camera).c_str());
    std::printf("  frames:      %llu in %.2f s\n", rec.frames, seconds);
    if (description_size > 0)
        std::printf("  description: %s (%d bytes)\n", description, description_size);
    std::vector<std::vector<std::string>> rows{{"  topic", "type", "messages"}};
    for (const Topic& t : topics)
        rows.push_back({"  " + t.name, t.type, std::to_string(t.messages)});
    print_table(rows);
    channel_table(channels);
    warn_of_losses(channels);
    return kExitOk;
}

int cmd_export(int argc, char** argv)
{
    Args args(argc, argv,
              {{"--out", 'o', true},
               {"--format", 0, true},
               {"--channels", 0, true},
               {"--frames", 0, true},
               {"--overwrite", 0, false}});
    if (args.help()) {
        std::fputs(kExportHelp, stdout);
        return kExitOk;
    }
    if (args.positional().size() != 1 || !is_recording_path(args.positional()[0]))
        throw UsageError("export takes one recording (FILE.mcap)");
    if (!args.has("--out"))
        throw UsageError("--out DIR is required");
    const std::set<std::string> known{"pcd", "ply", "txt", "png", "bmp", "raw"};
    std::set<std::string> formats;
    for (const std::string& f : split(args.value("--format", "pcd,bmp"), ',')) {
        if (!known.count(f))
            throw UsageError("--format takes pcd, ply, txt, png, bmp and raw, not \"" + f + "\"");
        formats.insert(f);
    }
    const std::vector<unsigned short> chosen = channels_option(args);
    const std::set<unsigned> channels(chosen.begin(), chosen.end());
    const long long limit = args.has("--frames") ? to_integer(args.value("--frames"), "--frames", 1, 1e9) : -1;
    const std::string dir = args.value("--out");
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        report("cannot create " + dir + ": " + errno_text(errno));
        return kExitCamera;
    }
    OutputFiles files(dir, args.has("--overwrite"));
    if (!args.has("--overwrite") && !files.earlier_capture().empty()) {
        report(dir + " holds files of an earlier capture (" + files.earlier_capture() + "); --overwrite replaces them");
        return kExitCamera;
    }

    RecordingFile rec;
    if (rec.open(args.positional()[0]) != 0)
        return kExitCamera;
    std::map<unsigned, long long> counts;
    std::set<std::string> warned;
    PhotoInfo frame{};
    int status;
    size_t written = 0;
    while ((status = rec.next(&frame)) == 0) {
        const unsigned ch = frame.stream_channel_index_;
        if ((!channels.empty() && !channels.count(ch)) || (limit >= 0 && counts[ch] >= limit))
            continue;
        const long long seq = ++counts[ch];
        char stem[32];
        std::snprintf(stem, sizeof stem, "ch%u_%04lld", ch, seq);
        const bool depth = is_depth(frame.pixel_format);
        for (const std::string& f : formats) {
            const bool fits = f == "raw" || (depth ? f != "bmp" : (f == "bmp" || f == "png"));
            if (!fits) {
                if (warned.insert(f + std::to_string(ch)).second)
                    report("warning: " + f + " does not fit channel " + std::to_string(ch) + " (" +
                           pixel_format_name(frame.pixel_format) + "); left out");
                continue;
            }
            std::string error;
            const std::string name = std::string(stem) + "." + f;
            bool ok;
            if (f == "raw") {
                ok = files.write_bytes(name, frame.pixel, frame.payload_size, &error);
            } else {
                ok = files.write(
                    name,
                    [&](const std::string& path, std::string* e) {
                        errno = 0;
                        const int s = SaveFrameToFile(&frame, f.c_str(), path.c_str());
                        if (s != 0)
                            *e = write_failure(s, errno);
                        return s == 0;
                    },
                    &error);
            }
            if (!ok) {
                report(error);
                return kExitCamera;
            }
            ++written;
        }
    }
    if (status != VORA_ERR_RECORDING_END) {
        report_status("reading " + args.positional()[0], status);
        return kExitCamera;
    }
    std::printf("exported %zu files into %s\n", written, dir.c_str());
    const std::vector<RecordingFile::Channel> recorded = rec.channels();
    std::printf("the recording:\n");
    channel_table(recorded);
    warn_of_losses(recorded);
    return kExitOk;
}

}  // namespace vora_tool
