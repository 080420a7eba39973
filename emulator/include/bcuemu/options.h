// How an emulated BCU behaves where real ones differ or tests want speed.
#pragma once

#include <cstdint>

namespace bcuemu {

enum class Timing : uint8_t {
    kFast,       // react at once; no pause after a message (tests)
    kRealistic,  // bytes at 9600 bit/s (~1.04 ms), reactions 0-3 ms, 3 ms pause after a message
};

struct Options {
    Timing timing = Timing::kFast;
    // Driver sends: drop CTS only when the driver drops RTS, not together with
    // the answer byte.
    bool ctsDropAfterRts = false;
    // A frame that becomes ready while the driver's header is on its way is
    // announced by answering that header with the frame's own header.
    bool answerHeaderWithOwnHeader = false;
    // The interface cable is powered by DTR: with DTR off the BCU neither
    // raises CTS nor takes bytes. Off: DTR is only recorded.
    bool requireDtr = true;
    // Whether the real BCU times out its own announcement (CTS up, no RTS from
    // the driver) is not known: off, it waits for the driver; on, the message
    // time-out ends it too, and the frame is announced again after the error
    // pause.
    bool announcementTimesOut = false;
    // Frames waiting for the driver, the one on its way included. A frame
    // that finds the queue full is dropped and counted (Bcu::droppedFrames),
    // as a real BCU's small buffer loses it. 0: no limit.
    unsigned queueLimit = 0;
    // Source address of the telegrams this BCU puts on the bus.
    uint16_t individualAddress = 0x1101;
    // Timing overrides in microseconds; negative takes the mode's default.
    int reactionUs = -1;          // fast 0; realistic 0-3000, drawn per reaction
    int postMessagePauseUs = -1;  // fast 0; realistic 3000
    int errorPauseUs = -1;        // 10000: after an error, once the line is idle
    int messageTimeoutUs = -1;    // 130000: a stalled frame is abandoned
    unsigned seed = 1;            // for the drawn reaction times
};

}  // namespace bcuemu
