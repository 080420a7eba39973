// The line's floor: what a driver that reacts at once to every line change
// would get from the emulated BCU, computed from the timing the emulator
// runs with. Every figure of the benchmark is set beside one of these.
//
// Model (all times in microseconds):
//   c  one character at 9600 bit/s, 8N1: 10 bits = 1042
//   r  the BCU's reaction to a line change or to a byte it has taken (set, 1000)
//   P  the BCU's pause after every message (3000)
//   D  a telegram's time on the bus, acknowledgement included (Bus::durationUs:
//      20.6 ms for a one-bit group telegram)
//
// Every octet is one handshake, so it costs a character each way:
//   BCU -> driver, per octet: CTS up (r after the driver's RTS went down), the
//     driver's 0xFF/0x00 (c), the BCU's reaction (r), its octet (c). CTS drops
//     as the octet starts, so the next CTS comes when the octet has ended:
//     stride = c + r + max(c, r) = 2c + r for r <= c. A frame of n octets has
//     its last octet in at  r + (n-1) stride + 2c + r  from the BCU's start
//     (= r + n (2c + r)), and the BCU is free for the next P + r later.
//   driver -> BCU, per octet: RTS up, CTS (r), the octet (c), reaction (r),
//     the answer (c); the answer confirms the octet, so RTS drops then.
//       CTS drops with the answer:       n (2c + 2r)
//       CTS drops only after RTS drops:  r + n (2c + r): CTS still reads on
//         when RTS rises again at once, so every octet after the first goes
//         without waiting for CTS (the BCU takes it as granted).
//     Then the BCU keeps its pause P.
// The floors below compose these with the bus: a data request goes on the bus
// once accepted (D), its confirmation frame (the request, as long) comes back
// over the line before anything the bus sent later, and a device answers a
// group read with its own telegram (another D).
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

struct LineTiming {
    int64_t charUs = 1042;      // as the emulator's realistic timing
    int64_t reactionUs = 1000;  // the BCU's, set in the emulator
    int64_t pauseUs = 3000;     // after each message, set in the emulator
    bool ctsDropAfterRts = false;
};

// Octets of the frames the benchmark moves.
constexpr int kIndicationOctets = 10;  // a one-bit group telegram from the bus (0x49)
constexpr int kRequestOctets = 11;     // the driver's "D_" read and write frames (header 0xAA)
constexpr int kConfirmOctets = 11;     // the BCU's 0x4E: the request with its code changed

class FloorModel {
public:
    explicit FloorModel(const LineTiming& timing, int64_t shortTelegramBusUs);

    const LineTiming& timing() const { return timing_; }
    int64_t BusUs() const { return busUs_; }

    // BCU -> driver: from the BCU's start on an idle line to the last octet in.
    int64_t SlaveTransferUs(int octets) const;
    // The same measured from the BCU's first CTS (what the line trace shows).
    int64_t SlaveLineUs(int octets) const { return SlaveTransferUs(octets) - timing_.reactionUs; }
    // From the BCU's start until it may start its next frame (its pause included).
    int64_t SlaveCycleUs(int octets) const;
    // Driver -> BCU: from RTS up for the header to the last answer in.
    int64_t MasterFrameUs(int octets) const;

    // Back-to-back indications: the most frames a second the line carries.
    double MaxIndicationsPerSecond() const;
    // A group read: request over the line, on the bus, the confirmation back
    // over the line, the device's answer on the bus, its indication over the line.
    int64_t GroupReadUs() const;
    // One write alone: the request frame plus the driver's 10 ms pause after it.
    int64_t WriteAloneUs() const;
    // Writes in a loop: each needs its request and its confirmation on the line
    // (the driver's 10 ms pause hides under the confirmation).
    int64_t WriteLoopUs() const;
    // Share of the line that indications at `perSecond` take.
    double IndicationLoad(double perSecond) const;

    // Indications offered at `perSecond` (as fast as the bus allows) for
    // `windowUs`, into a BCU queue of `queueLimit` frames, taken at the floor.
    struct Stream {
        int offered = 0;
        int dropped = 0;
        double takenPerSecond = 0;  // last octet in within the window
        double busPerSecond = 0;    // telegrams out on the bus within the window
        double latencyMedianMs = 0;
        double latencyP99Ms = 0;
    };
    Stream IndicationStream(double perSecond, int64_t windowUs, unsigned queueLimit) const;

private:
    int64_t SlaveStrideUs() const;

    LineTiming timing_;
    int64_t busUs_;
};

// Nearest-rank percentile (0-100) of `values`; 0 for none.
double Percentile(std::vector<double> values, double percent);

}  // namespace bench
