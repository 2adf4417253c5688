// Open frame sets (api_frame_set.cpp).
#ifndef VORA_API_FRAME_SET_H
#define VORA_API_FRAME_SET_H

class GigeStream;

// Every frame set capturing from stream stops doing so; StreamOff and
// DestroyCamera call it before the stream is freed.
void frame_sets_forget_stream(const GigeStream* stream);

#endif
