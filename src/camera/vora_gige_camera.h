// The per-camera object: control channel transport, connection and
// heartbeat, the device description and node map, packet-size negotiation,
// and (in files of their own) features, streams and processing.
#ifndef VORA_GIGE_CAMERA_H
#define VORA_GIGE_CAMERA_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "genicam/genicam_nodemap.h"
#include "gvcp/vora_common_socket.h"
#include "log/vora_cameralog.h"
#include "vora_base_type.h"

class GigeStream;
class DescriptionPort;
namespace genicam {
class Evaluator;
}

// What the product family has: three stream channels (the slots of the
// camera table) and a few sensors. Counts a camera reports beyond these are
// logged and bounded, so that no count from the wire drives a long loop.
constexpr int MAX_STREAM_CHANNELS = 3;
constexpr int MAX_SENSORS = 8;

class GigeCamera : public CommonSocket {
public:
    GigeCamera();
    ~GigeCamera();
    GigeCamera(const GigeCamera&) = delete;
    GigeCamera& operator=(const GigeCamera&) = delete;

    // ---- control channel transport ----
    void flush_socket_buffer(int sock);
    int ReadRegister(unsigned int address, int* value);
    int WriteRegister(unsigned int address, int value);
    // `buffer` receives the whole acknowledge (at most 548 bytes); the data
    // starts 12 bytes into it.
    int ReadMem(unsigned int address, unsigned short count, char* buffer);
    int WriteMem(unsigned int address, unsigned short count, unsigned int data);
    // Writes that leave the features' caches alone: the evaluator's own
    // (it knows what they change). The standard WRITEMEM, count a multiple of 4.
    int write_register_raw(uint32_t address, uint32_t value);
    int write_memory_raw(uint32_t address, const uint8_t* data, uint32_t count);

    // Opens the control socket towards camera_ip from computer_ip (the first
    // steps of connecting): 0, -6 when no socket, -7 when it cannot be bound.
    int open_control_channel(unsigned camera_ip, unsigned computer_ip);
    void close_control_channel();
    // Local port of the control socket, 0 when closed.
    unsigned short control_port();
    // Next GVCP request id: 1..65535, never 0; safe from several threads.
    uint16_t next_req_id();

    // ---- connection ----
    int CameraConnect(DiscoveryInfo* info);
    int CameraDisconnect();
    int GetCameraCCPStatus(DiscoveryInfo* info, int* ccp_status);
    // Reads a register through a socket of its own, without control: any
    // host may read, so this works while another application holds the
    // camera. 0, or the failure (-56 when unanswered).
    int ReadRegisterWithoutControl(DiscoveryInfo* info, unsigned address, int* value);
    int GetHeartBeatTimeout();
    static void* HeartBeat(void* camera);
    const char* CameraIP(unsigned int ip);
    bool is_connected() const { return connected.load() != 0; }

    // ---- device description and node map ----
    int GetXMLfromCamera();
    int SaveXmlToLocal(std::string directory);
    void GetCameraXMLNodeNames(std::vector<std::string>* names);
    // The features by name while connected, else null; the evaluator stays
    // alive for whoever holds it, even across a disconnect.
    std::shared_ptr<genicam::Evaluator> feature_evaluator();
    // Keeps what the library holds of a feature in step after a write by name.
    void feature_written(const char* name, long long value);
    // Cached feature values are read again: something else wrote the camera.
    void invalidate_features();
    int GetRegisterAddr(const char* name);
    // The register of a feature plus `offset` (a sensor's or a channel's
    // stride): 0 and the address, or the lookup's failure (-11, -21), for
    // which nothing may go on the wire. Unlike GetRegisterAddr it keeps
    // addresses above 0x7FFFFFFF apart from failures.
    int feature_register(const char* name, unsigned offset, unsigned* address);
    void ReadStringRegister(const char* name, char* out);
    int GetNodeProperty(const char* node, const char* property);
    int GetNodeMaxValue(const char* name);
    int GetNodeMinValue(const char* name);
    int GetNodeIncValue(const char* name);

    // ---- packet size ----
    int GetPacketSize();

    // ---- stream channels (gige_camera_stream.cpp) ----
    int StreamOn(unsigned short channel, GigeStream** stream);
    int StreamOff(unsigned short channel, GigeStream* stream);

    // ---- calibration ----
    int GetCamInternelParameter(int sensor, float* coefficients, float* matrix);
    int GetCamExternelParameter(int sensor, float* rotation, float* translation);

    // ---- feature controls (gige_camera_features.cpp) ----
    int SetTimestamp(int on);
    int GetTimestamp();
    int GetTimestampStatus();
    int SetTimestampControlLatch();
    unsigned long long GetTimestampValue();
    unsigned long long GetTimestampTickFrequency();
    int SetStrobeLEDswitch(int on);
    int GetStrobeLEDswitch();
    int SetLaserbrightness(int percent);
    int GetLaserbrightness();
    int SetStrobeLEDbrightress(int percent);
    int GetStrobeLEDbrightress();
    int SetAutoExposure(int mode, int sensor);
    int GetAutoExposure(int sensor);
    int SetCamExposureGainLevel(int sensor, int level);
    int GetCamExposureGainLevel(int sensor);
    int SetMutipleExposure(int count);
    int GetMutipleExposure();
    int SetExposureTime(int time, int sensor);
    int GetExposureTime(int sensor);
    int SetGain(int type, int value, int channel);
    int GetGain(int type, int channel);
    int SetTriggerMode(int mode);
    int SetTriggerSource(int source);
    int SetTriggerCount(int count);
    int SetRGBTriggerMode(int mode);
    int SetRGBTriggerCount(int count);
    int AcquisitionStart();
    int AcquisitionStop();
    int SetHeartBeatTimeout(int timeout_ms);
    int SetRoi(int channel, int size_x, int size_y, int offset_x, int offset_y);

    // ---- firmware upgrade (gige_camera_firmware.cpp) ----
    // progress(sent, total, user) is called after every piece sent.
    using FirmwareProgress = void (*)(long long sent, long long total, void* user);
    int FirmwareUpgrade(DiscoveryInfo info, const char* path);
    int FirmwareUpgrade(DiscoveryInfo info, const char* path, FirmwareProgress progress, void* user);

    // ---- pixel formats and conversions (gige_camera_imaging.cpp) ----
    void Convert3DPointFromCharToFloat(PhotoInfo& frame, float* points);
    int GetCloudPlane(PhotoInfo& frame, short* plane, int coordinate);
    int GetCloudPlaneX(PhotoInfo& frame, short* plane);
    int GetCloudPlaneY(PhotoInfo& frame, short* plane);
    int GetCloudPlaneZ(PhotoInfo& frame, short* plane);
    void YuyvToRgb888(PhotoInfo& frame);
    void BayerRG8ToRgb888(PhotoInfo& frame);
    void RawdataToRgb888(PhotoInfo& frame);
    int GetPixelByteByGenICamFormatValue(unsigned int pixel_format);

    // ---- point-cloud filters (gige_camera_imaging.cpp) ----
    void FilterPointCloud(PhotoInfo& frame, double tolerance);
    int SpatialFilterPointcloud(PhotoInfo& frame, int min_points);
    void PixelSwell(int* mask, PhotoInfo& frame);
    void PixelCorrosion(int* mask, PhotoInfo& frame);

    // ---- fusion and region mapping (gige_camera_fusion.cpp) ----
    int Fusion3DToRGB(PhotoInfo& colour, PhotoInfo& cloud, PhotoInfo& output);
    int FusionImageTo3D(PhotoInfo& image, PhotoInfo& cloud, float* fused);
    void ROIPixelMapping(PhotoInfo& cloud, PhotoInfo& source, PhotoInfo& target, RoiPoint& region, int* mask);
    void ROIMappingCoordinate(int* mask, PhotoInfo& frame, RoiPoint& region);

    // ---- file export (gige_camera_imaging.cpp) ----
    int SavePointCloudToPcd(PhotoInfo& frame, const char* path);
    int SavePointCloudToPly(PhotoInfo& frame, const char* path);
    int SavePointCloudToTxt(PhotoInfo& frame, const char* path);
    int SavePointCloudWithImageToTxt(PhotoInfo& frame, float* fused, const char* path);
    int SaveDepthToPng(PhotoInfo& frame, const char* path);
    int SaveCloudPlane(PhotoInfo& frame, short* plane, const char* path);
    int SaveToBMP(PhotoInfo& frame, const char* path);
    int SaveGrayImageToBmp(PhotoInfo& frame, const char* path);
    int SaveRgb888ToBmp(PhotoInfo& frame, const char* path);
    int SaveRgb565ToBmp(PhotoInfo& frame, const char* path);
    int SaveYuyvRgbToBmp(PhotoInfo& frame, const char* path);
    int SaveBayerRG8ToBmp(PhotoInfo& frame, const char* path);
    // The files for point-cloud and image viewers beyond the classic ones.
    int SavePointCloudToBinaryPly(PhotoInfo& frame, const char* path);
    int SavePointCloudWithImageToPly(PhotoInfo& frame, float* fused, const char* path);
    int SavePointCloudWithImageToPcd(PhotoInfo& frame, float* fused, const char* path);
    int SaveImageToPng(PhotoInfo& frame, const char* path);
    int SaveDepthPreviewToPng(PhotoInfo& frame, const char* path);

    cameralog log;

    // Connection state, read by feature, stream and processing code.
    std::atomic<int> connected{0};
    // Set when the heartbeat drops the connection itself (the camera stopped
    // answering, or control lapsed), as opposed to a disconnect asked for;
    // open streams watch it so that captures end. Cleared by a new connect.
    std::atomic<bool> given_up{false};
    char* xml_data;
    std::string xml_name;
    std::string xml_type;
    int xml_size = 1;
    int mtu = 0;
    std::atomic<uint32_t> packet_size{0};
    std::atomic<int> heartbeat_timeout{0};
    std::atomic<unsigned> camera_ip{0};
    std::atomic<unsigned> computer_ip{0};
    char computer_adapter[256];
    std::vector<CameraParameter> camera_parameters;
    int cmos_count = 0;
    char ip_text[16];
    std::unique_ptr<GenApi::CNodeMapRef> node_map_ref;

private:
    // One command/acknowledge exchange with up to three attempts. Returns
    // the accepted acknowledge's length (copied into ack) or 0 when unanswered.
    int exchange(const uint8_t* cmd, size_t cmd_len, uint16_t answer, uint16_t id, uint8_t* ack, size_t ack_cap,
                 size_t success_len, int retry_sleep_ms);
    int await_ack(int sock, uint16_t answer, uint16_t id, uint8_t* ack, size_t ack_cap, size_t success_len);

    // Connect steps that undo themselves on failure.
    int take_control();
    int read_capabilities(int* channels);  // *channels: the stream channels
    int start_heartbeat();
    int read_sensors();  // their count and calibration
    int build_node_map();
    void release_node_map();
    void fail_connect();
    void stop_heartbeat();
    // Waits one heartbeat period, or less when the heartbeat is stopped.
    bool heartbeat_sleep(int period_ms);
    void heartbeat_loop();
    // Ends the connection from the heartbeat thread: the camera is gone.
    void give_up(bool unanswered, const char* message);
    int read_unconnected(DiscoveryInfo* info, unsigned address, int* value, const char* function);

    // Packet-size negotiation proper: 0 and the size found, or a failure.
    int negotiate_packet_size(uint32_t* size);
    // Writes `size` to every stream channel and clears channel 0's
    // destination, so camera and host agree on how frames are cut.
    int apply_packet_size(uint32_t size, int channels);
    int get_node_address(const char* name, int depth, uint32_t* address);
    bool names_a_register(const std::string& name, int depth);

    // Set when the heartbeat finds the camera gone (its reads unanswered);
    // exchanges then answer at once with the code their retries would give,
    // until the control channel is opened again.
    std::atomic<bool> lost{false};
    std::unique_ptr<DescriptionPort> description_port;
    std::mutex evaluator_mutex;
    std::shared_ptr<genicam::Evaluator> evaluator;  // guarded by evaluator_mutex
    std::mutex gvcp_semaphore;                      // one attempt of one exchange at a time
    std::atomic<uint16_t> req_id{0};
    int gvcp_socket = -1;  // guarded by gvcp_semaphore

    std::thread heartbeat_thread;
    std::mutex heartbeat_mutex;
    std::condition_variable heartbeat_wake;
    bool heartbeat_stop = false;  // guarded by heartbeat_mutex
};

#endif
