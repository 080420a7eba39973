#include "knxnet/tunnel_server.h"

#include <algorithm>
#include <utility>

namespace bcuemu::knxnet {

namespace {

constexpr Endpoint kThisConnection{0, 0, true};  // the HPAI over TCP

// A search request's parameter types; bit 7 of the type marks one the server
// must understand to answer at all.
constexpr uint8_t kSelectProgrammingMode = 0x02;
constexpr uint8_t kSelectMac = 0x03;
constexpr uint8_t kSelectService = 0x04;
constexpr uint8_t kRequestDibs = 0x05;
constexpr uint8_t kMandatory = 0x80;

}  // namespace

TunnelServer::TunnelServer(const TunnelSettings& settings, const Endpoint& local) : settings_(settings), local_(local) {}

TunnelServer::Tunnel* TunnelServer::Find(uint8_t channel) {
    for (Tunnel& t : tunnels_) {
        if (t.channel == channel) return &t;
    }
    return nullptr;
}

TunnelServer::Tunnel* TunnelServer::FindOn(uint8_t channel, uint32_t connection) {
    Tunnel* t = Find(channel);
    return t && t->connection == connection ? t : nullptr;
}

std::string TunnelServer::Name(const Tunnel& tunnel) const {
    return "tunnel " + std::to_string(tunnel.channel) + " (" + IndividualText(tunnel.address) + ")";
}

void TunnelServer::Reply(const Route& to, const Frame& frame) {
    datagrams_.push_back({to.to, Encode(frame), to.connection});
}

TunnelServer::Route TunnelServer::RouteOf(const Tunnel& tunnel, bool data) const {
    return {data ? tunnel.data : tunnel.control, tunnel.connection};
}

void TunnelServer::Receive(const uint8_t* bytes, size_t count, const Endpoint& from, int64_t nowMs,
                           uint32_t connection) {
    const std::optional<Frame> request = Decode(bytes, count);
    if (!request) return;  // not ours, or malformed: no answer
    // Over TCP answers take the connection; over UDP an HPAI of 0.0.0.0:0
    // asks for the datagram's source (a client behind NAT, or one that does
    // not know its address).
    const Endpoint& hpai = request->control;
    const Route back{connection != 0 || hpai.address == 0 || hpai.port == 0 ? from : hpai, connection};
    Frame answer;
    switch (request->service) {
    case Service::kSearchRequest:
    case Service::kSearchRequestExtended: Search(*request, back); break;
    case Service::kDescriptionRequest:
        answer.service = Service::kDescriptionResponse;
        answer.body = DescriptionDibs(settings_.device);
        Reply(back, answer);
        break;
    case Service::kConnectRequest: Connect(*request, back, nowMs); break;
    case Service::kConnectionStateRequest: {
        Tunnel* t = FindOn(request->channel, connection);
        if (t) t->heartbeatMs = nowMs;
        answer.service = Service::kConnectionStateResponse;
        answer.channel = request->channel;
        answer.status = t ? kNoError : kConnectionIdError;
        Reply(back, answer);
        break;
    }
    case Service::kDisconnectRequest: {
        Tunnel* t = FindOn(request->channel, connection);
        answer.service = Service::kDisconnectResponse;
        answer.channel = request->channel;
        answer.status = t ? kNoError : kConnectionIdError;
        Reply(back, answer);
        if (t) {
            notes_.push_back(Name(*t) + " disconnected by the client");
            tunnels_.erase(tunnels_.begin() + (t - tunnels_.data()));
        }
        break;
    }
    case Service::kTunnellingRequest: Tunnelling(*request, back); break;
    case Service::kTunnellingAck:
        if (connection == 0) Acknowledged(*request, nowMs);  // over TCP one is tolerated and means nothing
        break;
    case Service::kDisconnectResponse:  // to our own disconnect: the tunnel is already gone
    default: break;
    }
}

void TunnelServer::Search(const Frame& request, const Route& back) {
    if (back.connection != 0) return;  // a search travels by UDP only
    const bool extended = request.service == Service::kSearchRequestExtended;
    if (extended) {
        // Parameters narrow who answers; one this server does not know, marked mandatory, silences it.
        const std::vector<uint8_t>& p = request.body;
        for (size_t at = 0; at < p.size();) {
            const size_t size = p[at];
            if (size < 2 || at + size > p.size()) return;
            const uint8_t type = p[at + 1] & 0x7F;
            const uint8_t* value = &p[at + 2];
            if (type == kSelectProgrammingMode) return;  // never in programming mode
            if (type == kSelectMac && (size != 8 || !std::equal(value, value + 6, settings_.device.mac.begin())))
                return;
            if (type == kSelectService) {
                const std::vector<uint8_t> dibs = DescriptionDibs(settings_.device);
                bool offered = false;
                // Families start at 56: past the device DIB (54 bytes) and their own DIB header.
                for (size_t f = 56; size == 4 && f + 1 < dibs.size(); f += 2) {
                    offered = offered || (dibs[f] == value[0] && dibs[f + 1] >= value[1]);
                }
                if (!offered) return;
            }
            if ((p[at + 1] & kMandatory) && type > kRequestDibs) return;
            at += size;
        }
    }
    Frame answer;
    answer.service = extended ? Service::kSearchResponseExtended : Service::kSearchResponse;
    answer.control = local_;
    answer.body = DescriptionDibs(settings_.device);
    Reply(back, answer);
}

void TunnelServer::Connect(const Frame& request, const Route& back, int64_t nowMs) {
    Frame answer;
    answer.service = Service::kConnectResponse;
    const bool busy = back.connection != 0 && std::any_of(tunnels_.begin(), tunnels_.end(), [&](const Tunnel& o) {
        return o.connection == back.connection;
    });  // one tunnel per TCP connection
    if (request.connectionType != kTunnelConnection) {
        answer.status = kConnectionTypeError;
    } else if (request.layer != kTunnelLinkLayer) {
        answer.status = kTunnellingLayerError;
    } else if (tunnels_.size() >= settings_.maxTunnels || faults_.refuseConnections || busy) {
        answer.status = kNoMoreConnections;
    }
    if (answer.status != kNoError) {
        Reply(back, answer);
        return;
    }
    Tunnel t;
    while (Find(nextChannel_) || nextChannel_ == 0) ++nextChannel_;  // fewer than 255 tunnels: ends
    t.channel = nextChannel_++;
    while (std::any_of(tunnels_.begin(), tunnels_.end(), [&](const Tunnel& o) { return o.slot == t.slot; })) ++t.slot;
    t.address = static_cast<uint16_t>(settings_.firstTunnelAddress + t.slot);
    t.connection = back.connection;
    t.control = back.to;
    const Endpoint& data = request.data;
    t.data = back.connection != 0 || data.address == 0 || data.port == 0 ? back.to : data;
    t.heartbeatMs = nowMs;
    answer.channel = t.channel;
    answer.data = back.connection != 0 ? kThisConnection : local_;
    answer.individualAddress = t.address;
    Reply(back, answer);
    notes_.push_back(Name(t) + " connected from " + EndpointText(t.control) + (t.connection ? " over TCP" : ""));
    tunnels_.push_back(std::move(t));
}

void TunnelServer::Tunnelling(const Frame& request, const Route& back) {
    Tunnel* t = FindOn(request.channel, back.connection);
    if (!t) return;
    const bool tcp = t->connection != 0;
    Frame ack;
    ack.service = Service::kTunnellingAck;
    ack.channel = t->channel;
    ack.sequence = request.sequence;
    // Over TCP nothing is lost or repeated: every request is taken, none acknowledged.
    if (!tcp && request.sequence == static_cast<uint8_t>(t->rxSequence - 1)) {
        Reply(RouteOf(*t, true), ack);  // a repeat: our acknowledgement was lost
        return;
    }
    if (!tcp && request.sequence != t->rxSequence) return;  // out of order: the client repeats it
    if (faults_.withheldAcks > 0) {
        --faults_.withheldAcks;
        return;
    }
    if (tcp && faults_.droppedConnections > 0) {
        --faults_.droppedConnections;
        closings_.push_back(t->connection);
        notes_.push_back(Name(*t) + " closed: its TCP connection dropped on purpose");
        tunnels_.erase(tunnels_.begin() + (t - tunnels_.data()));
        return;
    }
    if (!tcp) Reply(RouteOf(*t, true), ack);
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
    Frame request;
    request.service = Service::kTunnellingRequest;
    request.channel = tunnel.channel;
    while (tunnel.connection != 0 && !tunnel.outgoing.empty()) {  // TCP: no acknowledgement to wait for
        request.sequence = tunnel.txSequence++;
        request.body = std::move(tunnel.outgoing.front());
        tunnel.outgoing.pop_front();
        Reply(RouteOf(tunnel, true), request);
    }
    if (tunnel.awaitingAck || tunnel.outgoing.empty()) return;
    request.sequence = tunnel.txSequence;
    request.body = tunnel.outgoing.front();
    Reply(RouteOf(tunnel, true), request);
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
            Reply(RouteOf(t, true), request);
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
    request.control = t->connection != 0 ? kThisConnection : local_;
    Reply(RouteOf(*t, false), request);
    notes_.push_back(Name(*t) + " closed: " + why);
    tunnels_.erase(tunnels_.begin() + (t - tunnels_.data()));
}

void TunnelServer::DisconnectAll(int64_t /*nowMs*/) {
    while (!tunnels_.empty()) Drop(tunnels_.front().channel, "the server stops");
}

void TunnelServer::ConnectionClosed(uint32_t connection) {
    for (size_t i = 0; i < tunnels_.size(); ++i) {
        if (tunnels_[i].connection != connection) continue;
        notes_.push_back(Name(tunnels_[i]) + " closed: its TCP connection ended");
        tunnels_.erase(tunnels_.begin() + static_cast<ptrdiff_t>(i));
        return;
    }
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
std::vector<uint32_t> TunnelServer::TakeClosings() { return std::exchange(closings_, {}); }

std::vector<std::vector<uint8_t>> TunnelServer::TakeAcknowledged() { return std::exchange(acknowledged_, {}); }

size_t TunnelServer::QueuedFrames() const {
    size_t n = 0;
    for (const Tunnel& t : tunnels_) n += t.outgoing.size();
    return n;
}

}  // namespace bcuemu::knxnet
