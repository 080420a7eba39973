#include "knxnet/stream_framer.h"

#include "knxnet/codec.h"

namespace bcuemu::knxnet {

void StreamFramer::Push(const uint8_t* bytes, size_t count) {
    if (!broken_) pending_.insert(pending_.end(), bytes, bytes + count);
}

std::optional<std::vector<uint8_t>> StreamFramer::Next() {
    if (broken_ || pending_.size() < kHeaderSize) return std::nullopt;
    const size_t total = (static_cast<size_t>(pending_[4]) << 8) | pending_[5];
    if (pending_[0] != kHeaderSize || pending_[1] != kProtocolVersion || total < kHeaderSize) {
        broken_ = true;
        pending_.clear();
        return std::nullopt;
    }
    if (pending_.size() < total) return std::nullopt;
    std::vector<uint8_t> frame(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(total));
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(total));
    return frame;
}

}  // namespace bcuemu::knxnet
