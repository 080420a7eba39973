#include "knxnet/tunnel_server.h"

#include <algorithm>
#include <utility>

namespace bcuemu::knxnet {

namespace {

// An HPAI of 0.0.0.0:0 asks for answers to the datagram's own source (a
// client behind NAT, or one that does not know its address).
Endpoint Resolve(const Endpoint& hpai, const Endpoint& from) {
    return hpai.address == 0 || hpai.port == 0 ? from : hpai;
}

}  // namespace

TunnelServer::TunnelServer(const TunnelSettings& settings, const Endpoint& local) : settings_(settings), local_(local) {}

TunnelServer::Tunnel* TunnelServer::Find(uint8_t channel) {
    for (Tunnel& t : tunnels_) {
        if (t.channel == channel) return &t;
    }
    return nullptr;
}

std::string TunnelServer::Name(const Tunnel& tunnel) const {
    return "tunnel " + std::to_string(tunnel.channel) + " (" + IndividualText(tunnel.address) + ")";
}

void TunnelServer::Reply(const Endpoint& to, const Frame& frame) { datagrams_.push_back({to, Encode(frame)}); }

void TunnelServer::Receive(const uint8_t* bytes, size_t count, const Endpoint& from, int64_t nowMs) {
    const std::optional<Frame> request = Decode(bytes, count);
    if (!request) return;  // not ours, or malformed: no answer
    Frame answer;
    switch (request->service) {
    case Service::kSearchRequest:
        answer.service = Service::kSearchResponse;
        answer.control = local_;
        answer.body = DescriptionDibs(settings_.serverAddress, settings_.name);
        Reply(Resolve(request->control, from), answer);
        break;
    case Service::kDescriptionRequest:
        answer.service = Service::kDescriptionResponse;
        answer.body = DescriptionDibs(settings_.serverAddress, settings_.name);
        Reply(Resolve(request->control, from), answer);
        break;
    case Service::kConnectRequest: Connect(*request, from, nowMs); break;
    case Service::kConnectionStateRequest: {
        Tunnel* t = Find(request->channel);
        if (t) t->heartbeatMs = nowMs;
        answer.service = Service::kConnectionStateResponse;
        answer.channel = request->channel;
        answer.status = t ? kNoError : kConnectionIdError;
        Reply(Resolve(request->control, from), answer);
        break;
    }
    case Service::kDisconnectRequest: {
        Tunnel* t = Find(request->channel);
        answer.service = Service::kDisconnectResponse;
        answer.channel = request->channel;
        answer.status = t ? kNoError : kConnectionIdError;
        Reply(Resolve(request->control, from), answer);
        if (t) {
            notes_.push_back(Name(*t) + " disconnected by the client");
            tunnels_.erase(tunnels_.begin() + (t - tunnels_.data()));
        }
        break;
    }
    case Service::kTunnellingRequest: Tunnelling(*request, from); break;
    case Service::kTunnellingAck: Acknowledged(*request, nowMs); break;
    case Service::kDisconnectResponse:  // to our own disconnect: the tunnel is already gone
    default: break;
    }
}

void TunnelServer::Connect(const Frame& request, const Endpoint& from, int64_t nowMs) {
    Frame answer;
    answer.service = Service::kConnectResponse;
    if (request.connectionType != kTunnelConnection) {
        answer.status = kConnectionTypeError;
    } else if (request.layer != kTunnelLinkLayer) {
        answer.status = kTunnellingLayerError;
    } else if (tunnels_.size() >= settings_.maxTunnels || faults_.refuseConnections) {
        answer.status = kNoMoreConnections;
    }
    const Endpoint control = Resolve(request.control, from);
    if (answer.status != kNoError) {
        Reply(control, answer);
        return;
    }
    Tunnel t;
    while (Find(nextChannel_) || nextChannel_ == 0) ++nextChannel_;  // fewer than 255 tunnels: ends
    t.channel = nextChannel_++;
    while (std::any_of(tunnels_.begin(), tunnels_.end(), [&](const Tunnel& o) { return o.slot == t.slot; })) ++t.slot;
    t.address = static_cast<uint16_t>(settings_.firstTunnelAddress + t.slot);
    t.control = control;
    t.data = Resolve(request.data, from);
    t.heartbeatMs = nowMs;
    answer.channel = t.channel;
    answer.data = local_;
    answer.individualAddress = t.address;
    Reply(control, answer);
    notes_.push_back(Name(t) + " connected from " + EndpointText(t.control));
    tunnels_.push_back(std::move(t));
}

void TunnelServer::Tunnelling(const Frame& request, const Endpoint& from) {
    Tunnel* t = Find(request.channel);
    if (!t) return;
    Frame ack;
    ack.service = Service::kTunnellingAck;
    ack.channel = t->channel;
    ack.sequence = request.sequence;
    if (request.sequence == static_cast<uint8_t>(t->rxSequence - 1)) {
        Reply(Resolve(t->data, from), ack);  // a repeat: our acknowledgement was lost
        return;
    }
    if (request.sequence != t->rxSequence) return;  // out of order: the client repeats it
    if (faults_.withheldAcks > 0) {
        --faults_.withheldAcks;
        return;
    }
    Reply(Resolve(t->data, from), ack);
    ++t->rxSequence;
    std::optional<CemiFrame> cemi = DecodeCemi(request.body);
    if (!cemi || cemi->messageCode != kLDataReq) return;
    Telegram telegram = cemi->telegram;
    if (telegram.source == 0) telegram.source = t->address;
    telegrams_.push_back(telegram);
    sentBy_.push_back(t->channel);
}

void TunnelServer::Acknowledged(const Frame& ack, int64_t nowMs) {
    Tunnel* t = Find(ack.channel);
    if (!t || !t->awaitingAck || ack.sequence != t->txSequence) return;
    t->awaitingAck = false;
    acknowledged_.push_back(std::move(t->outgoing.front()));
    t->outgoing.pop_front();
    ++t->txSequence;
    Transmit(*t, nowMs);
}

void TunnelServer::Queue(Tunnel& tunnel, const CemiFrame& frame, int64_t nowMs) {
    if (tunnel.outgoing.size() >= settings_.maxQueued) {
        Drop(tunnel.channel, "its client takes no more frames");
        return;
    }
    tunnel.outgoing.push_back(EncodeCemi(frame));
    Transmit(tunnel, nowMs);
}

void TunnelServer::Transmit(Tunnel& tunnel, int64_t nowMs) {
    if (tunnel.awaitingAck || tunnel.outgoing.empty()) return;
    Frame request;
    request.service = Service::kTunnellingRequest;
    request.channel = tunnel.channel;
    request.sequence = tunnel.txSequence;
    request.body = tunnel.outgoing.front();
    Reply(tunnel.data, request);
    tunnel.awaitingAck = true;
    tunnel.sends = 1;
    tunnel.sentAtMs = nowMs;
}

void TunnelServer::BusTelegram(const Telegram& telegram, int64_t nowMs) {
    const CemiFrame indication{kLDataInd, telegram, false};
    // Queue() may drop a tunnel; walk by channel.
    std::vector<uint8_t> channels;
    for (const Tunnel& t : tunnels_) channels.push_back(t.channel);
    for (uint8_t c : channels) {
        if (Tunnel* t = Find(c)) Queue(*t, indication, nowMs);
    }
}

void TunnelServer::BusTelegramSent(const Telegram& telegram, int64_t nowMs) {
    uint8_t sender = 0;
    if (!sentBy_.empty()) {
        sender = sentBy_.front();
        sentBy_.pop_front();
    }
    std::vector<uint8_t> channels;
    for (const Tunnel& t : tunnels_) channels.push_back(t.channel);
    for (uint8_t c : channels) {
        Tunnel* t = Find(c);
        if (!t) continue;
        if (c == sender) {
            if (faults_.withheldConfirms > 0) {
                --faults_.withheldConfirms;
                continue;
            }
            const bool negative = faults_.negativeConfirms > 0;
            if (negative) --faults_.negativeConfirms;
            Queue(*t, CemiFrame{kLDataCon, telegram, negative}, nowMs);
        } else {
            Queue(*t, CemiFrame{kLDataInd, telegram, false}, nowMs);
        }
    }
}

void TunnelServer::Tick(int64_t nowMs) {
    std::vector<std::pair<uint8_t, std::string>> drops;
    for (Tunnel& t : tunnels_) {
        if (nowMs - t.heartbeatMs >= settings_.heartbeatTimeoutMs) {
            drops.emplace_back(t.channel, "no connection-state request for " +
                                              std::to_string(settings_.heartbeatTimeoutMs / 1000) + " s");
        } else if (t.awaitingAck && nowMs - t.sentAtMs >= settings_.ackTimeoutMs) {
            if (t.sends >= 2) {
                drops.emplace_back(t.channel, "its client acknowledged neither send of a request");
                continue;
            }
            Frame request;
            request.service = Service::kTunnellingRequest;
            request.channel = t.channel;
            request.sequence = t.txSequence;
            request.body = t.outgoing.front();
            Reply(t.data, request);
            t.sends = 2;
            t.sentAtMs = nowMs;
        }
    }
    for (const auto& [channel, why] : drops) Drop(channel, why);
}

void TunnelServer::Drop(uint8_t channel, const std::string& why) {
    Tunnel* t = Find(channel);
    if (!t) return;
    Frame request;
    request.service = Service::kDisconnectRequest;
    request.channel = channel;
    request.control = local_;
    Reply(t->control, request);
    notes_.push_back(Name(*t) + " closed: " + why);
    tunnels_.erase(tunnels_.begin() + (t - tunnels_.data()));
}

void TunnelServer::DisconnectAll(int64_t /*nowMs*/) {
    while (!tunnels_.empty()) Drop(tunnels_.front().channel, "the server stops");
}

void TunnelServer::ForgetAll() {
    tunnels_.clear();
    sentBy_.clear();
}

int64_t TunnelServer::NextDeadline() const {
    int64_t next = -1;
    for (const Tunnel& t : tunnels_) {
        int64_t due = t.heartbeatMs + settings_.heartbeatTimeoutMs;
        if (t.awaitingAck) due = std::min(due, t.sentAtMs + settings_.ackTimeoutMs);
        if (next < 0 || due < next) next = due;
    }
    return next;
}

std::vector<Datagram> TunnelServer::TakeDatagrams() { return std::exchange(datagrams_, {}); }
std::vector<Telegram> TunnelServer::TakeTelegrams() { return std::exchange(telegrams_, {}); }
std::vector<std::string> TunnelServer::TakeNotes() { return std::exchange(notes_, {}); }
std::vector<std::vector<uint8_t>> TunnelServer::TakeAcknowledged() { return std::exchange(acknowledged_, {}); }

size_t TunnelServer::QueuedFrames() const {
    size_t n = 0;
    for (const Tunnel& t : tunnels_) n += t.outgoing.size();
    return n;
}

}  // namespace bcuemu::knxnet
