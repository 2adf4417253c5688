// The camera table and the dispatch rule of the exported functions.
#ifndef VORA_API_TABLE_H
#define VORA_API_TABLE_H

#include "vora_globals.h"
#include "vora_qelcamera_api.h"

// The camera object at index, or null when the table, the row or the object
// is missing (the caller then answers with its missing-object result).
GigeCamera* camera_at(int index);
// The open stream of a channel, or null (also for a channel outside 0..2).
GigeStream* stream_at(int index, int channel);
// The slot a stream of this camera and channel is stored in, or null.
GigeStream** stream_slot(int index, int channel);
DiscoveryInfo* discovery_record(int index);

#endif
