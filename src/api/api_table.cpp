// Building and tearing down the camera table; table lookups by index.
#include <cstdlib>
#include <cstring>

#include "api/api_frame_set.h"
#include "api/api_record.h"
#include "api/api_table.h"
#include "camera/vora_gige_camera.h"
#include "discovery/vora_discovery.h"
#include "stream/vora_gige_stream.h"

namespace {

// The table's own row count: indexes are checked against the table that
// exists, not against a list that may have been refilled since.
size_t camera_rows = 0;

}  // namespace

GigeCamera* camera_at(int index)
{
    if (!camera_object || index < 0 || static_cast<size_t>(index) >= camera_rows)
        return nullptr;
    return camera_object[index].camera;
}

GigeStream** stream_slot(int index, int channel)
{
    if (!camera_at(index) || channel < 0 || channel > 2)
        return nullptr;
    return &camera_object[index].stream[channel];
}

GigeStream* stream_at(int index, int channel)
{
    if (!camera_object || index < 0 || static_cast<size_t>(index) >= camera_rows || channel < 0 || channel > 2)
        return nullptr;
    return camera_object[index].stream[channel];
}

DiscoveryInfo* discovery_record(int index)
{
    if (index < 0 || static_cast<size_t>(index) >= discovery_info.size())
        return nullptr;
    return &discovery_info[static_cast<size_t>(index)];
}

extern "C" {

void CreateCamera(void)
{
    if (discovery_info.empty())
        return;
    DestroyCamera();
    const size_t rows = discovery_info.size();
    CameraObject* table = static_cast<CameraObject*>(std::calloc(rows, sizeof(CameraObject)));
    if (!table)
        return;
    for (size_t i = 0; i < rows; ++i)
        table[i].camera = new GigeCamera();
    camera_object = table;
    camera_rows = rows;
}

void DestroyCamera(void)
{
    if (!camera_object)
        return;
    stop_all_recordings();
    for (size_t i = 0; i < camera_rows; ++i) {
        GigeCamera* camera = camera_object[i].camera;
        if (!camera)
            continue;
        // Applications that forget to close and disconnect still leave the
        // cameras free and nothing running.
        for (unsigned short ch = 0; ch < 3; ++ch) {
            if (GigeStream* stream = camera_object[i].stream[ch]) {
                frame_sets_forget_stream(stream);
                camera->StreamOff(ch, stream);
                camera_object[i].stream[ch] = nullptr;
            }
        }
        camera->CameraDisconnect();
        delete camera;
    }
    std::free(camera_object);
    camera_object = nullptr;
    camera_rows = 0;
}

}  // extern "C"
