// Recordings of the cameras in the table (api_record.cpp).
#ifndef VORA_API_RECORD_H
#define VORA_API_RECORD_H

// Stops every recording; DestroyCamera calls it before the streams go.
void stop_all_recordings();

#endif
