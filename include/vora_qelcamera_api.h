/*
 * The library's exported interface: flat functions over a process-wide list
 * of discovered cameras. Every per-camera function takes the camera's index
 * in that list. Results follow the status codes of vora_base_type.h.
 *
 * The library's process-wide objects (the camera list and table, the log
 * switches) are declared in vora_globals.h, for code that wants them; an
 * application needs none of them. The GVCP command records
 * (vora_gvcp_records.h) come with vora_base_type.h, the pixel-format codes
 * and their record (vora_pixel_format.h) with this header.
 */
#ifndef VORA_QELCAMERA_API_H
#define VORA_QELCAMERA_API_H

#include "vora_base_type.h"
#include "vora_export.h"
#include "vora_pixel_format.h"

#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a status code means, as one line of text (never null). Positive
 * codes are GigE Vision device statuses. */
VORA_API const char* VoraStatusText(int status);

/* ---- pixel formats ---- */

/* Describes a pixel-format code of vora_pixel_format.h: its GenICam name,
 * bytes per pixel and kind. 0; -22 for a code the library does not know,
 * -2 without info (info is left as it was on failure). */
VORA_API int GetPixelFormatInfo(unsigned int pixel_format, PixelFormatInfo* info);
/* The same for a GenICam name, spelt exactly as the library gives it
 * ("Mono8", "Coord3D_ABC16"); -22 for any other name, -2 without one. */
VORA_API int GetPixelFormatInfoByName(const char* name, PixelFormatInfo* info);
/* How many formats the library knows; GetPixelFormatInfoByIndex with 0 up
 * to that number less one lists them (-2 for any other position). */
VORA_API int GetPixelFormatCount(void);
VORA_API int GetPixelFormatInfoByIndex(int position, PixelFormatInfo* info);

/* ---- discovery, table and connection ---- */

/* Empties the camera list and discovers again; the number of cameras or a
 * negative code. Indexes of earlier discoveries become invalid. */
VORA_API int DiscoverCamera(void);
/* Orders the list: SORT_BY_IP or SORT_BY_SERIAL_NUMBER. */
VORA_API int CameraSort(int sort_mode);
/* Switches logging levels on (non-zero) or off, for both log families. */
VORA_API void SetLogLevel(int error, int debug, int warning, int info);
/* Dotted text of the camera's address; overwritten by the next call. */
VORA_API const char* CameraIP(int index);
/* True when the camera and the host interface it answered on share a subnet. */
VORA_API bool WhetherIsSameSegment(int index);
/* Gives the camera a new address, mask and gateway (dotted texts). */
VORA_API int ForceIP(int index, char* ip, char* mask, char* gateway);

/* Builds the camera table from the discovered list (one camera object per
 * record); an existing table is destroyed first. */
VORA_API void CreateCamera(void);
/* Closes open streams, disconnects connected cameras, frees the table. */
VORA_API void DestroyCamera(void);
/* "SDK VERSION 1.4.87", or "" when there is no camera object at index. */
VORA_API const char* SDKVersion(int index);
/* The camera's device version text (at most 31 characters), or "". */
VORA_API const char* CameraVerions(int index);

/* Takes control of the camera: reads its description, negotiates the packet
 * size, starts the heartbeat and loads the calibration. -99 without a
 * camera object. */
VORA_API int CameraConnect(int index);
VORA_API int CameraDisconnect(int index);
/* Whether the camera is still ours, without a word on the wire: 0 while
 * connected, -80 once the heartbeat has given it up (it stopped answering,
 * or control lapsed), -11 when not connected otherwise, -99 without a
 * camera object. */
VORA_API int GetConnectionState(int index);
/* Who controls the camera (0: nobody), without connecting. Without a camera
 * object: -99, and -60 in *ccp_status. */
VORA_API int GetCameraCCPStatus(int index, int* ccp_status);
/* Reads a register without taking control, through a socket of its own:
 * cameras answer reads from any host, so this works while another
 * application controls the camera (its heartbeat timeout, for one, tells
 * how long a holder that died keeps it). -56 when unanswered. */
VORA_API int ReadRegisterWithoutControl(int index, unsigned int address, int* value);
VORA_API int GetHeartBeatTimeout(int index);
VORA_API int ReadRegister(int index, unsigned int address, int* value);
VORA_API int WriteRegister(int index, unsigned int address, int value);

/* ---- device description ---- */

VORA_API int GetRegisterAddr(int index, const char* name);
/* Copies the string feature's register into out (its "Length" bytes). */
VORA_API void ReadStringRegister(int index, const char* name, char* out);
VORA_API int GetNodeMaxValue(int index, const char* name);
VORA_API int GetNodeMinValue(int index, const char* name);
VORA_API int GetNodeIncValue(int index, const char* name);
/* Feature names into consecutive 255-byte slots (each cut to 254 characters
 * and zero-terminated); their number in *count, -1 without a camera object.
 * The caller's array must hold every feature of the description. */
VORA_API void GetCameraXMLNodeNames(int index, char names[][255], int* count);
/* Writes the description into directory as <name>.<extension>. */
VORA_API int SaveXmlToLocal(int index, char* directory);

/* ---- features by name ----
 * Every feature of the camera's description, evaluated as GenICam defines it
 * (selectors, formulas, converters, bit fields, access after locks and
 * availability, caching). Names are the description's (case-sensitive). Each
 * call answers 0 or a negative status: VORA_ERR_NO_NODE (no such feature),
 * VORA_ERR_FEATURE_* and VORA_ERR_DESCRIPTION, -11/-80 when the camera is not
 * connected or lost, or the status of the failing register access. After a
 * failure GetFeatureError gives the message, naming the node. */

/* GenICam's interface types, access modes, visibilities, representations. */
typedef enum VoraFeatureType {
    VORA_FEATURE_INTEGER = 2,
    VORA_FEATURE_BOOLEAN = 3,
    VORA_FEATURE_COMMAND = 4,
    VORA_FEATURE_FLOAT = 5,
    VORA_FEATURE_STRING = 6,
    VORA_FEATURE_REGISTER = 7,
    VORA_FEATURE_CATEGORY = 8,
    VORA_FEATURE_ENUMERATION = 9
} VoraFeatureType;
typedef enum VoraFeatureAccess {
    VORA_ACCESS_NI = 0, /* not implemented */
    VORA_ACCESS_NA = 1, /* not available now */
    VORA_ACCESS_WO = 2,
    VORA_ACCESS_RO = 3,
    VORA_ACCESS_RW = 4
} VoraFeatureAccess;
typedef enum VoraFeatureVisibility {
    VORA_VISIBILITY_BEGINNER = 0,
    VORA_VISIBILITY_EXPERT = 1,
    VORA_VISIBILITY_GURU = 2,
    VORA_VISIBILITY_INVISIBLE = 3
} VoraFeatureVisibility;
typedef enum VoraFeatureRepresentation {
    VORA_REPRESENTATION_LINEAR = 0,
    VORA_REPRESENTATION_LOGARITHMIC = 1,
    VORA_REPRESENTATION_BOOLEAN = 2,
    VORA_REPRESENTATION_PURE_NUMBER = 3,
    VORA_REPRESENTATION_HEX_NUMBER = 4,
    VORA_REPRESENTATION_IPV4_ADDRESS = 5,
    VORA_REPRESENTATION_MAC_ADDRESS = 6,
    VORA_REPRESENTATION_NONE = 7
} VoraFeatureRepresentation;

#define VORA_FEATURE_NAME_SIZE 256

typedef struct VoraFeatureInfo {
    char name[VORA_FEATURE_NAME_SIZE];
    char display_name[VORA_FEATURE_NAME_SIZE];
    char tooltip[1024]; /* cut to fit, always zero-terminated */
    char unit[32];
    int type;           /* VoraFeatureType */
    int access;         /* VoraFeatureAccess, as of now */
    int visibility;     /* VoraFeatureVisibility */
    int representation; /* VoraFeatureRepresentation */
    int has_range;      /* integer and float: the bounds below hold */
    int has_inc;        /* float: float_inc holds (integers always have one) */
    long long int_min, int_max, int_inc;
    double float_min, float_max, float_inc;
    long long length; /* string and register: bytes */
    int entry_count;  /* enumeration: entries available now (GetFeatureEntries) */
    int selector_count; /* features that select this one (GetFeatureSelectors) */
} VoraFeatureInfo;

/* Names of the features (no categories), in description order, or of one
 * category's features (recursively) when category is neither NULL nor "".
 * Up to capacity names go into consecutive VORA_FEATURE_NAME_SIZE-byte slots
 * of names; *count receives how many there are in all (call with capacity 0
 * to learn it). */
VORA_API int GetFeatureNames(int index, const char* category, char* names, int capacity, int* count);
/* The categories, the same way. */
VORA_API int GetFeatureCategories(int index, char* names, int capacity, int* count);
VORA_API int DescribeFeature(int index, const char* name, VoraFeatureInfo* info);
/* An enumeration's available entries: symbolic names into
 * VORA_FEATURE_NAME_SIZE-byte slots, and their values (either may be NULL). */
VORA_API int GetFeatureEntries(int index, const char* name, char* symbolics, long long* values, int capacity,
                               int* count);
/* The selectors of a feature, the same way as names. */
VORA_API int GetFeatureSelectors(int index, const char* name, char* names, int capacity, int* count);
VORA_API int GetFeatureInteger(int index, const char* name, long long* value);
VORA_API int SetFeatureInteger(int index, const char* name, long long value);
VORA_API int GetFeatureFloat(int index, const char* name, double* value);
VORA_API int SetFeatureFloat(int index, const char* name, double value);
VORA_API int GetFeatureBoolean(int index, const char* name, int* value);
VORA_API int SetFeatureBoolean(int index, const char* name, int value);
/* The entry's symbolic name (cut to size, zero-terminated) and value; either may be NULL. */
VORA_API int GetFeatureEnum(int index, const char* name, char* symbolic, int size, long long* value);
VORA_API int SetFeatureEnum(int index, const char* name, const char* symbolic);
VORA_API int SetFeatureEnumValue(int index, const char* name, long long value);
/* The text, zero-terminated; VORA_ERR_INVALID_ARG when size cannot hold it. */
VORA_API int GetFeatureString(int index, const char* name, char* text, int size);
VORA_API int SetFeatureString(int index, const char* name, const char* text);
/* A register feature's bytes: *length receives its length; size must hold it. */
VORA_API int GetFeatureBytes(int index, const char* name, unsigned char* bytes, int size, int* length);
VORA_API int SetFeatureBytes(int index, const char* name, const unsigned char* bytes, int length);
VORA_API int ExecuteFeatureCommand(int index, const char* name);
/* *done 1 once the camera has carried the command out. */
VORA_API int IsFeatureCommandDone(int index, const char* name, int* done);
/* The message of this thread's last failed feature call (empty after a
 * success), cut to size and zero-terminated. */
VORA_API int GetFeatureError(char* text, int size);

/* ---- calibration ---- */

/* 5 distortion coefficients and the 3x3 camera matrix of a sensor. */
VORA_API int GetCamInternelParameter(int index, int sensor, float* coefficients, float* matrix);
/* 3x3 rotation and the translation of a sensor. */
VORA_API int GetCamExternelParameter(int index, int sensor, float* rotation, float* translation);

/* ---- feature controls ---- */

VORA_API int SetHeartBeatTimeout(int index, int timeout_ms);
VORA_API int SetAutoExposure(int index, int mode, int sensor);
VORA_API int GetAutoExposure(int index, int sensor);
VORA_API int SetCamExposureGainLevel(int index, int sensor, int level);
VORA_API int GetCamExposureGainLevel(int index, int sensor);
VORA_API int SetMutipleExposure(int index, int count);
VORA_API int GetMutipleExposure(int index);
VORA_API int SetExposureTime(int index, int time, int sensor);
VORA_API int GetExposureTime(int index, int sensor);
/* type 1 analog, 2 digital; channel 0 the depth sensors, 1 the colour sensor. */
VORA_API int SetGain(int index, int type, int value, int channel);
VORA_API int GetGain(int index, int type, int channel);
VORA_API int SetTriggerMode(int index, int mode);
VORA_API int SetTriggerSource(int index, int source);
VORA_API int SetTriggerCount(int index, int count);
VORA_API int SetRGBTriggerMode(int index, int mode);
VORA_API int SetRGBTriggerCount(int index, int count);
VORA_API int AcquisitionStart(int index);
VORA_API int AcquisitionStop(int index);
VORA_API int SetRoi(int index, int channel, int size_x, int size_y, int offset_x, int offset_y);
VORA_API int SetTimestamp(int index, int on);
VORA_API int GetTimestamp(int index);
VORA_API int GetTimestampStatus(int index);
VORA_API int SetTimestampControlLatch(int index);
/* The latched time stamp and the tick frequency; (unsigned)-99 without a camera object. */
VORA_API unsigned long long GetTimestampValue(int index);
VORA_API unsigned long long GetTimestampTickFrequency(int index);
VORA_API int SetStrobeLEDswitch(int index, int on);
VORA_API int GetStrobeLEDswitch(int index);
VORA_API int SetLaserbrightness(int index, int percent);
VORA_API int GetLaserbrightness(int index);
VORA_API int SetStrobeLEDbrightress(int index, int percent);
VORA_API int GetStrobeLEDbrightress(int index);
/* Uploads the firmware file over FTP, then tells the camera to apply it and reboot. */
VORA_API int FirmwareUpgrade(int index, const char* path);

/* ---- stream channels ---- */

/* Opens channel 0..2: the camera sends that channel's frames to a fresh host
 * socket. -33 for a channel the camera does not have, -2 when the channel is
 * already open (the open stream keeps running). */
VORA_API int StreamOn(int index, unsigned short channel);
VORA_API int StreamOff(int index, unsigned short channel);
/* Drops the frames waiting to be captured (their buffers are reused). */
VORA_API void FlushBuffer(int index, unsigned short channel);
VORA_API int SetMaxBufferLength(int index, unsigned short channel, unsigned int length);
VORA_API int GetMaxBufferLength(int index, unsigned short channel);
VORA_API int SetPacketResendRatio(int index, unsigned short channel, double ratio);
VORA_API double GetPacketResendRatio(int index, unsigned short channel);
/* Time-outs in microseconds. */
VORA_API int SetSocketSelectTimeout(int index, unsigned short channel, unsigned int us);
VORA_API int GetSocketSelectTimeout(int index, unsigned short channel);
VORA_API int SetPacketTimeout(int index, unsigned short channel, unsigned int us);
VORA_API int GetPacketTimeout(int index, unsigned short channel);
VORA_API int SetBlockTimeout(int index, unsigned short channel, unsigned int us);
VORA_API int GetBlockTimeout(int index, unsigned short channel);
VORA_API void SetResendRequest(int index, int channel, int on);
VORA_API int GetResendRequest(int index, int channel);
/* complete, incomplete, timed out, no buffer, flushed, lost, error blocks, overflow packets */
VORA_API void GetBlockStatistics(int index, unsigned short channel, unsigned int* complete, unsigned int* incomplete,
                                 unsigned int* timeout, unsigned int* no_buffer, unsigned int* flushed,
                                 unsigned int* lost, unsigned int* error, unsigned int* overflow);
/* received, lost, format errors, dropped, resend requested, resent, duplicates */
VORA_API void GetPacketStatistics(int index, unsigned short channel, unsigned int* received, unsigned int* lost,
                                  unsigned int* format_error, unsigned int* dropped, unsigned int* resend_requested,
                                  unsigned int* resent, unsigned int* duplicate);
VORA_API void GetRecieveTimeStatistics(int index, unsigned short channel, StatisticsData* statistics);
/* Bytes per second and blocks per second over the last second with traffic. */
VORA_API int GetNetSpeed(int index, unsigned short channel);
VORA_API float GetBlockRate(int index, unsigned short channel);
/* Copies the oldest ready frame into *frame and frame->pixel (at least the
 * frame's payload size): waiting without limit, not at all (-34 when none),
 * or up to timeout_us microseconds (-34). Once the heartbeat has given the
 * camera up, the frames already received are still handed out and then
 * every capture, waiting or not, ends at once with -80. */
VORA_API int Capture(int index, unsigned short channel, PhotoInfo* frame);
VORA_API int TryCapture(int index, unsigned short channel, PhotoInfo* frame);
VORA_API int TimeoutCapture(int index, unsigned short channel, PhotoInfo* frame, long long timeout_us);

/* ---- borrowed frames: capture without a copy ---- */

/* BorrowFrame fills *frame as Capture does, except that frame->pixel points
 * into the library's own buffer instead of the caller's: the frame is lent.
 * Nothing writes into a lent buffer, so its bytes stay as they were handed
 * over until the caller gives it back with ReturnFrame. timeout_us < 0 waits
 * without limit, 0 does not wait; -34 when no frame came in time, -80 as for
 * Capture, -93 when the stream already has its loan limit of frames out (the
 * ready frame stays queued). Lent frames are extra to the stream's buffer
 * count, so a caller holding frames does not starve reception.
 *
 * StreamOff and DestroyCamera wait up to one second for frames out on loan
 * to come back (from other threads), then reclaim the rest: their buffers
 * are freed, counted and logged, and the caller must no longer read them. */
VORA_API int BorrowFrame(int index, unsigned short channel, PhotoInfo* frame, long long timeout_us);
/* Gives a lent frame back; frame->pixel names it. 0, or -94 when it is not a
 * frame this stream has out on loan (returned already, or another's). */
VORA_API int ReturnFrame(int index, unsigned short channel, const PhotoInfo* frame);
/* How many frames may be out on loan at once: 1..64, 4 when a stream opens. */
VORA_API int SetLoanLimit(int index, unsigned short channel, unsigned int frames);
VORA_API int GetLoanLimit(int index, unsigned short channel);

typedef struct VoraLoanStatistics {
    uint32_t out;       /* frames out on loan now */
    uint32_t limit;     /* the loan limit */
    uint64_t lent;      /* frames lent since the stream opened */
    uint64_t returned;  /* frames given back */
    uint64_t refused;   /* BorrowFrame calls refused at the limit (-93) */
} VoraLoanStatistics;
VORA_API int GetLoanStatistics(int index, unsigned short channel, VoraLoanStatistics* statistics);

/* ---- how datagrams reached the stream ---- */

/* Where the kernel can coalesce a stream's datagrams (UDP GRO, Linux 5.0+),
 * one receive call takes a train of same-size datagrams of the camera's
 * flow; their data lands in place in the frame as single datagrams' does.
 * Trains the receiver cannot lay out (another segment size) are taken apart
 * by copying, with the same result. */
typedef struct VoraReceivePathStatistics {
    uint32_t gro;               /* 1 when the socket accepts coalesced trains */
    uint32_t reserved;
    uint64_t calls;             /* receive system calls that brought data */
    uint64_t datagrams;         /* datagrams received (each of a train counted) */
    uint64_t trains;            /* trains of two or more datagrams */
    uint64_t train_datagrams;   /* datagrams that came in trains */
    uint64_t irregular_trains;  /* trains taken apart by copying */
    uint64_t landed;            /* payload datagrams whose data the kernel put in place */
    uint64_t frames_gro;        /* frames handed over with at least one train among their datagrams */
    uint64_t frames_datagram;   /* frames handed over that came datagram by datagram */
} VoraReceivePathStatistics;
VORA_API int GetReceivePathStatistics(int index, unsigned short channel, VoraReceivePathStatistics* statistics);

/* ---- recording and replay ---- */

/* Options of StartRecording. */
#define VORA_RECORD_ZSTD 0x1u     /* compress the file's chunks with zstd */
#define VORA_RECORD_RAW_ONLY 0x2u /* only the lossless raw frames, no ROS messages */
/* A ROS 2 bag as rosbag2 writes MCAP (profile ros2, CDR messages, ros2msg
 * schemas) instead of ROS 1 messages: for each depth channel its cloud
 * (/<name>/depth/points, metres), depth image (16UC1, millimetres) and
 * camera_info, for the colour channel its image (rgb8 or mono8) and
 * camera_info, the sensors' poses once on /tf_static; the second depth
 * channel's topics under depth2. Stamps are the camera's clock moved onto
 * the host's wall clock by the offset of the first frame. The raw frames
 * stay beside them (CDR, vora_msgs/msg/RawFrame), so replay is as for ROS 1
 * recordings. */
#define VORA_RECORD_ROS2 0x4u

/* Records the open stream channels named in channel_mask (bit n: channel n)
 * into an MCAP file: each frame as handed over, lossless, and as a ROS point
 * cloud (in metres) or image; the camera's identity, calibration and description with
 * them. Writing runs on a thread of its own and never holds up reception: a
 * frame that finds the recording's queue full is dropped from the recording
 * and counted. -2 for an empty mask or a channel above 2, -98 when a
 * channel in the mask is not open, -70 when the camera records already,
 * -72 when the file cannot be created. */
VORA_API int StartRecording(int index, unsigned int channel_mask, const char* path, unsigned int options);
/* StartRecording with the camera's name in a ROS 2 recording's topics and
 * frames (/<name>/depth/points, <name>_link, <name>_depth_optical_frame);
 * null for "camera". A name is 1 to 64 letters, digits and '_', a letter
 * first: -2 for any other. */
VORA_API int StartRecordingNamed(int index, unsigned int channel_mask, const char* path, unsigned int options,
                                 const char* camera_name);
/* Writes what is queued, finishes the file and closes it: 0, or -72 when a
 * write failed (the file then holds what was written before). -71 when no
 * recording runs. */
VORA_API int StopRecording(int index);
/* Frames written, frames dropped (queue full or a write failure) and bytes
 * written so far; for the last recording after it stopped. */
VORA_API int GetRecordingStatistics(int index, unsigned long long* frames, unsigned long long* dropped,
                                    unsigned long long* bytes);
/* The same for one stream channel, with the gaps in the block ids of the
 * frames written: places where the ids skip, and ids skipped in all (frames
 * dropped, and frames the stream never completed). -2 for a channel the
 * recording does not take; -71 when the camera has not recorded. */
VORA_API int GetRecordingChannelStatistics(int index, unsigned short channel, unsigned long long* frames,
                                           unsigned long long* dropped, unsigned long long* gaps,
                                           unsigned long long* missing_blocks);

/* Opens a recording for reading: its number (0 or more), or -72 (no such
 * file) or -73 (not a recording, or damaged before its first frame). A
 * recording cut short reads up to its last complete chunk. */
VORA_API int OpenRecording(const char* path);
VORA_API int CloseRecording(int recording);
/* The next frame, in file order: its record into *frame, its payload into
 * frame->pixel (capacity bytes) and the host time it was received in
 * *log_time_ns (may be null). -74 past the last frame; -2 when the payload
 * does not fit (frame->payload_size then tells the size, and the next call
 * returns the same frame); -73 for a damaged part of the file. */
VORA_API int ReadRecordingFrame(int recording, PhotoInfo* frame, unsigned int capacity,
                                unsigned long long* log_time_ns);
/* Continues reading at the first frame received at log_time_ns or later
 * (0: from the start). */
VORA_API int SeekRecording(int recording, unsigned long long log_time_ns);
/* Frames in the recording, first and last host times, largest payload. */
VORA_API int GetRecordingSummary(int recording, unsigned long long* frames, unsigned long long* start_ns,
                                 unsigned long long* end_ns, unsigned int* max_payload);
/* Topic i of the recording (0 up): its name and message type texts and its
 * message count; -74 past the last. */
VORA_API int GetRecordingTopic(int recording, int i, char* topic, unsigned int topic_capacity, char* type,
                               unsigned int type_capacity, unsigned long long* messages);
/* Recorded stream channel i (0 up, by channel number): its number, frames,
 * and the figures the recorder kept when the recording ended (as
 * GetRecordingChannelStatistics); -1 where the recording does not hold them
 * (it was cut short, or made by an older version): the gaps are then found
 * from the frames, dropped stays -1. -74 past the last. */
VORA_API int GetRecordingChannel(int recording, int i, unsigned short* channel, unsigned long long* frames,
                                 long long* dropped, long long* gaps, long long* missing_blocks);
/* The recorded camera's identity (serial, model, addresses...). */
VORA_API int GetRecordingCamera(int recording, DiscoveryInfo* camera);
/* A sensor's calibration as the camera gave it. */
VORA_API int GetRecordingCalibration(int recording, int sensor, CameraParameter* parameter);
/* The camera's device description: its size, copied into data when it fits
 * capacity (else -2); the file name into name (name_capacity bytes). */
VORA_API int GetRecordingDescription(int recording, char* name, unsigned int name_capacity, char* data,
                                     unsigned int capacity);
/* Saves a frame without a camera (one read from a recording, say) with the
 * library's writers: format "pcd", "ply", "plybin" (binary PLY), "txt",
 * "png" (16-bit depth) or "preview" (colour-mapped depth PNG) for point
 * clouds, "bmp" or "png" (8-bit RGB) for images. Results as the Save
 * functions below. */
VORA_API int SaveFrameToFile(PhotoInfo* frame, const char* format, const char* path);

/* ---- ROS conventions ---- */
/* What ROS tools expect of a camera's data, in one place for the recorder,
 * the ROS 2 bridge and applications: metres and a body frame with x forward,
 * y left, z up (REP 103), optical frames with z forward, x right, y down
 * (REP 103, 105), depth images in millimetres with 0 for no depth (REP 118). */

/* A Coord3D_ABC16 cloud as x, y, z float32 in metres, three per point in the
 * frame's order; a point the camera gave no depth (z = 0) is NaN, x, y and z.
 * xyz holds `capacity` floats. 0; -2 when a pointer is missing, the frame is
 * not such a cloud, its cloud_unit is 0, its payload is shorter than its
 * size says, or xyz is too small. */
VORA_API int ConvertPointCloudToMetres(const PhotoInfo* frame, float* xyz, unsigned long long capacity);
/* The cloud's z as a 16-bit depth image in millimetres, rounded, one value
 * per point; 0 where there is no depth or it does not fit 16 bits. Results
 * as above (`capacity` values). */
VORA_API int ConvertPointCloudToDepthImage(const PhotoInfo* frame, unsigned short* depth_mm,
                                           unsigned long long capacity);
/* A sensor's calibration as ROS's camera model (sensor_msgs/CameraInfo,
 * distortion model "plumb_bob") for its image cut at (offset_x, offset_y):
 * k 3x3, d 5 (k1, k2, p1, p2, k3), r 3x3 (identity: a single camera), p 3x4,
 * row-major. The camera's fifth coefficient, a cubic term plumb_bob cannot
 * express, is left out (k3 = 0). -2 for a missing pointer. */
VORA_API int GetRosCameraModel(const CameraParameter* calibration, unsigned int offset_x, unsigned int offset_y,
                               double* k, double* d, double* r, double* p);
/* Where a sensor's optical frame lies in the camera's body frame (REP 103;
 * its origin at the optical centre of the sensor the clouds are given in,
 * whose extrinsics are the identity): translation in metres, rotation as the
 * quaternion x, y, z, w. -2 for a missing pointer or a rotation that is not
 * one. */
VORA_API int GetRosSensorPose(const CameraParameter* calibration, double* translation, double* rotation);
/* The role of stream channel `channel` of a camera whose channels send the
 * `count` pixel formats given (every channel, published or not): "depth"
 * for its lowest-numbered point-cloud channel, "depth2" for the next,
 * "color", "color2" for image channels. Topics and frames are named after
 * it ("/cam/depth/points", "cam_depth_optical_frame"). Copied into role
 * (`capacity` bytes with the terminator); -2 for missing pointers, a
 * channel out of range, a format with no ROS message, or too little room. */
VORA_API int GetRosChannelRole(const unsigned int* pixel_formats, unsigned int count, unsigned int channel,
                               char* role, unsigned int capacity);

/* ---- synchronised capture: action commands, PTP time, frame sets ----
 * Cameras expose at one instant when one ACTION_CMD reaches them all (now,
 * or at an action time on their IEEE 1588 clocks); a frame set puts their
 * frames back together by time stamp. */

/* What a camera says it can do, read from its bootstrap registers. */
typedef struct VoraSyncCapability {
    int32_t action;                /* answers action commands */
    int32_t scheduled_action;      /* fires an action at its action time */
    int32_t ptp;                   /* keeps IEEE 1588 time */
    uint32_t action_signals;       /* group key/mask pairs it holds */
    uint32_t scheduled_queue_size; /* scheduled actions it can hold at once */
} VoraSyncCapability;

/* The states of a camera's IEEE 1588 clock (GetTimestampStatus). */
enum VoraPtpState {
    VORA_PTP_INITIALIZING = 1,
    VORA_PTP_FAULTY = 2,
    VORA_PTP_DISABLED = 3,
    VORA_PTP_LISTENING = 4,
    VORA_PTP_PRE_MASTER = 5,
    VORA_PTP_MASTER = 6,
    VORA_PTP_PASSIVE = 7,
    VORA_PTP_UNCALIBRATED = 8,
    VORA_PTP_SLAVE = 9
};

/* One action command. A camera fires signal i when device_key equals its
 * action device key, group_key its group key i, and group_mask shares a bit
 * with its group mask i. Scheduled: fired when the camera's clock reaches
 * action_time (camera ticks); a time already past is answered late and
 * fires nothing. */
typedef struct VoraAction {
    uint32_t device_key;
    uint32_t group_key;
    uint32_t group_mask;
    int32_t scheduled;
    uint64_t action_time;
} VoraAction;

typedef struct VoraActionAck {
    uint32_t camera_ip; /* host byte order */
    int32_t status;     /* 0; a device status (0x8016: late); VORA_ERR_NO_ACK when none came */
} VoraActionAck;

/* The host-side view of a camera's clock: at host time host_ns (realtime,
 * ns since 1970) the camera's clock read camera_ticks, give or take
 * uncertainty_ns (half the round trip of the tightest of several latches). */
typedef struct VoraClockMapping {
    uint64_t camera_ticks;
    int64_t host_ns;
    uint64_t tick_frequency;
    int64_t uncertainty_ns;
    int32_t ptp_state; /* VoraPtpState; 0 when the camera does not tell */
    int32_t ptp_enabled;
} VoraClockMapping;

VORA_API int GetSyncCapability(int index, VoraSyncCapability* capability);
/* Action keys: 0, or -91 when the camera has no action commands (or no
 * such signal), or the failing access's status. */
VORA_API int SetActionDeviceKey(int index, uint32_t device_key);
VORA_API int SetActionGroup(int index, uint32_t signal, uint32_t group_key, uint32_t group_mask);
VORA_API int GetActionGroup(int index, uint32_t signal, uint32_t* group_key, uint32_t* group_mask);
/* Sends one action command from the interface with address host_ip (dotted
 * text): to camera_ip alone, or, when camera_ip is null or empty, to the
 * interface's broadcast address. With ack_timeout_ms > 0 the cameras are
 * asked to acknowledge and answers are collected until max_acks have come
 * or the time is up. The number of acknowledges stored in acks, or an
 * error (-2 bad arguments, -6/-7 socket). */
VORA_API int SendAction(const char* host_ip, const char* camera_ip, const VoraAction* action, int ack_timeout_ms,
                        VoraActionAck* acks, int max_acks);
/* The same action to cameras of the table: one broadcast per host interface
 * they sit behind; acks[i] answers for indices[i]. With ack_timeout_ms 0 no
 * acknowledge is asked for and every status is 0. A camera lost or not
 * connected is left out (its status says which) and the rest still get the
 * action. The number of cameras that acknowledged with success, or an
 * error (-2 bad arguments, -99 no such camera). */
VORA_API int SendActionToCameras(const int* indices, int count, const VoraAction* action, int ack_timeout_ms,
                                 VoraActionAck* acks);
/* Latches the camera's clock a few times and keeps the tightest reading. */
VORA_API int GetClockMapping(int index, VoraClockMapping* mapping);
/* A camera time stamp in ticks as host realtime nanoseconds, by the mapping. */
VORA_API int64_t CameraTicksToHostNs(const VoraClockMapping* mapping, uint64_t camera_ticks);

/* Frame sets: frames of several cameras and channels grouped by time stamp. */
typedef struct VoraSetMember {
    int32_t camera_index;
    uint16_t channel;
} VoraSetMember;

enum VoraSetTimeBase {
    VORA_SET_TIME_CAMERA = 0, /* the frames' own time stamps (cameras on one PTP clock) */
    VORA_SET_TIME_HOST = 1    /* each camera's stamps mapped to host time (clocks not synchronised) */
};

typedef struct VoraFrameSetOptions {
    int64_t tolerance_ns; /* frames further apart than this are not one set */
    int64_t wait_us;      /* how long a set waits for a late member before it goes out incomplete */
    int32_t time_base;    /* VoraSetTimeBase */
} VoraFrameSetOptions;

typedef struct VoraSetFrameInfo {
    int32_t present;   /* the member has a frame in this set */
    int64_t time_ns;   /* its time stamp (in the set's time base) */
    int64_t offset_ns; /* its time stamp minus the set's */
} VoraSetFrameInfo;

typedef struct VoraFrameSetInfo {
    uint64_t set_id;   /* counts the sets handed over, from 1 */
    int64_t time_ns;   /* the mean time stamp of its frames */
    int32_t complete;  /* every member has a frame */
    int32_t present;   /* members with a frame */
    int64_t spread_ns; /* latest minus earliest time stamp */
} VoraFrameSetInfo;

typedef struct VoraFrameSetStatistics {
    uint64_t complete;
    uint64_t incomplete;
    uint64_t unmatched_frames; /* frames that fell in no set */
    int64_t worst_spread_ns;
} VoraFrameSetStatistics;

/* Starts grouping the frames of members (each camera's channel open and
 * acquiring). The frame set's number (>= 0), or an error. */
VORA_API int OpenFrameSet(const VoraSetMember* members, int count, const VoraFrameSetOptions* options);
/* The next set: frames[i] (the caller's buffers, as Capture fills them) and
 * member_info[i] for member i; a missing member's frame is left as it was.
 * 0 with a set (complete or not, see info); -34 when none came in time;
 * -80 when every member's camera is lost. */
VORA_API int NextFrameSet(int set, PhotoInfo* frames, VoraSetFrameInfo* member_info, VoraFrameSetInfo* info,
                          long long timeout_us);
VORA_API int GetFrameSetStatistics(int set, VoraFrameSetStatistics* statistics);
VORA_API int CloseFrameSet(int set);

/* ---- image and point-cloud processing ---- */

/* Raw 16-bit points to float x, y, z (points holds 12 bytes per pixel). */
VORA_API void Convert3DPointFromCharToFloat(int index, PhotoInfo* frame, float* points);
/* YUYV or Bayer RG8 to RGB8, in place (Bayer replaces frame->pixel). */
VORA_API void RawdataToRgb888(int index, PhotoInfo* frame);
/* One coordinate of every point, big-endian 16-bit; 0 without a camera object. */
VORA_API int GetCloudPlaneX(int index, PhotoInfo* frame, short* plane);
VORA_API int GetCloudPlaneY(int index, PhotoInfo* frame, short* plane);
VORA_API int GetCloudPlaneZ(int index, PhotoInfo* frame, short* plane);
VORA_API int SaveCloudPlane(int index, PhotoInfo* frame, short* plane, char* path);
VORA_API int SavePointCloudToPcd(int index, PhotoInfo* frame, char* path);
VORA_API int SavePointCloudToTxt(int index, PhotoInfo* frame, char* path);
VORA_API int SavePointCloudToPly(int index, PhotoInfo* frame, char* path);
/* YUYV and Bayer frames are converted in a buffer of the library's own: the
 * frame and its buffer are left as they were. */
VORA_API int SaveToBMP(int index, PhotoInfo* frame, char* path);
VORA_API int SaveDepthToPng(int index, PhotoInfo* frame, char* path);
VORA_API int SavePointCloudWithImageToTxt(int index, PhotoInfo* frame, float* fused, char* path);
/* Files for point-cloud and image viewers. The point-cloud ones convert the
 * frame as the writers above do; fused is FusionImageTo3D's array (6 floats
 * per point of the frame). Results as the writers above: 0; -2 for bad
 * arguments; -42 when the file cannot be created; -41 when writing fails or
 * (images) for a frame that is no image, which leaves no file. */
/* Binary little-endian PLY of the points with depth. */
VORA_API int SavePointCloudToBinaryPly(int index, PhotoInfo* frame, char* path);
/* The coloured cloud as binary PLY (float x, y, z; uchar red, green, blue) of
 * the points with depth, and as an organised PCD with an rgb field
 * (0x00RRGGBB) whose points without depth are NaN. */
VORA_API int SavePointCloudWithImageToPly(int index, PhotoInfo* frame, float* fused, char* path);
VORA_API int SavePointCloudWithImageToPcd(int index, PhotoInfo* frame, float* fused, char* path);
/* A colour or grey image (RGB8, Mono8, RGB565p, YUYV, Bayer RG8) as an 8-bit
 * RGB PNG; the frame is left as it was. */
VORA_API int SaveImageToPng(int index, PhotoInfo* frame, char* path);
/* The depth of a point cloud colour-mapped for the eye (near red, far blue,
 * no point black) as an 8-bit RGB PNG, beside SaveDepthToPng's numbers. */
VORA_API int SaveDepthPreviewToPng(int index, PhotoInfo* frame, char* path);
/* The same colour map on width x height depths (0: no point) into 3 bytes
 * per pixel of rgb; the nearest and farthest depth into *near_depth and
 * *far_depth (may be null). 0, or -2 without depth or rgb. */
VORA_API int DepthPreviewColours(const unsigned short* depth, unsigned int width, unsigned int height,
                                 unsigned char* rgb, unsigned short* near_depth, unsigned short* far_depth);
VORA_API void FilterPointCloud(int index, PhotoInfo* frame, double tolerance);
VORA_API int SpatialFilterPointcloud(int index, PhotoInfo* frame, int min_points);
VORA_API void PixelSwell(int index, int* mask, PhotoInfo* frame);
VORA_API void PixelCorrosion(int index, int* mask, PhotoInfo* frame);
VORA_API int FusionImageTo3D(int index, PhotoInfo* image, PhotoInfo* cloud, float* fused);
VORA_API int Fusion3DToRGB(int index, PhotoInfo* colour, PhotoInfo* cloud, PhotoInfo* output);
VORA_API void ROIMappingCoordinate(int index, int* mask, PhotoInfo* frame, RoiPoint* region);
VORA_API void ROIPixelMapping(int index, PhotoInfo* cloud, PhotoInfo* source, PhotoInfo* target, RoiPoint* region,
                              int* mask);

#ifdef __cplusplus
} /* extern "C" */

/* Exported under its C++ name; writes the file SavePointCloudToPcd writes. */
VORA_API int SaveFilterPointCloudToPcd(int index, PhotoInfo* frame, char* path);
#endif

#endif /* VORA_QELCAMERA_API_H */
