// A recording file as anyone could make it: whatever its bytes, opening and
// reading every frame, the camera, calibration, description and topics must
// not crash, read outside the file, allocate what the file merely claims,
// or loop forever. (The counts a file's indexes give are its word only.)
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "record/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    record::RecordingReader reader(16u << 20);
    if (reader.open_memory(data, size) != 0)
        return 0;
    DiscoveryInfo camera{};
    reader.camera(&camera);
    for (int sensor = 0; sensor < 4; ++sensor) {
        CameraParameter p{};
        reader.calibration(sensor, &p);
    }
    std::string name, description;
    reader.description(&name, &description);
    std::vector<char> buffer(4096);
    // Every frame takes bytes of the file: the reading ends.
    for (size_t frames = 0, grown = 0; frames <= size;) {
        PhotoInfo f{};
        f.pixel = buffer.data();
        uint64_t at = 0;
        const int status = reader.next_frame(&f, buffer.size(), &at);
        if (status == VORA_ERR_INVALID_ARG && grown++ == 0 && f.payload_size <= (16u << 20)) {
            buffer.resize(f.payload_size);
            continue;
        }
        if (status != 0)
            break;
        grown = 0;
        ++frames;
    }
    reader.seek(reader.start_time() + (reader.end_time() - reader.start_time()) / 2);
    PhotoInfo f{};
    f.pixel = buffer.data();
    reader.next_frame(&f, buffer.size(), nullptr);
    return 0;
}
