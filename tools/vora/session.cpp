// Discovery, connection and the orderly end of a camera session.
#include "session.h"

#include <cstring>

#include "common.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

int CameraSession::discover()
{
    const int found = DiscoverCamera();
    if (found < 0) {
        report_status("discovery failed", found);
        return kExitCamera;
    }
    count_ = found;
    if (found == 0) {
        report("no camera found (is the camera on a network of this host? `vora sim` starts a simulated one)");
        return kExitNoCamera;
    }
    const int sorted = CameraSort(SORT_BY_SERIAL_NUMBER);
    if (sorted != 0) {
        report_status("cannot sort the camera list", sorted);
        return kExitCamera;
    }
    CreateCamera();
    table_ = true;
    return kExitOk;
}

int CameraSession::connect(int index)
{
    const int code = discover();
    if (code != kExitOk)
        return code;
    if (index < 0 || index >= count_) {
        report("no camera " + std::to_string(index) + ": " + std::to_string(count_) +
               " found (indexes 0.." + std::to_string(count_ - 1) + ", see `vora list`)");
        return kExitNoCamera;
    }
    index_ = index;
    const int status = CameraConnect(index);
    if (status != 0) {
        report_status("cannot connect to camera " + std::to_string(index) + " (" + serial() + ")", status);
        return kExitCamera;
    }
    connected_ = true;
    return kExitOk;
}

std::string CameraSession::serial() const
{
    if (index_ < 0 || static_cast<size_t>(index_) >= discovery_info.size())
        return "";
    const DiscoveryInfo& info = discovery_info[static_cast<size_t>(index_)];
    return field_text(info.device_serial_number, sizeof info.device_serial_number);
}

int CameraSession::stream_on(unsigned short channel)
{
    const int status = StreamOn(index_, channel);
    if (status == 0 && channel < 3)
        streams_[channel] = true;
    return status;
}

int CameraSession::acquisition_start()
{
    // Marked before the call: a start the camera carried out but whose
    // answer was lost must still be stopped.
    acquiring_ = true;
    return AcquisitionStart(index_);
}

void CameraSession::acquisition_stop()
{
    if (!acquiring_)
        return;
    acquiring_ = false;
    const int status = AcquisitionStop(index_);
    if (status != 0)
        report_status("stopping acquisition", status);
}

void CameraSession::close_streams()
{
    for (unsigned short ch = 0; ch < 3; ++ch) {
        if (!streams_[ch])
            continue;
        streams_[ch] = false;
        const int status = StreamOff(index_, ch);
        if (status != 0)
            report_status("closing stream channel " + std::to_string(ch), status);
    }
}

void CameraSession::close()
{
    // Acquisition stops first, so that the camera does not keep sending to
    // ports that are about to close.
    acquisition_stop();
    close_streams();
    if (connected_) {
        connected_ = false;
        const int status = CameraDisconnect(index_);
        if (status != 0)
            report_status("disconnecting", status);
    }
    if (table_) {
        table_ = false;
        DestroyCamera();
    }
}

int CameraSession::feature_address(const char* name, unsigned offset, unsigned* address) const
{
    const int base = GetRegisterAddr(index_, name);
    if (base < 0)
        return base;
    if (base == 0)
        return VORA_ERR_NO_NODE;  // a computed feature: no register behind it
    *address = static_cast<unsigned>(base) + offset;
    return VORA_OK;
}

int CameraSession::read_feature(const char* name, unsigned offset, int* value) const
{
    unsigned address = 0;
    const int status = feature_address(name, offset, &address);
    return status != 0 ? status : ReadRegister(index_, address, value);
}

int CameraSession::write_feature(const char* name, unsigned offset, int value) const
{
    unsigned address = 0;
    const int status = feature_address(name, offset, &address);
    return status != 0 ? status : WriteRegister(index_, address, value);
}

}  // namespace vora_tool
