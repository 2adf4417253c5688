// Every exported function called as a careless or hostile caller would call
// it: null pointers, camera indexes and channels out of range, negative
// lengths, absurd widths and heights, short buffers. Each is called before
// the camera table exists, with the camera not yet connected, connected with
// a channel streaming, and after the table is gone; the lifecycle calls also
// twice in a row. Nothing may crash or hang, and every call answers with its
// code. In the sanitizer build any read or write past a buffer fails too.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "api/csharp_frame.h"
#include "sim_camera.h"
#include "vora_pixel_format.h"
#include "vora_qelcamera_api.h"
#include "vora_qelcamera_api_csharp.h"

namespace {

constexpr uint32_t CLOUD = PIXEL_FORMAT_COORD3D_ABC16;
constexpr uint32_t RGB8 = PIXEL_FORMAT_RGB8;
constexpr uint32_t YUYV = PIXEL_FORMAT_YUV422_8;
constexpr uint32_t BAYER = PIXEL_FORMAT_BAYER_RG8;

// Width and height whose product times 6 (and times 2) wraps 64 bits to a
// few bytes.
constexpr uint32_t WRAP_W = 4294836226u, WRAP_H = 2147549185u;

// What a void function "answers": whether the caller's memory is as it
// should be afterwards.
constexpr long long AS_BEFORE = 0, CHANGED = 1;
// Results that are text: present or not.
constexpr long long TEXT = 0, NO_TEXT = -1;

// Which object a function needs; its missing-object result applies when
// that object is absent.
enum class Needs { Nothing, Record, Camera, Stream };

using Answers = std::vector<long long>;  // any of these

struct Row {
    std::string what;
    Needs needs;
    std::function<long long(int index, int channel)> call;
    Answers missing;       // the object it needs is absent
    Answers disconnected;  // a camera object that is not connected
    Answers connected;     // connected, channel 0 streaming
};

long long text(const char* t, size_t limit = 256)
{
    return t && strnlen(t, limit) < limit ? TEXT : NO_TEXT;
}

// Buffers on the heap, so that the sanitizer sees any access past them.
struct Bytes {
    explicit Bytes(size_t n, char fill = 0x5A) : data(n, fill), before(data) {}
    char* get() { return data.data(); }
    int length() const { return static_cast<int>(data.size()); }
    bool untouched() const { return data == before; }
    std::vector<char> data;
    std::vector<char> before;
};

PhotoInfoCSharp record(uint32_t format, uint32_t w, uint32_t h, uint32_t payload, uint32_t unit = 1)
{
    PhotoInfoCSharp r;
    std::memset(&r, 0, sizeof r);
    r.pixel_format = format;
    r.pixel_width = w;
    r.pixel_height = h;
    r.payload_size = payload;
    r.cloud_unit = unit;
    return r;
}

PhotoInfo frame(uint32_t format, uint32_t w, uint32_t h, uint32_t payload, char* pixel, uint32_t unit = 1)
{
    return frame_from_csharp(record(format, w, h, payload, unit), pixel);
}

// The hostile arguments, alive for the whole sweep.
struct Hostile {
    Bytes small{12};     // two points of a cloud, four of RGB8
    Bytes out{64};       // an output buffer too small for anything absurd
    Bytes captured{12};  // what the captures write into
    std::vector<float> floats = std::vector<float>(12, 9.0f);
    std::vector<int> mask = std::vector<int>(4, 255);
    std::vector<short> plane = std::vector<short>(2, 7);
    std::string missing_dir = "no/such/dir/f";
    std::string file = "sweep-file";

    PhotoInfo no_pixel = frame(CLOUD, 2, 1, 12, nullptr);
    PhotoInfo wrap_cloud = frame(CLOUD, WRAP_W, WRAP_H, 12, small.get());
    PhotoInfo huge_cloud = frame(CLOUD, 65535, 65535, 12, small.get());
    PhotoInfo no_unit = frame(CLOUD, 2, 1, 12, small.get(), 0);
    PhotoInfo wrap_yuyv = frame(YUYV, WRAP_W, WRAP_H, 4, small.get());
    PhotoInfo odd_bayer = frame(BAYER, 3, 4, 12, small.get());
    PhotoInfo huge_rgb = frame(RGB8, 65535, 65535, 12, small.get());
    PhotoInfo empty_out = frame(0, 0, 0, 0, out.get());

    PhotoInfoCSharp lying_cloud = record(CLOUD, 65535, 65535, 0xFFFFFFFF);
    PhotoInfoCSharp wrap_cloud_c = record(CLOUD, WRAP_W, WRAP_H, 12);
    PhotoInfoCSharp lying_yuyv = record(YUYV, 65535, 65535, 0xFFFFFFFF);
    PhotoInfoCSharp lying_bayer = record(BAYER, 65534, 65534, 0xFFFFFFFF);
    PhotoInfoCSharp huge_rgb_c = record(RGB8, 65535, 65535, 12);
    PhotoInfoCSharp small_cloud_c = record(CLOUD, 2, 1, 12);
    PhotoInfoCSharp out_c = record(0, 0, 0, 0);
    RoiPoint region{0, 0, 0xFFFFFFFF, 0xFFFFFFFF};
    StatisticsDataCSharp statistics{};

    // The caller's memory of the frame-taking rows is as it was.
    bool intact() const
    {
        return small.untouched() && out.untouched() && floats == std::vector<float>(12, 9.0f) &&
               mask == std::vector<int>(4, 255) && plane == std::vector<short>(2, 7);
    }
    long long as_before() const { return intact() ? AS_BEFORE : CHANGED; }
    char* path(const std::string& p) { return const_cast<char*>(p.c_str()); }
};

std::vector<Row> rows(Hostile& h)
{
    const Needs N = Needs::Nothing, R = Needs::Record, C = Needs::Camera, S = Needs::Stream;
    const long long OK = VORA_OK, ARG = VORA_ERR_INVALID_ARG, OFF = VORA_ERR_NOT_CONNECTED,
                    CAM = VORA_ERR_CAMERA_MISSING, STREAM = VORA_ERR_STREAM_MISSING, COLOUR = VORA_ERR_COLOR_FORMAT,
                    FAILED = VORA_ERR_FAILED;
    const long long SAME = AS_BEFORE;
    std::vector<Row> r;
    auto add = [&r](std::string what, Needs needs, std::function<long long(int, int)> call, Answers missing,
                    Answers disconnected, Answers connected) {
        r.push_back(Row{std::move(what), needs, std::move(call), std::move(missing), std::move(disconnected),
                        std::move(connected)});
    };
    using U = unsigned short;

    // ---- no object needed ----
    for (int code : {INT_MIN, -100, 12345, INT_MAX})
        add("VoraStatusText(" + std::to_string(code) + ")", N, [code](int, int) { return text(VoraStatusText(code)); },
            {TEXT}, {}, {});
    add("pixel-format lookups: unknown codes, names and positions, no record", N,
        [](int, int) {
            PixelFormatInfo info;
            std::memset(&info, 0x5A, sizeof info);
            const PixelFormatInfo before = info;
            const std::string long_name(100000, 'M');
            for (const int s :
                 {GetPixelFormatInfo(0, &info), GetPixelFormatInfo(UINT_MAX, &info),
                  GetPixelFormatInfoByName("", &info), GetPixelFormatInfoByName(long_name.c_str(), &info)})
                if (s != VORA_ERR_PIXEL_FORMAT)
                    return static_cast<long long>(s);
            for (const int s :
                 {GetPixelFormatInfo(RGB8, nullptr), GetPixelFormatInfo(0, nullptr),
                  GetPixelFormatInfoByName(nullptr, &info), GetPixelFormatInfoByName("RGB8", nullptr),
                  GetPixelFormatInfoByIndex(INT_MIN, &info), GetPixelFormatInfoByIndex(-1, &info),
                  GetPixelFormatInfoByIndex(INT_MAX, &info), GetPixelFormatInfoByIndex(GetPixelFormatCount(), &info),
                  GetPixelFormatInfoByIndex(0, nullptr)})
                if (s != VORA_ERR_INVALID_ARG)
                    return static_cast<long long>(s);
            return std::memcmp(&info, &before, sizeof info) == 0 ? SAME : CHANGED;
        },
        {SAME}, {}, {});
    add("CameraSort(-1)", N, [](int, int) { return CameraSort(-1); }, {ARG}, {}, {});
    add("CameraSort(99)", N, [](int, int) { return CameraSort(99); }, {ARG}, {}, {});
    add("DepthPreviewColours(nulls, 65535 x 65535)", N,
        [](int, int) {
            unsigned short depth[1] = {7}, near = 1, far = 1;
            unsigned char rgb[3] = {};
            return DepthPreviewColours(nullptr, 65535, 65535, rgb, &near, &far) * 1000LL +
                   DepthPreviewColours(depth, 65535, 65535, nullptr, &near, &far) + (near == 1 && far == 1 ? 0 : 1);
        },
        {ARG * 1000 + ARG}, {}, {});
    add("ROS conventions: nulls, not a cloud, no unit, sizes that wrap, short buffers", N,
        [](int, int) {
            char raw[12] = {0, 0, 0, 0, 10, 0, 1, 0, 2, 0, 30, 0};
            PhotoInfo cloud{};
            cloud.pixel = raw;
            cloud.pixel_format = CLOUD;
            cloud.pixel_width = 2;
            cloud.pixel_height = 1;
            cloud.cloud_unit = 10;
            cloud.payload_size = sizeof raw;
            float xyz[6] = {7, 7, 7, 7, 7, 7};
            unsigned short mm[2] = {7, 7};
            PhotoInfo wrapped = cloud, image = cloud, no_unit = cloud, short_payload = cloud;
            wrapped.pixel_width = WRAP_W;
            wrapped.pixel_height = WRAP_H;
            image.pixel_format = RGB8;
            no_unit.cloud_unit = 0;
            short_payload.payload_size = 11;
            for (const PhotoInfo* f : {static_cast<const PhotoInfo*>(nullptr), static_cast<const PhotoInfo*>(&wrapped),
                                       static_cast<const PhotoInfo*>(&image), static_cast<const PhotoInfo*>(&no_unit),
                                       static_cast<const PhotoInfo*>(&short_payload)})
                if (ConvertPointCloudToMetres(f, xyz, 6) != ARG || ConvertPointCloudToDepthImage(f, mm, 2) != ARG)
                    return CHANGED;
            if (ConvertPointCloudToMetres(&cloud, xyz, 5) != ARG ||
                ConvertPointCloudToMetres(&cloud, nullptr, 6) != ARG ||
                ConvertPointCloudToDepthImage(&cloud, mm, 1) != ARG)
                return CHANGED;
            CameraParameter p{};
            double k[9], d[5], rot[9], proj[12], t[3], q[4];
            if (GetRosCameraModel(nullptr, 0, 0, k, d, rot, proj) != ARG ||
                GetRosCameraModel(&p, 0, 0, k, d, nullptr, proj) != ARG ||
                GetRosCameraModel(&p, 0, 0, k, d, rot, nullptr) != ARG || GetRosSensorPose(nullptr, t, q) != ARG ||
                GetRosSensorPose(&p, t, q) != ARG)  // an all-zero rotation
                return CHANGED;
            for (float v : xyz)
                if (v != 7)
                    return CHANGED;
            return mm[0] == 7 && mm[1] == 7 ? SAME : CHANGED;
        },
        {SAME}, {}, {});
    add("SetLogLevel(-1, INT_MIN, INT_MAX, 7) then off", N,
        [](int, int) {
            SetLogLevel(-1, INT_MIN, INT_MAX, 7);
            SetLogLevel(0, 0, 0, 0);
            return SAME;
        },
        {SAME}, {}, {});

    // Recordings: the sweep never starts one nor opens a file.
    add("GetRecordingChannelStatistics without a recording", N,
        [](int i, int) {
            unsigned long long n = 7;
            for (unsigned short ch : {0, 2, 3, 65535})
                if (const int s = GetRecordingChannelStatistics(i, ch, &n, nullptr, &n, nullptr);
                    s != VORA_ERR_NOT_RECORDING)
                    return static_cast<long long>(s);
            return n == 7 ? SAME : CHANGED;
        },
        {SAME}, {}, {});
    add("GetRecordingChannel of no open recording", N,
        [](int, int) {
            long long n = 7;
            for (int rec : {INT_MIN, -1, 0, 63, 64, INT_MAX})
                for (int i : {INT_MIN, -1, 0, INT_MAX})
                    if (const int s = GetRecordingChannel(rec, i, nullptr, nullptr, &n, nullptr, &n);
                        s != VORA_ERR_RECORDING_MISSING)
                        return static_cast<long long>(s);
            return n == 7 ? SAME : CHANGED;
        },
        {SAME}, {}, {});

    // The lifecycle calls change the state the sweep is in: here only at
    // indexes with no camera (EveryLifecycleCallTwiceInARow does the rest).
    add("lifecycle calls without a camera", N,
        [](int, int) {
            for (int i : {-1, 1, INT_MAX, INT_MIN}) {
                for (int status : {CameraConnect(i), CameraDisconnect(i), StreamOn(i, 0), StreamOff(i, 0),
                                   AcquisitionStart(i), AcquisitionStop(i)})
                    if (status != VORA_ERR_CAMERA_MISSING)
                        return static_cast<long long>(status);
            }
            return SAME;
        },
        {SAME}, {}, {});
    add("AcquisitionStop then AcquisitionStart", C,
        [](int i, int) { return AcquisitionStop(i) * 1000LL + AcquisitionStart(i); }, {CAM * 1001}, {OFF * 1001}, {OK});

    // ---- the discovered record ----
    add("CameraIP", R, [](int i, int) { return text(CameraIP(i), 16); }, {TEXT}, {TEXT}, {TEXT});
    add("WhetherIsSameSegment", R, [](int i, int) { return static_cast<long long>(WhetherIsSameSegment(i)); }, {0}, {1},
        {1});
    add("ForceIP(null texts)", R, [](int i, int) { return ForceIP(i, nullptr, nullptr, nullptr); }, {ARG}, {ARG},
        {ARG});
    add("ForceIP(garbage texts)", R,
        [&h](int i, int) { return ForceIP(i, h.path("999.1.2.3"), h.path("255.255.255.0 trailing"), h.path("")); },
        {ARG}, {ARG}, {ARG});

    // ---- synchronised capture: what needs no camera ----
    add("SendAction: no host, bad addresses, no action, negative counts", N,
        [](int, int) {
            const VoraAction go{1, 1, 1, 0, 0};
            VoraActionAck acks[2];
            for (const int s : {SendAction(nullptr, nullptr, &go, 0, acks, 2), SendAction("", nullptr, &go, 0, acks, 2),
                                SendAction("127.0.0.300", nullptr, &go, 0, acks, 2),
                                SendAction("127.0.0.1", "not an address", &go, 0, acks, 2),
                                SendAction("127.0.0.1", nullptr, nullptr, 0, acks, 2),
                                SendAction("127.0.0.1", nullptr, &go, -1, acks, 2),
                                SendAction("127.0.0.1", nullptr, &go, 0, nullptr, 2),
                                SendAction("127.0.0.1", nullptr, &go, 0, acks, -1)})
                if (s != VORA_ERR_INVALID_ARG)
                    return static_cast<long long>(s);
            return static_cast<long long>(VORA_ERR_INVALID_ARG);
        },
        {ARG}, {}, {});
    add("frame sets: no members, unknown and closed sets, null records", N,
        [](int, int) {
            VoraFrameSetOptions options{1000, 1000, VORA_SET_TIME_CAMERA};
            VoraFrameSetStatistics stats{};
            PhotoInfo frame{};
            VoraSetFrameInfo member{};
            VoraFrameSetInfo info{};
            for (const int s : {OpenFrameSet(nullptr, 1, &options), GetFrameSetStatistics(0, nullptr)})
                if (s != VORA_ERR_INVALID_ARG)
                    return static_cast<long long>(s);
            for (const int set : {INT_MIN, -1, 0, 15, 16, INT_MAX})
                for (const int s : {NextFrameSet(set, &frame, &member, &info, 0), GetFrameSetStatistics(set, &stats),
                                    CloseFrameSet(set)})
                    if (s != VORA_ERR_FRAME_SET_MISSING)
                        return static_cast<long long>(s);
            return static_cast<long long>(VORA_ERR_FRAME_SET_MISSING);
        },
        {VORA_ERR_FRAME_SET_MISSING}, {}, {});
    add("CameraTicksToHostNs(null)", N,
        [](int, int) { return static_cast<long long>(CameraTicksToHostNs(nullptr, 5)); }, {0}, {}, {});

    // ---- camera objects: connection, registers, description ----
    add("SDKVersion", C, [](int i, int) { return static_cast<long long>(strlen(SDKVersion(i))); }, {0}, {18}, {18});
    add("CameraVerions", C, [](int i, int) { return static_cast<long long>(strnlen(CameraVerions(i), 64)); }, {0}, {9},
        {9});
    add("GetCameraCCPStatus(null)", C, [](int i, int) { return GetCameraCCPStatus(i, nullptr); }, {CAM}, {ARG}, {ARG});
    add("ReadRegisterWithoutControl(null value)", C,
        [](int i, int) { return ReadRegisterWithoutControl(i, Heartbeat_Timeout_Reg, nullptr); }, {CAM}, {ARG}, {ARG});
    add("ReadRegisterWithoutControl(heartbeat timeout)", C,
        [](int i, int) {
            int v = 5;
            const int s = ReadRegisterWithoutControl(i, Heartbeat_Timeout_Reg, &v);
            return s == 0 ? v : s;
        },
        {CAM}, {3000}, {3000});
    add("GetConnectionState", C, [](int i, int) { return GetConnectionState(i); }, {CAM}, {OFF}, {OK});
    // ---- synchronised capture ----
    add("sync calls with null records", C,
        [](int i, int) {
            uint32_t key = 0;
            for (const int s : {GetSyncCapability(i, nullptr), GetActionGroup(i, 0, nullptr, &key),
                                GetActionGroup(i, 0, &key, nullptr), GetClockMapping(i, nullptr)})
                if (s != VORA_ERR_INVALID_ARG)
                    return static_cast<long long>(s);
            return static_cast<long long>(VORA_ERR_INVALID_ARG);
        },
        {ARG}, {ARG}, {ARG});
    add("GetSyncCapability", C,
        [](int i, int) {
            VoraSyncCapability c{};
            const int s = GetSyncCapability(i, &c);
            return s == 0 ? static_cast<long long>(c.action + c.scheduled_action + c.ptp) : s;
        },
        {CAM}, {OFF}, {3});
    add("GetClockMapping", C,
        [](int i, int) {
            VoraClockMapping m{};
            const int s = GetClockMapping(i, &m);
            return s == 0 ? static_cast<long long>(m.tick_frequency == 1000000000 && m.uncertainty_ns >= 0) : s;
        },
        {CAM}, {OFF}, {1});
    for (uint32_t signal : {2u, 1000u, UINT32_MAX})
        add("SetActionGroup(signal " + std::to_string(signal) + ")", C,
            [signal](int i, int) { return SetActionGroup(i, signal, 1, 1); }, {CAM}, {OFF},
            {VORA_ERR_SYNC_UNSUPPORTED});
    add("SendActionToCameras: no list, counts out of range, no action or acknowledges", C,
        [](int i, int) {
            const VoraAction go{1, 1, 1, 0, 0};
            VoraActionAck acks[1];
            for (const int s :
                 {SendActionToCameras(nullptr, 1, &go, 0, acks), SendActionToCameras(&i, 0, &go, 0, acks),
                  SendActionToCameras(&i, -1, &go, 0, acks), SendActionToCameras(&i, 100000, &go, 0, acks),
                  SendActionToCameras(&i, 1, nullptr, 0, acks), SendActionToCameras(&i, 1, &go, 0, nullptr),
                  SendActionToCameras(&i, 1, &go, -1, acks)})
                if (s != VORA_ERR_INVALID_ARG)
                    return static_cast<long long>(s);
            return static_cast<long long>(VORA_ERR_INVALID_ARG);
        },
        {ARG}, {ARG}, {ARG});
    // No acknowledge asked for: a connected camera counts as reached, one
    // that is not is left out with its reason.
    add("SendActionToCameras(no acknowledge)", C,
        [](int i, int) {
            const VoraAction go{1, 1, 1, 0, 0};
            VoraActionAck ack{0, 12345};
            const int s = SendActionToCameras(&i, 1, &go, 0, &ack);
            return s == 1 ? static_cast<long long>(ack.status) : s == 0 ? ack.status * 10LL : s;
        },
        {CAM}, {OFF * 10}, {OK});
    add("GetHeartBeatTimeout", C, [](int i, int) { return GetHeartBeatTimeout(i); }, {CAM}, {OFF}, {3000});
    for (int t : {INT_MIN, -1, 0, INT_MAX})
        add("SetHeartBeatTimeout(" + std::to_string(t) + ")", C, [t](int i, int) { return SetHeartBeatTimeout(i, t); },
            {CAM}, {OFF}, {ARG});
    add("ReadRegister(null value)", C, [](int i, int) { return ReadRegister(i, Heartbeat_Timeout_Reg, nullptr); },
        {CAM}, {ARG}, {ARG});
    add("ReadRegister(0xFFFFFFFC)", C,
        [](int i, int) {
            int v = 5;
            const int s = ReadRegister(i, 0xFFFFFFFCu, &v);
            return s == VORA_ERR_CAMERA_MISSING && v != 5 ? CHANGED : s;
        },
        {CAM}, {VORA_ERR_READREG_TIMEOUT}, {0x8003});
    add("WriteRegister(0xFFFFFFFC)", C, [](int i, int) { return WriteRegister(i, 0xFFFFFFFCu, -1); }, {CAM},
        {VORA_ERR_WRITEREG_TIMEOUT}, {0x8003});
    // No file, nothing sent: the upload answers -1 before it connects.
    add("FirmwareUpgrade(null)", C, [](int i, int) { return FirmwareUpgrade(i, nullptr); }, {CAM}, {VORA_ERR_FAILED},
        {VORA_ERR_FAILED});
    add("FirmwareUpgrade(missing file)", C, [&h](int i, int) { return FirmwareUpgrade(i, h.missing_dir.c_str()); },
        {CAM}, {VORA_ERR_FAILED}, {VORA_ERR_FAILED});
    add("GetRegisterAddr(null)", C, [](int i, int) { return GetRegisterAddr(i, nullptr); }, {CAM}, {OFF},
        {VORA_ERR_NO_NODE});
    add("GetRegisterAddr(unknown)", C, [](int i, int) { return GetRegisterAddr(i, "NoSuchFeature"); }, {CAM}, {OFF},
        {VORA_ERR_NO_NODE});
    add("GetRegisterAddr(100000 characters)", C,
        [](int i, int) { return GetRegisterAddr(i, std::string(100000, 'W').c_str()); }, {CAM}, {OFF},
        {VORA_ERR_NO_NODE});
    add("ReadStringRegister(nulls)", C,
        [](int i, int) {
            ReadStringRegister(i, nullptr, nullptr);
            ReadStringRegister(i, "DeviceSerialNumber", nullptr);
            return SAME;
        },
        {SAME}, {SAME}, {SAME});
    add("ReadStringRegister(unknown)", C,
        [](int i, int) {
            char out[8] = "kept";
            ReadStringRegister(i, "NoSuchFeature", out);
            ReadStringRegister(i, nullptr, out);
            return std::strcmp(out, "kept") == 0 ? SAME : CHANGED;
        },
        {SAME}, {SAME}, {SAME});
    // A name without a node answers as a bound of 0 (an increment of 1), a
    // value real features have too; a refusal would be -21.
    add("GetNodeMaxValue(null)", C, [](int i, int) { return GetNodeMaxValue(i, nullptr); }, {CAM}, {OFF},
        {0, VORA_ERR_NO_NODE});
    add("GetNodeMinValue(unknown)", C, [](int i, int) { return GetNodeMinValue(i, "NoSuchFeature"); }, {CAM}, {OFF},
        {0, VORA_ERR_NO_NODE});
    add("GetNodeIncValue(null)", C, [](int i, int) { return GetNodeIncValue(i, nullptr); }, {CAM}, {OFF},
        {1, VORA_ERR_NO_NODE});
    add("GetCameraXMLNodeNames(nulls)", C,
        [](int i, int) {
            GetCameraXMLNodeNames(i, nullptr, nullptr);
            int count = -5;
            GetCameraXMLNodeNames(i, nullptr, &count);
            return count > 0 ? OK : count;
        },
        {-1}, {0}, {OK});
    add("GetCameraXMLNodeNamesCSharp(null)", C,
        [](int i, int) {
            GetCameraXMLNodeNamesCSharp(i, nullptr);
            return SAME;
        },
        {SAME}, {SAME}, {SAME});
    add("SaveXmlToLocal(null)", C, [](int i, int) { return SaveXmlToLocal(i, nullptr); }, {CAM}, {OFF}, {ARG});
    add("SaveXmlToLocal(missing directory)", C, [&h](int i, int) { return SaveXmlToLocal(i, h.path(h.missing_dir)); },
        {CAM}, {OFF}, {VORA_ERR_XML_SAVE});
    // A device's refusal (0x8003, invalid address) comes back sign-extended.
    const long long DEVICE_REFUSAL = int16_t(0x8003);
    for (int sensor : {INT_MIN, -1, 99}) {
        const std::string s = std::to_string(sensor);
        add("GetCamInternelParameter(" + s + ")", C,
            [&h, sensor](int i, int) { return GetCamInternelParameter(i, sensor, h.floats.data(), h.floats.data()); },
            {CAM}, {sensor < 0 ? ARG : OFF}, {sensor < 0 ? ARG : DEVICE_REFUSAL});
        add("GetCamExternelParameter(" + s + ")", C,
            [&h, sensor](int i, int) { return GetCamExternelParameter(i, sensor, h.floats.data(), h.floats.data()); },
            {CAM}, {sensor < 0 ? ARG : OFF}, {sensor < 0 ? ARG : DEVICE_REFUSAL});
    }
    add("GetCamInternelParameter(nulls)", C, [](int i, int) { return GetCamInternelParameter(i, 0, nullptr, nullptr); },
        {CAM}, {ARG}, {ARG});
    add("GetCamExternelParameter(nulls)", C, [](int i, int) { return GetCamExternelParameter(i, 0, nullptr, nullptr); },
        {CAM}, {ARG}, {ARG});

    // ---- feature controls: sensors, channels and values out of range ----
    // Counts are taken when above 0, brightness from 1 to 100; everything
    // else here is refused before anything is written.
    for (int bad : {INT_MIN, -1, 99, INT_MAX}) {
        const std::string b = std::to_string(bad);
        const long long count = bad > 0 ? OK : ARG;
        const long long percent = bad > 0 && bad <= 100 ? OK : ARG;
        add("SetAutoExposure(" + b + ", " + b + ")", C, [bad](int i, int) { return SetAutoExposure(i, bad, bad); },
            {CAM}, {OFF}, {ARG});
        add("GetAutoExposure(" + b + ")", C, [bad](int i, int) { return GetAutoExposure(i, bad); }, {CAM}, {OFF},
            {ARG});
        add("SetCamExposureGainLevel(" + b + ", " + b + ")", C,
            [bad](int i, int) { return SetCamExposureGainLevel(i, bad, bad); }, {CAM}, {OFF}, {ARG});
        add("GetCamExposureGainLevel(" + b + ")", C, [bad](int i, int) { return GetCamExposureGainLevel(i, bad); },
            {CAM}, {OFF}, {ARG});
        add("SetMutipleExposure(" + b + ")", C, [bad](int i, int) { return SetMutipleExposure(i, bad); }, {CAM}, {OFF},
            {bad > 0 ? OK : FAILED});
        add("SetExposureTime(" + b + ", " + b + ")", C, [bad](int i, int) { return SetExposureTime(i, bad, bad); },
            {CAM}, {OFF}, {ARG});
        add("GetExposureTime(" + b + ")", C, [bad](int i, int) { return GetExposureTime(i, bad); }, {CAM}, {OFF},
            {ARG});
        add("SetGain(" + b + ", " + b + ", " + b + ")", C, [bad](int i, int) { return SetGain(i, bad, bad, bad); },
            {CAM}, {OFF}, {ARG});
        add("GetGain(" + b + ", " + b + ")", C, [bad](int i, int) { return GetGain(i, bad, bad); }, {CAM}, {OFF},
            {ARG});
        add("SetTriggerMode(" + b + ")", C, [bad](int i, int) { return SetTriggerMode(i, bad); }, {CAM}, {OFF}, {ARG});
        add("SetTriggerSource(" + b + ")", C, [bad](int i, int) { return SetTriggerSource(i, bad); }, {CAM}, {OFF},
            {ARG});
        add("SetTriggerCount(" + b + ")", C, [bad](int i, int) { return SetTriggerCount(i, bad); }, {CAM}, {OFF},
            {count});
        add("SetRGBTriggerMode(" + b + ")", C, [bad](int i, int) { return SetRGBTriggerMode(i, bad); }, {CAM}, {OFF},
            {ARG});
        add("SetRGBTriggerCount(" + b + ")", C, [bad](int i, int) { return SetRGBTriggerCount(i, bad); }, {CAM}, {OFF},
            {count});
        add("SetRoi(" + b + ", ...)", C, [bad](int i, int) { return SetRoi(i, bad, bad, bad, bad, bad); }, {CAM}, {OFF},
            {ARG});
        add("SetRoi(0, " + b + ", ...)", C, [bad](int i, int) { return SetRoi(i, 0, bad, bad, bad, bad); }, {CAM},
            {OFF}, {VORA_ERR_ROI});
        add("SetTimestamp(" + b + ")", C, [bad](int i, int) { return SetTimestamp(i, bad); }, {CAM}, {OFF}, {ARG});
        add("SetStrobeLEDswitch(" + b + ")", C, [bad](int i, int) { return SetStrobeLEDswitch(i, bad); }, {CAM}, {OFF},
            {ARG});
        add("SetLaserbrightness(" + b + ")", C, [bad](int i, int) { return SetLaserbrightness(i, bad); }, {CAM}, {OFF},
            {percent});
        add("SetStrobeLEDbrightress(" + b + ")", C, [bad](int i, int) { return SetStrobeLEDbrightress(i, bad); }, {CAM},
            {OFF}, {percent});
    }
    // Getters without arguments: only the index and the state matter.
    // Whatever count was set last (the sweep sets some).
    add("GetMutipleExposure", C,
        [](int i, int) {
            const int v = GetMutipleExposure(i);
            return v > 0 ? OK : v;
        },
        {CAM}, {OFF}, {OK});
    add("GetTimestamp", C, [](int i, int) { return GetTimestamp(i); }, {CAM}, {OFF}, {0, 1});
    // The clock's state: disabled, or on its way to slave when the sweep turned it on.
    add("GetTimestampStatus", C, [](int i, int) { return GetTimestampStatus(i); }, {CAM}, {OFF},
        {VORA_PTP_DISABLED, VORA_PTP_LISTENING, VORA_PTP_UNCALIBRATED, VORA_PTP_SLAVE});
    add("SetTimestampControlLatch", C, [](int i, int) { return SetTimestampControlLatch(i); }, {CAM}, {OFF}, {OK});
    add("GetTimestampValue", C, [](int i, int) { return static_cast<long long>(GetTimestampValue(i)); }, {CAM}, {OFF},
        {});
    add("GetTimestampTickFrequency", C, [](int i, int) { return static_cast<long long>(GetTimestampTickFrequency(i)); },
        {CAM}, {OFF}, {1000000000});
    add("GetStrobeLEDswitch", C, [](int i, int) { return GetStrobeLEDswitch(i); }, {CAM}, {OFF}, {0, 1});
    add("GetLaserbrightness", C, [](int i, int) { return GetLaserbrightness(i); }, {CAM}, {OFF}, {});
    add("GetStrobeLEDbrightress", C, [](int i, int) { return GetStrobeLEDbrightress(i); }, {CAM}, {OFF}, {});

    // ---- stream channels ----
    add("StreamOn(bad channel)", C, [](int i, int) { return StreamOn(i, 3) * 1000LL + StreamOn(i, 65535); },
        {CAM * 1001}, {VORA_ERR_CHANNEL_INDEX * 1001}, {VORA_ERR_CHANNEL_INDEX * 1001});
    add("StreamOff(bad channel)", C, [](int i, int) { return StreamOff(i, 3) * 1000LL + StreamOff(i, 65535); },
        {CAM * 1001}, {CAM * 1001}, {CAM * 1001});
    add("FlushBuffer", S,
        [](int i, int c) {
            FlushBuffer(i, U(c));
            return SAME;
        },
        {SAME}, {}, {SAME});
    for (unsigned v : {0u, UINT_MAX}) {
        const std::string t = std::to_string(v);
        add("SetMaxBufferLength(" + t + ")", S, [v](int i, int c) { return SetMaxBufferLength(i, U(c), v); }, {STREAM},
            {}, {v ? OK : ARG});
        add("SetSocketSelectTimeout(" + t + ")", S, [v](int i, int c) { return SetSocketSelectTimeout(i, U(c), v); },
            {STREAM}, {}, {v ? OK : ARG});
        add("SetPacketTimeout(" + t + ")", S, [v](int i, int c) { return SetPacketTimeout(i, U(c), v); }, {STREAM}, {},
            {v ? OK : ARG});
        add("SetBlockTimeout(" + t + ")", S, [v](int i, int c) { return SetBlockTimeout(i, U(c), v); }, {STREAM}, {},
            {v ? OK : ARG});
    }
    add("GetMaxBufferLength", S, [](int i, int c) { return GetMaxBufferLength(i, U(c)); }, {STREAM}, {}, {});
    add("GetSocketSelectTimeout", S, [](int i, int c) { return GetSocketSelectTimeout(i, U(c)); }, {STREAM}, {}, {});
    add("GetPacketTimeout", S, [](int i, int c) { return GetPacketTimeout(i, U(c)); }, {STREAM}, {}, {});
    add("GetBlockTimeout", S, [](int i, int c) { return GetBlockTimeout(i, U(c)); }, {CAM}, {}, {});
    for (double ratio : {std::nan(""), -1.0, 2.0, std::numeric_limits<double>::infinity()})
        add("SetPacketResendRatio(" + std::to_string(ratio) + ")", S,
            [ratio](int i, int c) { return SetPacketResendRatio(i, U(c), ratio); }, {STREAM}, {}, {ARG});
    add("GetPacketResendRatio", S, [](int i, int c) { return static_cast<long long>(GetPacketResendRatio(i, U(c))); },
        {STREAM}, {}, {});
    add("SetResendRequest(-5)", S,
        [](int i, int c) {
            SetResendRequest(i, c, -5);
            return SAME;
        },
        {SAME}, {}, {SAME});
    add("GetResendRequest", S, [](int i, int c) { return GetResendRequest(i, c); }, {STREAM}, {}, {0, 1});
    add("GetBlockStatistics(nulls)", S,
        [](int i, int c) {
            GetBlockStatistics(i, U(c), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
            return SAME;
        },
        {SAME}, {}, {SAME});
    add("GetPacketStatistics(nulls)", S,
        [](int i, int c) {
            GetPacketStatistics(i, U(c), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
            return SAME;
        },
        {SAME}, {}, {SAME});
    add("GetRecieveTimeStatistics(null)", S,
        [](int i, int c) {
            GetRecieveTimeStatistics(i, U(c), nullptr);
            return SAME;
        },
        {SAME}, {}, {SAME});
    add("GetRecieveTimeStatisticsCSharp(null bins)", S,
        [&h](int i, int c) {
            GetRecieveTimeStatisticsCSharp(i, U(c), h.statistics, nullptr);
            return SAME;
        },
        {SAME}, {}, {SAME});
    add("GetNetSpeed", S, [](int i, int c) { return GetNetSpeed(i, U(c)) >= 0 ? OK : GetNetSpeed(i, U(c)); }, {STREAM},
        {}, {OK});
    add("GetBlockRate", S,
        [](int i, int c) { return GetBlockRate(i, U(c)) >= 0 ? OK : static_cast<long long>(GetBlockRate(i, U(c))); },
        {STREAM}, {}, {OK});
    add("Capture(null)", S, [](int i, int c) { return Capture(i, U(c), nullptr); }, {STREAM}, {}, {STREAM});
    add("Capture(no pixels)", S, [&h](int i, int c) { return Capture(i, U(c), &h.no_pixel); }, {STREAM}, {}, {ARG});
    add("TryCapture(no pixels)", S, [&h](int i, int c) { return TryCapture(i, U(c), &h.no_pixel); }, {STREAM}, {},
        {ARG});
    add("TimeoutCapture(no pixels, LLONG_MIN)", S,
        [&h](int i, int c) { return TimeoutCapture(i, U(c), &h.no_pixel, LLONG_MIN); }, {STREAM}, {}, {ARG});
    // Borrowed frames: a frame lent is given back at once, exactly once; any
    // other record is refused without touching the caller's memory.
    const long long NOT_LENT = VORA_ERR_NOT_LENT, TIMEOUT = VORA_ERR_CAPTURE_TIMEOUT;
    for (long long wait : {LLONG_MIN, -1LL, 0LL, 1LL}) {
        add("BorrowFrame then ReturnFrame twice (" + std::to_string(wait) + ")", S,
            [wait](int i, int c) {
                PhotoInfo f{};
                const int s = BorrowFrame(i, U(c), &f, wait);
                if (s != 0)
                    return static_cast<long long>(s);
                const PhotoInfo copy = f;
                return ReturnFrame(i, U(c), &f) * 1000LL + ReturnFrame(i, U(c), &copy);
            },
            {STREAM}, {}, {NOT_LENT, TIMEOUT});
    }
    add("BorrowFrame(null)", S, [](int i, int c) { return BorrowFrame(i, U(c), nullptr, 0); }, {STREAM}, {}, {ARG});
    add("ReturnFrame(null)", S, [](int i, int c) { return ReturnFrame(i, U(c), nullptr); }, {STREAM}, {}, {ARG});
    add("ReturnFrame(no pixels, the caller's pixels)", S,
        [&h](int i, int c) {
            const int none = ReturnFrame(i, U(c), &h.no_pixel);
            const int own = ReturnFrame(i, U(c), &h.wrap_cloud);
            return none == own ? static_cast<long long>(none) : CHANGED;
        },
        {STREAM}, {}, {NOT_LENT});
    for (unsigned frames : {0u, 65u, UINT_MAX})
        add("SetLoanLimit(" + std::to_string(frames) + ")", S,
            [frames](int i, int c) { return SetLoanLimit(i, U(c), frames); }, {STREAM}, {}, {ARG});
    add("SetLoanLimit(64, then 4) and GetLoanLimit", S,
        [](int i, int c) {
            const int set = SetLoanLimit(i, U(c), 64);
            if (set != 0)
                return static_cast<long long>(set);
            const int got = GetLoanLimit(i, U(c));
            return SetLoanLimit(i, U(c), 4) * 1000LL + (got == 64 && GetLoanLimit(i, U(c)) == 4 ? OK : CHANGED);
        },
        {STREAM}, {}, {OK});
    add("GetLoanLimit", S, [](int i, int c) { return GetLoanLimit(i, U(c)); }, {STREAM}, {}, {4});
    add("GetLoanStatistics(null)", S, [](int i, int c) { return GetLoanStatistics(i, U(c), nullptr); }, {STREAM}, {},
        {ARG});
    add("GetLoanStatistics", S,
        [](int i, int c) {
            VoraLoanStatistics st;
            std::memset(&st, 0x5A, sizeof st);
            const int s = GetLoanStatistics(i, U(c), &st);
            if (s != 0)
                return static_cast<long long>(s);
            return st.out == 0 && st.limit == 4 && st.lent == st.returned && st.refused == 0 ? OK : CHANGED;
        },
        {STREAM}, {}, {OK});
    // The flat-buffer captures copy a whole frame into a private buffer and
    // give back only what the caller's length says.
    for (int length : {INT_MIN, -1, 0, 12}) {
        const std::string l = std::to_string(length);
        add("CaptureCSharp(length " + l + ")", S,
            [&h, length](int i, int c) {
                PhotoInfoCSharp info{};
                h.captured.data = h.captured.before;
                const int s = CaptureCSharp(i, U(c), info, h.captured.get(), length);
                return s == 0 && length <= 0 && !h.captured.untouched() ? CHANGED : s;
            },
            {STREAM}, {}, {OK});
        add("TimeoutCaptureCSharp(null buffer, " + l + ")", S,
            [length](int i, int c) {
                PhotoInfoCSharp info{};
                return TimeoutCaptureCSharp(i, U(c), info, nullptr, length, 5000000);
            },
            {STREAM}, {}, {OK});
        add("TryCaptureCSharp(length " + l + ")", S,
            [&h, length](int i, int c) {
                PhotoInfoCSharp info{};
                return TryCaptureCSharp(i, U(c), info, h.captured.get(), length);
            },
            {STREAM}, {}, {OK, VORA_ERR_CAPTURE_TIMEOUT});
    }

    // ---- processing and export: frames that lie about themselves ----
    using Plane = int (*)(int, PhotoInfo*, short*);
    using Saver = int (*)(int, PhotoInfo*, char*);
    using PlaneCSharp = int (*)(int, PhotoInfoCSharp&, char*, int, short*);
    using SaverCSharp = int (*)(int, PhotoInfoCSharp&, char*, int, char*);
    const std::vector<std::pair<std::string, Plane>> planes = {
        {"GetCloudPlaneX", GetCloudPlaneX}, {"GetCloudPlaneY", GetCloudPlaneY}, {"GetCloudPlaneZ", GetCloudPlaneZ}};
    const std::vector<std::pair<std::string, Saver>> savers = {{"SavePointCloudToPcd", SavePointCloudToPcd},
                                                               {"SaveFilterPointCloudToPcd", SaveFilterPointCloudToPcd},
                                                               {"SavePointCloudToTxt", SavePointCloudToTxt},
                                                               {"SavePointCloudToPly", SavePointCloudToPly},
                                                               {"SaveDepthToPng", SaveDepthToPng},
                                                               {"SavePointCloudToBinaryPly", SavePointCloudToBinaryPly},
                                                               {"SaveDepthPreviewToPng", SaveDepthPreviewToPng}};
    using FusedSaver = int (*)(int, PhotoInfo*, float*, char*);
    const std::vector<std::pair<std::string, FusedSaver>> fused_savers = {
        {"SavePointCloudWithImageToTxt", SavePointCloudWithImageToTxt},
        {"SavePointCloudWithImageToPly", SavePointCloudWithImageToPly},
        {"SavePointCloudWithImageToPcd", SavePointCloudWithImageToPcd}};
    const std::vector<std::pair<std::string, PlaneCSharp>> csharp_planes = {
        {"GetCloudPlaneXCSharp", GetCloudPlaneXCSharp},
        {"GetCloudPlaneYCSharp", GetCloudPlaneYCSharp},
        {"GetCloudPlaneZCSharp", GetCloudPlaneZCSharp}};
    const std::vector<std::pair<std::string, SaverCSharp>> csharp_savers = {
        {"SavePointCloudToPcdCSharp", SavePointCloudToPcdCSharp},
        {"SaveFilterPointCloudToPcdCSharp", SaveFilterPointCloudToPcdCSharp},
        {"SavePointCloudToTxtCSharp", SavePointCloudToTxtCSharp},
        {"SavePointCloudToPlyCSharp", SavePointCloudToPlyCSharp},
        {"SaveDepthToPngCSharp", SaveDepthToPngCSharp},
        {"SavePointCloudToBinaryPlyCSharp", SavePointCloudToBinaryPlyCSharp},
        {"SaveDepthPreviewToPngCSharp", SaveDepthPreviewToPngCSharp}};
    auto frames = [&h]() -> std::vector<std::pair<std::string, PhotoInfo*>> {
        return {{"no pixels", &h.no_pixel},
                {"wrapping size", &h.wrap_cloud},
                {"65535 x 65535 over 12 bytes", &h.huge_cloud}};
    };
    for (auto [name, f] : frames()) {
        add("Convert3DPointFromCharToFloat(" + name + ")", C,
            [&h, f = f](int i, int) {
                Convert3DPointFromCharToFloat(i, f, h.floats.data());
                return h.as_before();
            },
            {SAME}, {SAME}, {SAME});
        for (const auto& getter : planes)
            add(getter.first + "(" + name + ")", C,
                [&h, f = f, get = getter.second](int i, int) { return get(i, f, h.plane.data()); }, {0}, {ARG}, {ARG});
        add("SaveCloudPlane(" + name + ")", C,
            [&h, f = f](int i, int) { return SaveCloudPlane(i, f, h.plane.data(), h.path(h.file)); }, {0}, {ARG},
            {ARG});
        for (const auto& saver : savers)
            add(saver.first + "(" + name + ")", C,
                [&h, f = f, save = saver.second](int i, int) { return save(i, f, h.path(h.file)); }, {CAM}, {ARG},
                {ARG});
        for (const auto& saver : fused_savers)
            add(saver.first + "(" + name + ")", C,
                [&h, f = f, save = saver.second](int i, int) { return save(i, f, h.floats.data(), h.path(h.file)); },
                {CAM}, {ARG}, {ARG});
        add("FilterPointCloud(" + name + ")", C,
            [&h, f = f](int i, int) {
                FilterPointCloud(i, f, 1e300);
                return h.as_before();
            },
            {SAME}, {SAME}, {SAME});
        add("SpatialFilterPointcloud(" + name + ")", C,
            [f = f](int i, int) { return SpatialFilterPointcloud(i, f, INT_MAX); }, {0}, {ARG}, {ARG});
        add("FusionImageTo3D(" + name + ")", C,
            [&h, f = f](int i, int) { return FusionImageTo3D(i, &h.huge_rgb, f, h.floats.data()); }, {CAM}, {ARG},
            {ARG});
        add("Fusion3DToRGB(" + name + ")", C,
            [&h, f = f](int i, int) { return Fusion3DToRGB(i, &h.huge_rgb, f, &h.empty_out); }, {CAM}, {ARG}, {ARG});
        add("ROIPixelMapping(" + name + ")", C,
            [&h, f = f](int i, int) {
                ROIPixelMapping(i, f, &h.huge_rgb, &h.huge_rgb, &h.region, h.mask.data());
                return h.as_before();
            },
            {SAME}, {SAME}, {SAME});
    }
    add("null frames and paths", C,
        [&h](int i, int) {
            long long bad = 0;
            bad |= GetCloudPlaneX(i, nullptr, h.plane.data()) != 0;
            bad |= GetCloudPlaneZ(i, &h.no_unit, nullptr) != 0;
            bad |= SaveCloudPlane(i, &h.no_unit, h.plane.data(), nullptr) != 0;
            bad |= SavePointCloudToPcd(i, nullptr, h.path(h.file)) != CAM;
            bad |= SaveToBMP(i, nullptr, nullptr) != CAM;
            bad |= SpatialFilterPointcloud(i, nullptr, 1) != 0;
            bad |= FusionImageTo3D(i, nullptr, nullptr, nullptr) != CAM;
            bad |= Fusion3DToRGB(i, &h.huge_rgb, &h.no_unit, nullptr) != CAM;
            Convert3DPointFromCharToFloat(i, nullptr, nullptr);
            RawdataToRgb888(i, nullptr);
            FilterPointCloud(i, nullptr, 1.0);
            PixelSwell(i, h.mask.data(), nullptr);
            PixelCorrosion(i, nullptr, nullptr);
            ROIMappingCoordinate(i, h.mask.data(), nullptr, &h.region);
            ROIPixelMapping(i, nullptr, nullptr, nullptr, nullptr, nullptr);
            return bad ? CHANGED : h.as_before();
        },
        {SAME}, {SAME}, {SAME});
    add("null outputs", C,
        [&h](int i, int) {
            long long result = 0;
            Convert3DPointFromCharToFloat(i, &h.no_unit, nullptr);
            result = result * 1000 + SavePointCloudToPly(i, &h.no_unit, nullptr);
            result = result * 1000 + SaveToBMP(i, &h.huge_rgb, nullptr);
            result = result * 1000 + SavePointCloudWithImageToTxt(i, &h.no_unit, nullptr, h.path(h.file));
            result = result * 1000 + SavePointCloudWithImageToPly(i, &h.no_unit, nullptr, h.path(h.file));
            result = result * 1000 + SavePointCloudWithImageToPcd(i, &h.no_unit, nullptr, h.path(h.file));
            result = result * 1000 + SaveImageToPng(i, &h.huge_rgb, nullptr);
            PixelSwell(i, nullptr, &h.no_unit);
            PixelCorrosion(i, nullptr, &h.no_unit);
            ROIMappingCoordinate(i, nullptr, &h.no_unit, &h.region);
            return h.intact() ? result : CHANGED;
        },
        {((((((CAM * 1000) + CAM) * 1000 + CAM) * 1000 + CAM) * 1000 + CAM) * 1000 + CAM)},
        {((((((ARG * 1000) + ARG) * 1000 + ARG) * 1000 + ARG) * 1000 + ARG) * 1000 + ARG)},
        {((((((ARG * 1000) + ARG) * 1000 + ARG) * 1000 + ARG) * 1000 + ARG) * 1000 + ARG)});
    add("missing directory", C,
        [&h](int i, int) {
            PhotoInfo cloud = frame(CLOUD, 2, 1, 12, h.small.get());
            return SavePointCloudToTxt(i, &cloud, h.path(h.missing_dir)) * 1000LL +
                   SavePointCloudToPcd(i, &cloud, h.path(h.missing_dir));
        },
        {CAM * 1001}, {VORA_ERR_SAVE_OPEN * 1000 + VORA_ERR_SAVE_FORMAT},
        {VORA_ERR_SAVE_OPEN * 1000 + VORA_ERR_SAVE_FORMAT});
    for (auto [name, f] : std::vector<std::pair<std::string, PhotoInfo*>>{{"YUYV of wrapping size", &h.wrap_yuyv},
                                                                          {"odd Bayer", &h.odd_bayer},
                                                                          {"65535 x 65535 RGB8", &h.huge_rgb}}) {
        add("RawdataToRgb888(" + name + ")", C,
            [&h, f = f](int i, int) {
                const PhotoInfo before = *f;
                RawdataToRgb888(i, f);
                return std::memcmp(&before, f, sizeof before) == 0 ? h.as_before() : CHANGED;
            },
            {SAME}, {SAME}, {SAME});
        add("SaveToBMP(" + name + ")", C, [&h, f = f](int i, int) { return SaveToBMP(i, f, h.path(h.file)); }, {CAM},
            {ARG}, {ARG});
        add("SaveImageToPng(" + name + ")", C, [&h, f = f](int i, int) { return SaveImageToPng(i, f, h.path(h.file)); },
            {CAM}, {ARG}, {ARG});
        add("FusionImageTo3D(" + name + ", cloud)", C,
            [&h, f = f](int i, int) {
                PhotoInfo cloud = frame(CLOUD, 2, 1, 12, h.small.get());
                return FusionImageTo3D(i, f, &cloud, h.floats.data());
            },
            {CAM}, {f->pixel_format == BAYER ? COLOUR : ARG}, {f->pixel_format == BAYER ? COLOUR : ARG});
    }
    add("ROIMappingCoordinate(mask null, 65535 x 65535)", C,
        [&h](int i, int) {
            const RoiPoint before = h.region;
            ROIMappingCoordinate(i, nullptr, &h.huge_rgb, &h.region);
            return std::memcmp(&before, &h.region, sizeof before) == 0 ? h.as_before() : CHANGED;
        },
        {SAME}, {SAME}, {SAME});

    // ---- frames that are what they say, but degenerate ----
    // Each gets bytes of its own: these calls may write them.
    add("cloud of unit 0 through every cloud operation", C,
        [&h](int i, int) {
            Bytes bytes(12, 0x11);
            PhotoInfo cloud = frame(CLOUD, 2, 1, 12, bytes.get(), 0);
            std::vector<float> points(6);
            std::vector<short> plane(2);
            Convert3DPointFromCharToFloat(i, &cloud, points.data());
            long long result = GetCloudPlaneY(i, &cloud, plane.data());
            for (int status :
                 {SaveCloudPlane(i, &cloud, plane.data(), h.path(h.file)),
                  SavePointCloudToPcd(i, &cloud, h.path(h.file)), SavePointCloudToTxt(i, &cloud, h.path(h.file)),
                  SavePointCloudToPly(i, &cloud, h.path(h.file)), SaveDepthToPng(i, &cloud, h.path(h.file))})
                result = result * 100 - status;
            FilterPointCloud(i, &cloud, 1.0);
            return result * 100 - SpatialFilterPointcloud(i, &cloud, 1);
        },
        {9999999900}, {0}, {0});
    add("frames of no pixels", C,
        [&h](int i, int) {
            Bytes bytes(1);
            PhotoInfo cloud = frame(CLOUD, 0, 0, 0, bytes.get());
            PhotoInfo image = frame(RGB8, 0, 0, 0, bytes.get());
            PhotoInfo out = frame(0, 0, 0, 0, bytes.get());
            std::vector<float> fused(1);
            long long result = 0;
            for (int status : {SavePointCloudToPly(i, &cloud, h.path(h.file)), SaveToBMP(i, &image, h.path(h.file)),
                               SpatialFilterPointcloud(i, &cloud, 1), Fusion3DToRGB(i, &image, &cloud, &out)})
                result = result * 100 - status;
            FilterPointCloud(i, &cloud, 1.0);
            RawdataToRgb888(i, &image);
            return result;
        },
        {99990099}, {0}, {0});
    add("a YUYV pixel without its partner", C,
        [&h](int i, int) {
            Bytes bytes(9);
            PhotoInfo image = frame(YUYV, 3, 1, 6, bytes.get());
            RawdataToRgb888(i, &image);
            return image.pixel_format == YUYV && bytes.untouched() ? SaveToBMP(i, &image, h.path(h.file)) : CHANGED;
        },
        {CAM}, {ARG}, {ARG});

    // ---- flat-buffer variants: negative, short and missing buffers ----
    struct Buffer {
        std::string name;
        char* data;
        int length;
    };
    const std::vector<Buffer> buffers = {{"null buffer", nullptr, 12},
                                         {"length INT_MIN", h.small.get(), INT_MIN},
                                         {"length -1", h.small.get(), -1},
                                         {"length 0", h.small.get(), 0}};
    for (const Buffer& b : buffers) {
        for (PhotoInfoCSharp* info : {&h.lying_cloud, &h.wrap_cloud_c}) {
            const std::string name = b.name + (info == &h.lying_cloud ? ", lying record" : ", wrapping record");
            char* data = b.data;
            const int length = b.length;
            add("Convert3DPointFromCharToFloatCSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    Convert3DPointFromCharToFloatCSharp(i, *info, data, length, h.floats.data());
                    return h.as_before();
                },
                {SAME}, {SAME}, {SAME});
            for (const auto& getter : csharp_planes)
                add(getter.first + "(" + name + ")", C,
                    [&h, info, data, length, get = getter.second](int i, int) {
                        return get(i, *info, data, length, h.plane.data());
                    },
                    {0}, {ARG}, {ARG});
            add("SaveCloudPlaneCSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    return SaveCloudPlaneCSharp(i, *info, data, length, h.plane.data(), h.path(h.file));
                },
                {0}, {ARG}, {ARG});
            for (const auto& saver : csharp_savers)
                add(saver.first + "(" + name + ")", C,
                    [&h, info, data, length, save = saver.second](int i, int) {
                        return save(i, *info, data, length, h.path(h.file));
                    },
                    {CAM}, {ARG}, {ARG});
            for (auto save : {SavePointCloudWithImageToTxtCSharp, SavePointCloudWithImageToPlyCSharp,
                              SavePointCloudWithImageToPcdCSharp})
                add("SavePointCloudWithImageTo...CSharp(" + name + ")", C,
                    [&h, info, data, length, save](int i, int) {
                        return save(i, *info, data, length, h.floats.data(), h.path(h.file));
                    },
                    {CAM}, {ARG}, {ARG});
            add("FilterPointCloudCSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    FilterPointCloudCSharp(i, *info, data, length, -1.0);
                    return h.as_before();
                },
                {SAME}, {SAME}, {SAME});
            add("SpatialFilterPointcloudCSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    const int s = SpatialFilterPointcloudCSharp(i, *info, data, length, 3);
                    return h.intact() ? s : CHANGED;
                },
                {0}, {ARG}, {ARG});
            add("FusionImageTo3DCSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    return FusionImageTo3DCSharp(i, h.lying_yuyv, data, length, *info, data, length, h.floats.data());
                },
                {CAM}, {ARG}, {ARG});
            add("Fusion3DToRGBCSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    const int s = Fusion3DToRGBCSharp(i, h.huge_rgb_c, data, length, *info, data, length, h.out_c,
                                                      h.out.get(), -1);
                    return h.intact() ? s : CHANGED;
                },
                {CAM}, {ARG}, {ARG});
            add("ROIPixelMappingCSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    ROIPixelMappingCSharp(i, *info, data, length, h.huge_rgb_c, data, length, h.huge_rgb_c, data,
                                          length, h.region, 0, h.mask.data());
                    return h.as_before();
                },
                {SAME}, {SAME}, {SAME});
        }
        for (PhotoInfoCSharp* info : {&h.lying_yuyv, &h.lying_bayer, &h.huge_rgb_c}) {
            const std::string name = b.name + ", format " + std::to_string(info->pixel_format);
            char* data = b.data;
            const int length = b.length;
            add("RawdataToRgb888CSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    RawdataToRgb888CSharp(i, *info, data, length);
                    return h.as_before();
                },
                {SAME}, {SAME}, {SAME});
            add("SaveToBMPCSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    return SaveToBMPCSharp(i, *info, data, length, h.path(h.file));
                },
                {CAM}, {ARG}, {ARG});
            add("SaveImageToPngCSharp(" + name + ")", C,
                [&h, info, data, length](int i, int) {
                    return SaveImageToPngCSharp(i, *info, data, length, h.path(h.file));
                },
                {CAM}, {ARG}, {ARG});
        }
    }
    // The mask variants: a mask of 4 values for frames of more pixels.
    for (int length : {INT_MIN, -1, 0, 4}) {
        const std::string l = std::to_string(length);
        add("PixelSwellCSharp(" + l + ")", C,
            [&h, length](int i, int) {
                PixelSwellCSharp(i, h.mask.data(), h.huge_rgb_c, length);
                PixelSwellCSharp(i, nullptr, h.small_cloud_c, 2);
                return h.as_before();
            },
            {SAME}, {SAME}, {SAME});
        add("PixelCorrosionCSharp(" + l + ")", C,
            [&h, length](int i, int) {
                PixelCorrosionCSharp(i, h.mask.data(), h.wrap_cloud_c, length);
                return h.as_before();
            },
            {SAME}, {SAME}, {SAME});
        add("ROIMappingCoordinateCSharp(" + l + ")", C,
            [&h, length](int i, int) {
                const RoiPoint before = h.region;
                ROIMappingCoordinateCSharp(i, INT_MIN, h.mask.data(), h.huge_rgb_c, length, h.region);
                return std::memcmp(&before, &h.region, sizeof before) == 0 ? h.as_before() : CHANGED;
            },
            {SAME}, {SAME}, {SAME});
    }
    return r;
}

enum class State { NoTable, Disconnected, Connected };

const char* state_name(State s)
{
    return s == State::NoTable ? "no table" : s == State::Disconnected ? "disconnected" : "connected";
}

std::string answers(const Answers& a)
{
    std::string s;
    for (long long v : a)
        s += (s.empty() ? "" : " or ") + std::to_string(v);
    return s.empty() ? "(any)" : s;
}

// Calls every row with every index and channel worth trying in this state.
void sweep(State state)
{
    Hostile h;
    const std::vector<Row> table = rows(h);
    for (const Row& row : table) {
        // Twice in a row: a call must not leave behind what breaks the next.
        auto check = [&](int index, int channel, const Answers& want) {
            for (int time = 1; time <= 2; ++time) {
                const long long got = row.call(index, channel);
                if (!want.empty() && std::find(want.begin(), want.end(), got) == want.end())
                    ADD_FAILURE() << state_name(state) << ": " << row.what << " at index " << index << ", channel "
                                  << channel << " answered " << got << ", not " << answers(want) << " (call " << time
                                  << ")";
            }
        };
        const std::vector<int> channels =
            row.needs == Needs::Stream ? std::vector<int>{0, 1, 3, 65535, -1} : std::vector<int>{0};
        for (int channel : channels) {
            for (int index : {-1, 1, INT_MAX, INT_MIN})
                check(index, channel, row.missing);
            Answers want = row.missing;
            if (row.needs == Needs::Record)
                want = row.disconnected;
            else if (row.needs == Needs::Camera && state == State::Disconnected)
                want = row.disconnected;
            else if (row.needs == Needs::Camera && state == State::Connected)
                want = row.connected;
            else if (row.needs == Needs::Stream && state == State::Connected && channel == 0)
                want = row.connected;
            check(0, channel, want);
        }
    }
    EXPECT_TRUE(h.intact());
}

class ApiSweep : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Files the sweep might write land in a directory of its own.
        char tmpl[] = "/tmp/vora-sweep-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir = tmpl;
        ASSERT_EQ(chdir(dir.c_str()), 0);
        sim = std::make_unique<vsim::SimCamera>(vsim::SimConfig());
        ASSERT_EQ(sim->start(), 0);
        ASSERT_EQ(DiscoverCamera(), 1);
    }
    void TearDown() override
    {
        DestroyCamera();
        discovery_info.clear();
        sim->stop();
        ASSERT_EQ(chdir("/"), 0);
        ASSERT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
    }
    std::unique_ptr<vsim::SimCamera> sim;
    std::string dir;
};

TEST_F(ApiSweep, BeforeTheCameraTableExists)
{
    ASSERT_EQ(camera_object, nullptr);
    sweep(State::NoTable);
    EXPECT_EQ(camera_object, nullptr);
}

TEST_F(ApiSweep, WithACameraNotConnected)
{
    CreateCamera();
    ASSERT_NE(camera_object, nullptr);
    sweep(State::Disconnected);
}

TEST_F(ApiSweep, ConnectedWithAChannelStreaming)
{
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(StreamOn(0, 0), 0);
    ASSERT_EQ(AcquisitionStart(0), 0);
    sweep(State::Connected);
    EXPECT_EQ(AcquisitionStop(0), 0);
    EXPECT_EQ(StreamOff(0, 0), 0);
    EXPECT_EQ(CameraDisconnect(0), 0);
}

TEST_F(ApiSweep, AfterTheCameraTableIsGone)
{
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(StreamOn(0, 1), 0);
    DestroyCamera();  // closes the stream and disconnects on its own
    ASSERT_EQ(camera_object, nullptr);
    sweep(State::NoTable);
}

TEST_F(ApiSweep, EveryLifecycleCallTwiceInARow)
{
    EXPECT_EQ(DiscoverCamera(), 1);
    EXPECT_EQ(DiscoverCamera(), 1);
    DestroyCamera();
    DestroyCamera();
    CreateCamera();
    CreateCamera();  // replaces the table, releasing the first
    ASSERT_NE(camera_object, nullptr);
    EXPECT_EQ(CameraDisconnect(0), 0);  // nothing to give back
    EXPECT_EQ(CameraDisconnect(0), 0);
    EXPECT_EQ(StreamOff(0, 0), VORA_ERR_CAMERA_MISSING);
    EXPECT_EQ(CameraConnect(0), 0);
    EXPECT_EQ(CameraConnect(0), 0);
    EXPECT_EQ(StreamOn(0, 2), 0);
    EXPECT_EQ(StreamOn(0, 2), VORA_ERR_INVALID_ARG);  // the open stream stays
    EXPECT_EQ(AcquisitionStart(0), 0);
    EXPECT_EQ(AcquisitionStart(0), 0);
    EXPECT_EQ(AcquisitionStop(0), 0);
    EXPECT_EQ(AcquisitionStop(0), 0);
    EXPECT_EQ(StreamOff(0, 2), 0);
    EXPECT_EQ(StreamOff(0, 2), VORA_ERR_CAMERA_MISSING);
    EXPECT_EQ(CameraDisconnect(0), 0);
    EXPECT_EQ(CameraDisconnect(0), 0);
    DestroyCamera();
    DestroyCamera();
    EXPECT_EQ(camera_object, nullptr);
    EXPECT_EQ(CameraConnect(0), VORA_ERR_CAMERA_MISSING);
}

}  // namespace
