#include "bcuemu/ft12_interface.h"

#include <algorithm>

#include "ft12/cemi_management.h"
#include "ft12/emi2_codec.h"
#include "ft12/emi2_memory.h"
#include "ft12/ft12_link.h"
#include "knxnet/codec.h"
#include "line_transport.h"

namespace bcuemu {

namespace {

constexpr int64_t kIdlePumpUs = 100000;
constexpr size_t kReadChunk = 256;

}  // namespace

Ft12Interface::Ft12Interface(Bus& bus, Ft12Options options, Printer note)
    : bus_(bus), options_(options), note_(std::move(note)), link_(std::make_unique<ft12::Link>()),
      memory_(std::make_unique<ft12::Emi2Memory>()), linkLayer_(options.flavour == EmiFlavour::kCemi) {}

Ft12Interface::~Ft12Interface() { Stop(); }

int64_t Ft12Interface::NowUs() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start_).count();
}

std::string Ft12Interface::ServePty(const std::string& linkPath) {
    Stop();
    auto transport = detail::LineTransport::CreatePty();
    std::string port, error;
    if (!transport || !transport->Listen(linkPath, port, error)) {
        std::lock_guard lock(mutex_);
        lastError_ = transport ? error : "no pseudo terminals on this platform";
        return "";
    }
    {
        std::lock_guard lock(mutex_);
        transport_ = std::move(transport);
    }
    stopping_ = false;
    bus_.Attach(this);
    thread_ = std::thread([this] { Run(); });
    return port;
}

void Ft12Interface::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    transport_->Wake();
    thread_.join();
    bus_.Detach(this);
    std::lock_guard lock(mutex_);
    transport_->Close();
    transport_.reset();
}

std::string Ft12Interface::LastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

bool Ft12Interface::LinkLayer() const {
    std::lock_guard lock(mutex_);
    return linkLayer_;
}

Ft12Counts Ft12Interface::Counts() const {
    std::lock_guard lock(mutex_);
    return link_->Counts();
}

void Ft12Interface::SetFaults(const Ft12Faults& faults) {
    std::lock_guard lock(mutex_);
    link_->Faults() = faults;
}

bool Ft12Interface::WaitCounts(const std::function<bool(const Ft12Counts&)>& condition, int timeoutMs) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return condition(link_->Counts()); });
}

void Ft12Interface::BusTelegram(const Telegram& telegram) {
    std::lock_guard lock(mutex_);
    if (!linkLayer_ || !link_->Established()) return;
    if (options_.flavour == EmiFlavour::kCemi) {
        SendLocked(knxnet::EncodeCemi({knxnet::kLDataInd, telegram, false}));
    } else {
        SendLocked(ft12::EncodeEmi2({ft12::kEmiDataInd, telegram, false}));
    }
}

void Ft12Interface::BusTelegramSent(const Telegram&) {
    std::lock_guard lock(mutex_);
    if (awaitingConfirm_.empty()) return;
    std::vector<uint8_t> confirm = std::move(awaitingConfirm_.front());
    awaitingConfirm_.pop_front();
    SendLocked(std::move(confirm));
}

void Ft12Interface::SendLocked(std::vector<uint8_t> message) {
    link_->Send(std::move(message));
    if (transport_) transport_->Wake();
}

void Ft12Interface::Run() {
    std::vector<uint8_t> buffer(kReadChunk);
    while (!stopping_) {
        int64_t timeoutUs = kIdlePumpUs;
        {
            std::lock_guard lock(mutex_);
            const int64_t due = link_->NextDueUs();
            if (due >= 0) timeoutUs = std::clamp<int64_t>(due - NowUs(), 0, kIdlePumpUs);
        }
        const detail::LineTransport::Event event = transport_->Pump(timeoutUs, buffer.data(), buffer.size());
        std::vector<uint8_t> output;
        std::vector<std::string> notes;
        {
            std::lock_guard lock(mutex_);
            const int64_t now = NowUs();
            if (event.kind == detail::LineTransport::Event::Kind::kDisconnected) {
                // The next port starts a new link; armed faults stay armed.
                const Ft12Faults faults = link_->Faults();
                link_ = std::make_unique<ft12::Link>();
                link_->Faults() = faults;
                awaitingConfirm_.clear();
            }
            if (event.kind == detail::LineTransport::Event::Kind::kData) link_->Receive(buffer.data(), event.count, now);
            for (const ft12::Link::Up& up : link_->TakeUp()) {
                if (up.kind == ft12::Link::Up::Kind::kReset) {
                    notes.push_back("ft12: reset of the link");
                } else {
                    HandleLocked(up.message, notes);
                }
            }
            link_->Tick(now);
            output = link_->TakeOutput();
            changed_.notify_all();
        }
        if (!output.empty()) transport_->Write(output.data(), output.size());
        Print(notes);
    }
}

void Ft12Interface::HandleLocked(const std::vector<uint8_t>& message, std::vector<std::string>& notes) {
    if (options_.flavour == EmiFlavour::kCemi) {
        HandleCemiLocked(message, notes);
        return;
    }
    if (message[0] == ft12::kPeiSwitchReq) {
        const std::vector<uint8_t> body(message.begin() + 1, message.end());
        if (body == ft12::LinkLayerSwitch()) SetLinkLayerLocked(true, notes);
        if (body == ft12::NormalModeSwitch()) SetLinkLayerLocked(false, notes);
        return;
    }
    if (std::optional<ft12::MemoryAnswer> answer = memory_->Answer(message, linkLayer_)) {
        if (answer->linkLayer) SetLinkLayerLocked(*answer->linkLayer, notes);
        if (!answer->message.empty()) SendLocked(std::move(answer->message));
        return;
    }
    std::optional<ft12::Emi2Frame> request = ft12::DecodeEmi2(message);
    if (!request || request->messageCode != ft12::kEmiDataReq) return;
    if (request->telegram.source == 0) request->telegram.source = options_.individualAddress;
    ft12::Emi2Frame confirm = *request;
    confirm.messageCode = ft12::kEmiDataCon;
    if (link_->Faults().negativeConfirms > 0) {
        --link_->Faults().negativeConfirms;
        confirm.confirmError = true;
        SendLocked(ft12::EncodeEmi2(confirm));  // it never reaches the bus
        return;
    }
    awaitingConfirm_.push_back(ft12::EncodeEmi2(confirm));
    bus_.Send(request->telegram, this);
}

void Ft12Interface::HandleCemiLocked(const std::vector<uint8_t>& message, std::vector<std::string>& notes) {
    if (std::optional<ft12::ManagementAnswer> answer = ft12::AnswerManagement(message, linkLayer_)) {
        if (answer->linkLayer) SetLinkLayerLocked(*answer->linkLayer, notes);
        SendLocked(std::move(answer->message));
        return;
    }
    std::optional<knxnet::CemiFrame> request = knxnet::DecodeCemi(message);
    if (!request || request->messageCode != knxnet::kLDataReq) return;
    if (request->telegram.source == 0) request->telegram.source = options_.individualAddress;
    knxnet::CemiFrame confirm = *request;
    confirm.messageCode = knxnet::kLDataCon;
    if (link_->Faults().negativeConfirms > 0) {
        --link_->Faults().negativeConfirms;
        confirm.confirmError = true;
        SendLocked(knxnet::EncodeCemi(confirm));
        return;
    }
    awaitingConfirm_.push_back(knxnet::EncodeCemi(confirm));
    bus_.Send(request->telegram, this);
}

void Ft12Interface::SetLinkLayerLocked(bool on, std::vector<std::string>& notes) {
    linkLayer_ = on;
    notes.push_back(on ? "ft12: link layer" : "ft12: link layer off");
}

void Ft12Interface::Print(const std::vector<std::string>& notes) const {
    if (!note_) return;
    for (const std::string& n : notes) note_(n);
}

}  // namespace bcuemu
