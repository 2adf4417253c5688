// One line of text for every status code the library hands out: its own
// negative codes and the status words of camera acknowledges.
#include <cstdint>

#include "vora_qelcamera_api.h"

namespace {

struct StatusText {
    int code;
    const char* text;
};

constexpr StatusText kLibraryTexts[] = {
    {VORA_OK, "success"},
    {VORA_ERR_FAILED, "operation failed"},
    {VORA_ERR_INVALID_ARG, "invalid argument"},
    {VORA_ERR_FORCEIP, "forcing the IP configuration failed (no or negative answer)"},
    {VORA_ERR_INTERFACE_LIST, "cannot list the host's network interfaces"},
    {VORA_ERR_SOCKET, "cannot create a socket"},
    {VORA_ERR_BIND, "cannot bind a socket to the host interface"},
    {VORA_ERR_FIREWALL_SEND, "cannot send the firewall opener to the stream source"},
    {VORA_ERR_XML_READ, "cannot read or parse the device description"},
    {VORA_ERR_NOT_CONNECTED, "camera not connected (or controlled by another application)"},
    {VORA_ERR_LOG_OPEN, "cannot open the log file"},
    {VORA_ERR_MTU, "unusable MTU on the host interface"},
    {VORA_ERR_GAIN_RANGE, "gain out of range"},
    {VORA_ERR_VALUE_RANGE, "value out of range"},
    {VORA_ERR_HEARTBEAT_THREAD, "cannot start the heartbeat thread"},
    {VORA_ERR_NO_NODE, "no such feature in the device description"},
    {VORA_ERR_PIXEL_FORMAT, "unsupported pixel format"},
    {VORA_ERR_ROI, "region of interest out of range or misaligned"},
    {VORA_ERR_MAX_UNREADABLE, "cannot read the feature's maximum"},
    {VORA_ERR_MIN_UNREADABLE, "cannot read the feature's minimum"},
    {VORA_ERR_HEARTBEAT_BOUNDS, "cannot read the heartbeat timeout's bounds"},
    {VORA_ERR_HEARTBEAT_TIMEOUT, "heartbeat timed out: the camera stopped answering"},
    {VORA_ERR_CHANNEL_INDEX, "no such stream channel"},
    {VORA_ERR_CAPTURE_TIMEOUT, "no frame arrived in time"},
    {VORA_ERR_CAPTURE, "capture failed"},
    {VORA_ERR_IP_TEXT, "not a valid IPv4 address"},
    {VORA_ERR_SAVE_FORMAT, "cannot write the file (format or write error)"},
    {VORA_ERR_SAVE_OPEN, "cannot create the file"},
    {VORA_ERR_XML_SAVE, "cannot save the device description"},
    {VORA_ERR_FTP_SOCKET, "cannot open the file transfer connection"},
    {VORA_ERR_FTP_TRANSFER, "file transfer failed"},
    {VORA_ERR_FTP_FILE, "cannot read the file to transfer"},
    {VORA_ERR_NO_STREAM, "stream channel not open"},
    {VORA_ERR_INC_UNREADABLE, "cannot read the feature's increment"},
    {VORA_ERR_WRITEREG_TIMEOUT, "register write timed out"},
    {VORA_ERR_READREG_TIMEOUT, "register read timed out"},
    {VORA_ERR_WRITEMEM_TIMEOUT, "memory write timed out"},
    {VORA_ERR_READMEM_TIMEOUT, "memory read timed out"},
    {VORA_ERR_CCP_TIMEOUT, "control privilege query timed out"},
    {VORA_ERR_COLOR_FORMAT, "unsupported colour format"},
    {VORA_ERR_CCP_NO_CAMERA, "no camera object for the control privilege query"},
    {VORA_ERR_FEATURE_NOT_AVAILABLE, "the feature is not available now"},
    {VORA_ERR_FEATURE_NOT_READABLE, "the feature cannot be read"},
    {VORA_ERR_FEATURE_NOT_WRITABLE, "the feature cannot be written now"},
    {VORA_ERR_FEATURE_RANGE, "value outside the feature's range"},
    {VORA_ERR_FEATURE_INCREMENT, "value not on the feature's increment"},
    {VORA_ERR_FEATURE_TYPE, "the feature is of another type"},
    {VORA_ERR_DESCRIPTION, "the device description cannot evaluate the feature"},
    {VORA_ERR_NO_ACK, "no acknowledge came for the action command"},
    {VORA_ERR_SYNC_UNSUPPORTED, "the camera cannot do this (action commands, scheduled actions or PTP)"},
    {VORA_ERR_FRAME_SET_MISSING, "no open frame set with that number"},
    {VORA_ERR_LOAN_LIMIT, "the stream has as many frames out on loan as its loan limit"},
    {VORA_ERR_NOT_LENT, "not a frame the stream has out on loan"},
    {VORA_ERR_RECORDING_BUSY, "a recording runs on this camera already (or too many recordings are open)"},
    {VORA_ERR_NOT_RECORDING, "no recording runs on this camera"},
    {VORA_ERR_RECORDING_IO, "cannot create, write or open the recording file"},
    {VORA_ERR_RECORDING_FORMAT, "not a readable recording (not MCAP, or damaged)"},
    {VORA_ERR_RECORDING_END, "no more frames in the recording"},
    {VORA_ERR_RECORDING_MISSING, "no open recording with that number"},
    {VORA_ERR_CAMERA_LOST, "the camera was lost: it stopped answering, or its control lapsed"},
    {VORA_ERR_STREAM_MISSING, "stream channel not open"},
    {VORA_ERR_CAMERA_MISSING, "no such camera (discover and create the camera table first)"},
};

// Status words of GigE Vision acknowledges.
constexpr StatusText kDeviceTexts[] = {
    {0x8001, "device: command not implemented"},
    {0x8002, "device: invalid parameter"},
    {0x8003, "device: invalid address"},
    {0x8004, "device: write protected"},
    {0x8005, "device: bad alignment"},
    {0x8006, "device: access denied (another application controls the camera)"},
    {0x8007, "device: busy"},
    {0x8008, "device: local problem"},
    {0x8009, "device: message mismatch"},
    {0x800A, "device: invalid protocol"},
    {0x800B, "device: no message"},
    {0x800C, "device: packet unavailable"},
    {0x800D, "device: data overrun"},
    {0x800E, "device: invalid header"},
    {0x800F, "device: wrong configuration"},
    {0x8010, "device: packet not yet available"},
    {0x8011, "device: packet and earlier ones removed from memory"},
    {0x8012, "device: packet removed from memory"},
    {0x8013, "device: no reference time"},
    {0x8014, "device: packet temporarily unavailable"},
    {0x8015, "device: overflow"},
    {0x8016, "device: action command too late"},
    {0x8FFF, "device: error (no details given)"},
};

template <size_t N>
const char* find(const StatusText (&table)[N], int code)
{
    for (const StatusText& entry : table)
        if (entry.code == code)
            return entry.text;
    return nullptr;
}

}  // namespace

extern "C" const char* VoraStatusText(int status)
{
    if (const char* text = find(kLibraryTexts, status))
        return text;
    if (const char* text = find(kDeviceTexts, status))
        return text;
    // Some paths pass a 16-bit status on sign-extended (a device refusal
    // becomes -32765), others cut a library code to 16 bits (-52 becomes
    // 0xFFCC); both still name what happened.
    if (status >= INT16_MIN && status < -0x7000) {
        if (const char* text = find(kDeviceTexts, status & 0xFFFF))
            return text;
    }
    if (status >= 0xFF80 && status <= 0xFFFF) {
        if (const char* text = find(kLibraryTexts, static_cast<int16_t>(status)))
            return text;
    }
    if (status > 0 && (status & 0x8000))
        return "device: error status";
    return "unknown status";
}
