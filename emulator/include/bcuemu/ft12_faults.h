// Misbehaviour on demand of the emulated FT1.2 interface, for the tests of
// whatever talks to it: each count is used up one frame at a time.
#pragma once

namespace bcuemu {

struct Ft12Faults {
    int lostAcks = 0;           // a good frame from the PC is taken but not acknowledged
    int lateAcks = 0;           // ... acknowledged only after lateAckUs
    int lateAckUs = 300000;
    int badChecksums = 0;       // a frame to the PC goes out with a wrong checksum
    int cutFrames = 0;          // a frame to the PC stops after half its bytes
    int ignoredResets = 0;      // a reset from the PC is neither acknowledged nor done
    int negativeConfirms = 0;   // L_Data.con says the telegram did not go out (it did not)
    int repeatedFrames = 0;     // a frame to the PC is sent twice with the same frame-count bit
};

}  // namespace bcuemu
