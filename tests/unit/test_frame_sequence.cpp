// The capture tool's account of frames that never reached it: from the
// block ids of the frames taken and the library's no-buffer count, which
// frames the network lost and which found no free buffer because the tool
// had not taken the frames before them in time.
#include <gtest/gtest.h>

#include "frame_sequence.h"

using vora_tool::FrameSequence;
using vora_tool::ids_between;

TEST(FrameSequence, IdsBetweenFollowTheCameraCountThroughItsWrap)
{
    EXPECT_EQ(ids_between(1, 2), 0u);
    EXPECT_EQ(ids_between(7, 10), 2u);
    EXPECT_EQ(ids_between(65535, 1), 0u);  // 0 is skipped
    EXPECT_EQ(ids_between(65534, 2), 2u);  // 65535 and 1
    EXPECT_EQ(ids_between(100, 50), 0u);   // the count started again
    EXPECT_EQ(ids_between(5, 5), 0u);
    EXPECT_EQ(ids_between(1, 40000), 0u);  // half the range forward is no gap either
    EXPECT_EQ(ids_between(0, 3), 0u);      // 0 is no id
}

TEST(FrameSequence, AGapWhileNoPacketFoundTheBuffersFullIsTheNetworks)
{
    FrameSequence s;
    s.start(4, 0);
    s.taken(1, 10, 0);
    s.taken(1, 11, 0);
    s.taken(1, 15, 0);  // 12, 13, 14 never came
    EXPECT_EQ(s.lost_on_network(), 3u);
    EXPECT_EQ(s.not_taken_in_time(), 0u);
}

TEST(FrameSequence, AGapWhilePacketsFoundTheBuffersFullWasNotTakenInTime)
{
    FrameSequence s;
    s.start(4, 0);
    for (uint16_t id = 1; id <= 6; ++id)
        s.taken(1, id, 0);
    // The tool fell behind: frames 7 to 9 found every buffer taken.
    s.taken(1, 10, 360);
    EXPECT_EQ(s.not_taken_in_time(), 3u);
    EXPECT_EQ(s.lost_on_network(), 0u);
    EXPECT_EQ(s.last_no_buffer(), 360u);
}

TEST(FrameSequence, NoBufferPacketsAreLookedForFromBeforeTheFramesThatHeldTheBuffers)
{
    // With a budget of 2, frame 5 could open only once frame 3 was being
    // taken: packets found without a buffer after the reading that followed
    // frame 2 may belong to the frames after 5.
    FrameSequence behind;
    behind.start(2, 0);
    behind.taken(1, 1, 0);
    behind.taken(1, 2, 0);
    behind.taken(1, 3, 50);  // counted while frames 3..5 waited
    behind.taken(1, 4, 50);
    behind.taken(1, 5, 50);
    behind.taken(1, 8, 50);  // 6 and 7 were dropped before frame 5 was even taken
    EXPECT_EQ(behind.not_taken_in_time(), 2u);
    EXPECT_EQ(behind.lost_on_network(), 0u);

    // Packets without a buffer earlier than that say nothing of the gap.
    FrameSequence earlier;
    earlier.start(2, 0);
    earlier.taken(1, 1, 50);
    earlier.taken(1, 2, 50);
    earlier.taken(1, 3, 50);
    earlier.taken(1, 4, 50);
    earlier.taken(1, 5, 50);
    earlier.taken(1, 8, 50);
    EXPECT_EQ(earlier.lost_on_network(), 2u);
    EXPECT_EQ(earlier.not_taken_in_time(), 0u);
}

TEST(FrameSequence, IncompleteFramesCountAsArrivedWhateverIdTheyShow)
{
    // An incomplete frame may have lost its leader and show a stale id.
    FrameSequence s;
    s.start(4, 0);
    s.taken(1, 20, 0);
    s.taken(0, 3, 0);   // stale
    s.taken(-1, 9, 0);  // could not be told
    s.taken(1, 23, 0);  // 21 and 22 were the two above
    EXPECT_EQ(s.lost_on_network(), 0u);
    s.taken(0, 24, 0);
    s.taken(1, 27, 0);  // 25 and 26 never came
    EXPECT_EQ(s.lost_on_network(), 2u);
    EXPECT_EQ(s.not_taken_in_time(), 0u);
}

TEST(FrameSequence, TheFirstFrameAndACountStartingAgainMissNothing)
{
    FrameSequence s;
    s.start(4, 7);
    s.taken(1, 500, 7);  // whatever the camera sent before is not the capture's
    s.taken(1, 1, 7);    // the camera started counting again
    s.taken(1, 2, 7);
    EXPECT_EQ(s.lost_on_network(), 0u);
    EXPECT_EQ(s.not_taken_in_time(), 0u);
    EXPECT_EQ(s.last_no_buffer(), 7u);
}
