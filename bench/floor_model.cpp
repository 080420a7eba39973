#include "floor_model.h"

#include <algorithm>
#include <cmath>
#include <deque>

namespace bench {

FloorModel::FloorModel(const LineTiming& timing, int64_t shortTelegramBusUs)
    : timing_(timing), busUs_(shortTelegramBusUs) {}

int64_t FloorModel::SlaveStrideUs() const {
    const int64_t c = timing_.charUs;
    const int64_t r = timing_.reactionUs;
    return c + r + std::max(c, r);
}

int64_t FloorModel::SlaveTransferUs(int octets) const {
    const int64_t c = timing_.charUs;
    const int64_t r = timing_.reactionUs;
    return r + (octets - 1) * SlaveStrideUs() + 2 * c + r;
}

int64_t FloorModel::SlaveCycleUs(int octets) const {
    // The BCU takes its frame as sent when RTS drops after the last octet; the
    // driver drops it as CTS drops, one character before that octet has ended.
    const int64_t c = timing_.charUs;
    const int64_t r = timing_.reactionUs;
    return r + (octets - 1) * SlaveStrideUs() + c + r + timing_.pauseUs;
}

int64_t FloorModel::MasterFrameUs(int octets) const {
    const int64_t c = timing_.charUs;
    const int64_t r = timing_.reactionUs;
    if (timing_.ctsDropAfterRts) return r + octets * (2 * c + r);
    return octets * (2 * c + 2 * r);
}

double FloorModel::MaxIndicationsPerSecond() const {
    return 1e6 / static_cast<double>(SlaveCycleUs(kIndicationOctets));
}

int64_t FloorModel::GroupReadUs() const {
    const int64_t accepted = MasterFrameUs(kRequestOctets);
    const int64_t requestOut = accepted + busUs_;
    const int64_t confirmStart = std::max(accepted + timing_.pauseUs, requestOut);
    const int64_t answerOut = requestOut + busUs_;
    const int64_t indicationStart = std::max(answerOut, confirmStart + SlaveCycleUs(kConfirmOctets));
    return indicationStart + SlaveTransferUs(kIndicationOctets);
}

int64_t FloorModel::WriteAloneUs() const { return MasterFrameUs(kRequestOctets) + 10000; }

int64_t FloorModel::WriteLoopUs() const {
    return std::max<int64_t>(MasterFrameUs(kRequestOctets) + timing_.pauseUs + SlaveCycleUs(kConfirmOctets),
                             WriteAloneUs());
}

double FloorModel::IndicationLoad(double perSecond) const {
    return perSecond * static_cast<double>(SlaveCycleUs(kIndicationOctets)) / 1e6;
}

FloorModel::Stream FloorModel::IndicationStream(double perSecond, int64_t windowUs, unsigned queueLimit) const {
    Stream s;
    const double spacing = std::max(1e6 / perSecond, static_cast<double>(busUs_));
    std::deque<int64_t> inQueue;  // when each queued frame leaves the BCU's queue
    int64_t freeAt = 0;           // the BCU may start its next frame
    int delivered = 0;
    int busOut = 0;
    std::vector<double> latencies;
    for (int i = 0;; ++i) {
        // Injected at i / rate, out on the bus one telegram time later (or after the one before).
        const int64_t arrival = static_cast<int64_t>(std::llround(busUs_ + i * spacing));
        if (static_cast<double>(i) * 1e6 / perSecond >= static_cast<double>(windowUs)) break;
        ++s.offered;
        if (arrival < windowUs) ++busOut;
        while (!inQueue.empty() && inQueue.front() <= arrival) inQueue.pop_front();
        if (queueLimit != 0 && inQueue.size() >= queueLimit) {
            ++s.dropped;
            continue;
        }
        const int64_t start = std::max(arrival, freeAt);
        const int64_t in = start + SlaveTransferUs(kIndicationOctets);
        freeAt = start + SlaveCycleUs(kIndicationOctets);
        inQueue.push_back(freeAt - timing_.pauseUs);
        latencies.push_back(static_cast<double>(in - arrival) / 1000.0);
        if (in < windowUs) ++delivered;
    }
    const double seconds = static_cast<double>(windowUs) / 1e6;
    s.takenPerSecond = delivered / seconds;
    s.busPerSecond = busOut / seconds;
    s.latencyMedianMs = Percentile(latencies, 50);
    s.latencyP99Ms = Percentile(latencies, 99);
    return s;
}

double Percentile(std::vector<double> values, double percent) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(percent / 100.0 * static_cast<double>(values.size()));
    const size_t index = static_cast<size_t>(std::clamp(rank, 1.0, static_cast<double>(values.size()))) - 1;
    return values[index];
}

}  // namespace bench
