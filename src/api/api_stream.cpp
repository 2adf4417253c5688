// Exported functions of the stream channels: each finds the channel's
// stream (or, to open one, the camera) and forwards.
#include <cstdlib>
#include <cstring>

#include "api/api_frame_set.h"
#include "api/api_table.h"
#include "api/csharp_frame.h"
#include "camera/vora_gige_camera.h"
#include "stream/vora_gige_stream.h"
#include "vora_qelcamera_api_csharp.h"

namespace {

constexpr int MISSING = VORA_ERR_STREAM_MISSING;

template <class F>
int with_stream(int index, int channel, int missing, F f)
{
    GigeStream* stream = stream_at(index, channel);
    return stream ? f(stream) : missing;
}

// The flat-buffer captures: a private frame buffer, copied out whole.
int capture_into(int index, unsigned short channel, PhotoInfoCSharp& info, char* buffer, int length,
                 int (*capture)(GigeStream*, PhotoInfo*, long long), long long timeout_us)
{
    GigeStream* stream = stream_at(index, channel);
    if (!stream)
        return MISSING;
    PhotoInfo frame;
    std::memset(&frame, 0, sizeof frame);
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    // Room for a whole frame whatever length says; only length bytes go back.
    const size_t room = size > stream->frame_size() ? size : stream->frame_size();
    frame.pixel = static_cast<char*>(std::calloc(room ? room : 1, 1));
    if (!frame.pixel)
        return VORA_ERR_FAILED;
    const int result = capture(stream, &frame, timeout_us);
    if (buffer && size)
        std::memcpy(buffer, frame.pixel, size);
    std::free(frame.pixel);
    frame_to_csharp(frame, &info);
    return result;
}

}  // namespace

extern "C" {

int StreamOn(int index, unsigned short channel)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    GigeStream** slot = stream_slot(index, channel);
    if (!slot)
        return VORA_ERR_CHANNEL_INDEX;
    if (*slot)
        return VORA_ERR_INVALID_ARG;  // already open: the running stream stays
    return camera->StreamOn(channel, slot);
}

int StreamOff(int index, unsigned short channel)
{
    GigeCamera* camera = camera_at(index);
    GigeStream** slot = stream_slot(index, channel);
    if (!camera || !slot || !*slot)
        return VORA_ERR_CAMERA_MISSING;
    frame_sets_forget_stream(*slot);  // no frame set may capture from it once freed
    const int result = camera->StreamOff(channel, *slot);
    *slot = nullptr;
    return result;
}

void FlushBuffer(int index, unsigned short channel)
{
    if (GigeStream* stream = stream_at(index, channel))
        stream->FlushBuffer();
}

int SetMaxBufferLength(int index, unsigned short channel, unsigned int length)
{
    return with_stream(index, channel, MISSING, [&](GigeStream* s) { return s->SetMaxBufferLength(length); });
}

int GetMaxBufferLength(int index, unsigned short channel)
{
    return with_stream(index, channel, MISSING, [](GigeStream* s) { return s->GetMaxBufferLength(); });
}

int SetPacketResendRatio(int index, unsigned short channel, double ratio)
{
    return with_stream(index, channel, MISSING, [&](GigeStream* s) { return s->SetPacketResendRatio(ratio); });
}

double GetPacketResendRatio(int index, unsigned short channel)
{
    GigeStream* stream = stream_at(index, channel);
    return stream ? stream->GetPacketResendRatio() : -98.0;
}

int SetSocketSelectTimeout(int index, unsigned short channel, unsigned int us)
{
    return with_stream(index, channel, MISSING, [&](GigeStream* s) { return s->SetSocketSelectTimeout(us); });
}

int GetSocketSelectTimeout(int index, unsigned short channel)
{
    return with_stream(index, channel, MISSING, [](GigeStream* s) { return s->GetSocketSelectTimeout(); });
}

int SetPacketTimeout(int index, unsigned short channel, unsigned int us)
{
    return with_stream(index, channel, MISSING, [&](GigeStream* s) { return s->SetPacketTimeout(us); });
}

int GetPacketTimeout(int index, unsigned short channel)
{
    return with_stream(index, channel, MISSING, [](GigeStream* s) { return s->GetPacketTimeout(); });
}

int SetBlockTimeout(int index, unsigned short channel, unsigned int us)
{
    return with_stream(index, channel, MISSING, [&](GigeStream* s) { return s->SetBlockTimeout(us); });
}

int GetBlockTimeout(int index, unsigned short channel)
{
    return with_stream(index, channel, VORA_ERR_CAMERA_MISSING, [](GigeStream* s) { return s->GetBlockTimeout(); });
}

void SetResendRequest(int index, int channel, int on)
{
    if (GigeStream* stream = stream_at(index, channel))
        stream->SetPacketResendFlag(static_cast<unsigned>(on));
}

int GetResendRequest(int index, int channel)
{
    return with_stream(index, channel, MISSING, [](GigeStream* s) { return s->GetPacketResendFlag(); });
}

void GetBlockStatistics(int index, unsigned short channel, unsigned int* complete, unsigned int* incomplete,
                        unsigned int* timeout, unsigned int* no_buffer, unsigned int* flushed, unsigned int* lost,
                        unsigned int* error, unsigned int* overflow)
{
    if (GigeStream* stream = stream_at(index, channel)) {
        stream->GetBlockStatistics(complete, incomplete, timeout, no_buffer, flushed, lost, error, overflow);
        return;
    }
    for (unsigned int* out : {complete, incomplete, timeout, no_buffer, flushed, lost, error, overflow})
        if (out)
            *out = 0;
}

void GetPacketStatistics(int index, unsigned short channel, unsigned int* received, unsigned int* lost,
                         unsigned int* format_error, unsigned int* dropped, unsigned int* resend_requested,
                         unsigned int* resent, unsigned int* duplicate)
{
    if (GigeStream* stream = stream_at(index, channel)) {
        stream->GetPacketStatistics(received, lost, format_error, dropped, resend_requested, resent, duplicate);
        return;
    }
    for (unsigned int* out : {received, lost, format_error, dropped, resend_requested, resent, duplicate})
        if (out)
            *out = 0;
}

void GetRecieveTimeStatistics(int index, unsigned short channel, StatisticsData* statistics)
{
    GigeStream* stream = stream_at(index, channel);
    if (stream && statistics)
        stream->GetRecieveTimeStatistics(statistics);
}

void GetRecieveTimeStatisticsCSharp(int index, unsigned short channel, StatisticsDataCSharp& statistics,
                                    long long* bins)
{
    GigeStream* stream = stream_at(index, channel);
    if (!stream)
        return;
    StatisticsData* local = static_cast<StatisticsData*>(std::malloc(sizeof(StatisticsData)));
    if (!local)
        return;
    stream->GetRecieveTimeStatistics(local);
    statistics.offset = local->offset;
    statistics.bin_steps = local->bin_steps;
    statistics.n_bins = local->n_bins;
    statistics.max = local->max;
    statistics.min = local->min;
    statistics.count = local->count;
    statistics.add_more = local->add_more;
    statistics.add_less = local->add_less;
    if (bins)
        for (uint32_t i = 0; i < local->n_bins && i < RECIEVE_TIME_STATISTICS_LENGTH; ++i)
            bins[i] = local->bins[i];
    std::free(local);
}

int GetNetSpeed(int index, unsigned short channel)
{
    return with_stream(index, channel, MISSING, [](GigeStream* s) { return s->GetNetSpeed(); });
}

int GetReceivePathStatistics(int index, unsigned short channel, VoraReceivePathStatistics* statistics)
{
    if (!statistics)
        return VORA_ERR_INVALID_ARG;
    return with_stream(index, channel, MISSING, [&](GigeStream* s) {
        s->GetReceivePathStatistics(statistics);
        return VORA_OK;
    });
}

float GetBlockRate(int index, unsigned short channel)
{
    GigeStream* stream = stream_at(index, channel);
    return stream ? stream->GetBlockRate() : -98.0f;
}

int Capture(int index, unsigned short channel, PhotoInfo* frame)
{
    GigeStream* stream = stream_at(index, channel);
    return stream && frame ? stream->Capture(frame) : MISSING;
}

int TryCapture(int index, unsigned short channel, PhotoInfo* frame)
{
    GigeStream* stream = stream_at(index, channel);
    return stream && frame ? stream->TryCapture(frame) : MISSING;
}

int TimeoutCapture(int index, unsigned short channel, PhotoInfo* frame, long long timeout_us)
{
    GigeStream* stream = stream_at(index, channel);
    return stream && frame ? stream->TimeoutCapture(frame, timeout_us) : MISSING;
}

int BorrowFrame(int index, unsigned short channel, PhotoInfo* frame, long long timeout_us)
{
    return with_stream(index, channel, MISSING, [&](GigeStream* s) { return s->BorrowFrame(frame, timeout_us); });
}

int ReturnFrame(int index, unsigned short channel, const PhotoInfo* frame)
{
    return with_stream(index, channel, MISSING, [&](GigeStream* s) { return s->ReturnFrame(frame); });
}

int SetLoanLimit(int index, unsigned short channel, unsigned int frames)
{
    return with_stream(index, channel, MISSING, [&](GigeStream* s) { return s->SetLoanLimit(frames); });
}

int GetLoanLimit(int index, unsigned short channel)
{
    return with_stream(index, channel, MISSING, [](GigeStream* s) { return s->GetLoanLimit(); });
}

int GetLoanStatistics(int index, unsigned short channel, VoraLoanStatistics* statistics)
{
    return with_stream(index, channel, MISSING, [&](GigeStream* s) {
        if (!statistics)
            return static_cast<int>(VORA_ERR_INVALID_ARG);
        *statistics = s->GetLoanStatistics();
        return static_cast<int>(VORA_OK);
    });
}

int CaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp& info, char* buffer, int length)
{
    return capture_into(
        index, channel, info, buffer, length, [](GigeStream* s, PhotoInfo* f, long long) { return s->Capture(f); }, 0);
}

int TryCaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp& info, char* buffer, int length)
{
    return capture_into(
        index, channel, info, buffer, length, [](GigeStream* s, PhotoInfo* f, long long) { return s->TryCapture(f); },
        0);
}

int TimeoutCaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp& info, char* buffer, int length,
                         long long timeout_us)
{
    return capture_into(
        index, channel, info, buffer, length,
        [](GigeStream* s, PhotoInfo* f, long long t) { return s->TimeoutCapture(f, t); }, timeout_us);
}

}  // extern "C"
