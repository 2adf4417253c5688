// The stream faults as a table: each entry names the switches of
// StreamFaults it reads and does one thing to a frame on its way out, so a
// new fault is one entry (and its test). The fault stage applies the table
// to each frame a channel sends.
#ifndef VORA_SIM_FAULTS_H
#define VORA_SIM_FAULTS_H

#include <cstdint>
#include <random>
#include <vector>

#include "sim_camera.h"
#include "sim_packets.h"

namespace vsim {

// One frame on its way out, as the fault entries see and change it.
struct FaultedFrame {
    uint64_t frame_number = 0;    // frames the channel sent before this one
    uint32_t channel_format = 0;  // the pixel format the channel is set to
    uint16_t block_id = 1;        // the id it goes out under
    uint16_t payload_status = 0;  // the status its payload packets carry
    uint32_t total = 0;           // its packets: leader, payload, trailer
    uint32_t packet = 0;          // the packet in question (Drop and Repeat entries)
    std::vector<Packet> packets;  // what goes out, in order (a packet out of its place marked alone)
    bool stop_channel = false;    // the channel sends nothing more until it is set up anew
    // Datagrams sent to the same host and port after the frame.
    std::vector<Packet> from_other_address;  // from another address
    std::vector<Packet> from_other_port;     // from the camera's address, another port
};

// Where on a frame's way out an entry acts.
enum class FaultStep {
    Block,     // before its packets are made: the block id and the payload status
    Drop,      // each packet in turn: true loses it, and later entries never see it
    Repeat,    // each packet kept, as packets.back()
    Sequence,  // the frame's packets, all made
    Extra,     // datagrams from elsewhere, sent after the frame
    Resend,    // a resend request: true leaves it unanswered
};

struct FaultEntry {
    const char* name;    // as the simulator's option, where it has one
    const char* reads;   // the switches of StreamFaults it reads
    const char* effect;  // what it does
    FaultStep step;
    // Drop and Resend entries answer whether they acted; the others' answer is not used.
    bool (*act)(StreamFaults& switches, FaultedFrame& frame, std::mt19937& random);
};

// Every stream fault; within a step, in the order they act.
const std::vector<FaultEntry>& fault_table();

// Applies a fault table to the frames of a camera's channels. Random faults
// draw from `random`: with the same seed and switches, the same packets go out.
class FaultStage {
public:
    FaultStage(StreamFaults& switches, std::mt19937& random, const std::vector<FaultEntry>& table = fault_table());

    // The block id the frame goes out under (never 0; frame.block_id holds
    // the channel's next one) and the status of its payload packets.
    void begin(FaultedFrame& frame);
    // The frame's packets as the faults let them out, and the datagrams
    // that follow them.
    void packets(const SentBlock& block, FaultedFrame& frame);
    // True when resend requests go unanswered.
    bool ignores_resends();

private:
    bool any(FaultStep step, FaultedFrame& frame);

    StreamFaults& switches_;
    std::mt19937& random_;
    std::vector<std::vector<const FaultEntry*>> steps_;  // the entries of each step, in order
};

}  // namespace vsim

#endif
