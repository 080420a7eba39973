#include "simulation.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>

#include "command.h"
#include "secure/keyring.h"

namespace bcusim {

namespace {

std::string VcdPathFor(const std::string& path, size_t index, size_t count) {
    if (count == 1) return path;
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of("/\\");
    const std::string suffix = "-" + std::to_string(index + 1);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + suffix;
    return path.substr(0, dot) + suffix + path.substr(dot);
}

// Demo credentials, not secrets: the server's, and for the driver a keyring
// and a credentials file naming it (docs/knxip-secure.md).
constexpr char kDemoDeviceCode[] = "bcusim device";
constexpr char kDemoUserPassword[] = "bcusim tunnel";
constexpr char kDemoKeyringPassword[] = "bcusim keyring";
constexpr std::array<uint8_t, 16> kDemoBackboneKey = {0xB0, 0xC5, 0x13, 0x00, 0xDE, 0x30, 0x00, 0x00,
                                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01};

bool WriteText(const std::string& path, const std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

bool WriteDemoCredentials(const std::string& folder, std::string& error) {
    namespace sec = qel::secure;
    sec::Keyring keyring;
    keyring.project = "bcusim";
    keyring.createdBy = "bcusim";
    keyring.created = "2026-01-01T00:00:00.0000000Z";
    sec::TunnelInterface tunnel;
    sec::ParseIndividualAddress("1.1.241", &tunnel.individualAddress);
    sec::ParseIndividualAddress("1.1.240", &tunnel.host);
    tunnel.userId = 2;
    tunnel.password = kDemoUserPassword;
    tunnel.authentication = kDemoDeviceCode;
    keyring.tunnels.push_back(tunnel);
    keyring.backbone.present = true;
    std::copy(kDemoBackboneKey.begin(), kDemoBackboneKey.end(), keyring.backbone.key);
    keyring.backbone.latencyMs = 1000;
    keyring.backbone.multicastAddress = "224.0.23.12";
    std::string text;
    const std::string base = folder + "/bcusim";
    if (sec::WriteKeyring(keyring, kDemoKeyringPassword, &text) != sec::KeyringError::kNone ||
        !WriteText(base + ".knxkeys", text) ||
        !WriteText(base + ".secure", std::string("keyring = bcusim.knxkeys\nkeyring-password = ") +
                                         kDemoKeyringPassword + "\ntunnel = 1.1.241\n")) {
        error = "--knxnet-secure " + folder + ": cannot write bcusim.knxkeys and bcusim.secure there";
        return false;
    }
    return true;
}

}  // namespace

Simulation::Simulation(Scenario scenario, const Settings& settings, Printer print)
    : scenario_(std::move(scenario)), settings_(settings), print_(std::move(print)),
      start_(std::chrono::steady_clock::now()) {
    const bool realistic = settings_.realistic || scenario_.realistic;
    bus_ = std::make_unique<bcuemu::Bus>(realistic);
    for (const ScheduledDevice& d : scenario_.devices) bus_->AddDevice({d.group, d.size, d.value, d.address, d.answersReads});
    nextValue_.assign(scenario_.devices.size(), 0);
    for (size_t i = 0; i < scenario_.devices.size(); ++i) {
        if (scenario_.devices[i].step) nextValue_[i] = scenario_.devices[i].value;
    }
    size_t lines = std::max({scenario_.lines.size(), settings_.endpoints.size(), static_cast<size_t>(settings_.lineCount),
                             size_t{1}});
    scenario_.lines.resize(lines, BcuLine{});
    for (size_t i = 0; i < lines; ++i) {
        if (i < settings_.endpoints.size()) scenario_.lines[i].endpoint = settings_.endpoints[i];
        if (scenario_.lines[i].address == BcuLine{}.address) scenario_.lines[i].address = static_cast<uint16_t>(0x11FA + i);
        bcuemu::Options options;
        options.timing = realistic ? bcuemu::Timing::kRealistic : bcuemu::Timing::kFast;
        options.ctsDropAfterRts = settings_.ctsDropAfterRts;
        options.announcementTimesOut = settings_.announcementTimesOut;
        options.answerHeaderWithOwnHeader = settings_.answerHeaderWithOwnHeader;
        options.reactionUs = settings_.reactionUs;
        options.queueLimit = settings_.queueLimit;
        options.individualAddress = scenario_.lines[i].address;
        if (!settings_.ft12.empty()) {
            const bcuemu::Ft12Options ft12{settings_.ft12 == "cemi" ? bcuemu::EmiFlavour::kCemi : bcuemu::EmiFlavour::kEmi2,
                                           options.individualAddress};
            const std::string prefix = "line " + std::to_string(i + 1) + " ";
            ft12s_.push_back(std::make_unique<bcuemu::Ft12Interface>(
                *bus_, ft12, [this, prefix](const std::string& note) { print_(prefix + note); }));
            continue;
        }
        bcus_.push_back(std::make_unique<bcuemu::Bcu>(bus_.get(), options));
        bcus_.back()->Recorder().SetEnabled(settings_.record);
    }
    bus_->SetMonitor([this](const bcuemu::Telegram& t) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%9.3f  ", Seconds());
        std::string line = stamp + t.Text();
        if (t.Size() == bcuemu::ValueSize::kWord && t.Service() != bcuemu::Apci::kRead) {
            char f[32];
            std::snprintf(f, sizeof f, " = %.2f", DecodeFloat16(t.Value()));
            line += f;
        }
        for (const ScheduledDevice& d : scenario_.devices) {
            if (d.group == t.destination && !d.name.empty()) {
                line += "  [" + d.name + "]";
                break;
            }
        }
        print_(line);
    });
}

Simulation::~Simulation() { Stop(); }

double Simulation::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

bool Simulation::Start(std::string& error) {
    for (size_t i = 0; i < ft12s_.size(); ++i) {
        const std::string port = ft12s_[i]->ServePty(scenario_.lines[i].endpoint);
        if (port.empty()) {
            error = "line " + std::to_string(i + 1) + ": " + ft12s_[i]->LastError();
            return false;
        }
        ports_.push_back(port);
    }
    for (size_t i = 0; i < bcus_.size(); ++i) {
        const std::string& endpoint = scenario_.lines[i].endpoint;
        const std::string port = settings_.pty ? bcus_[i]->ServePty(endpoint) : bcus_[i]->Serve(endpoint);
        if (port.empty()) {
            error = "line " + std::to_string(i + 1) + ": " + bcus_[i]->LastError();
            return false;
        }
        ports_.push_back(port);
    }
    if (!settings_.knxnetSecure.empty() && !WriteDemoCredentials(settings_.knxnetSecure, error)) return false;
    if (!settings_.knxnet.empty()) {
        knxnet_ = std::make_unique<bcuemu::KnxnetServer>(*bus_, print_);
        if (!settings_.knxnetSecure.empty()) knxnet_->Secure({kDemoDeviceCode, {{2, kDemoUserPassword}}});
        if (!knxnet_->Start(settings_.knxnet, error, settings_.knxnetAnyAddress)) {
            error = "--knxnet " + settings_.knxnet + ": " + error;
            return false;
        }
    }
    if (!settings_.knxnetRouting.empty()) {
        router_ = std::make_unique<bcuemu::KnxnetRouter>(*bus_);
        if (!settings_.knxnetSecure.empty()) router_->Secure(kDemoBackboneKey, 1000);
        if (!router_->Start(settings_.knxnetRouting, settings_.knxnetInterface, error)) {
            error = "--knxnet-routing " + settings_.knxnetRouting + ": " + error;
            return false;
        }
    }
    start_ = std::chrono::steady_clock::now();
    scheduler_ = std::thread([this] { Schedule(); });
    return true;
}

void Simulation::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (scheduler_.joinable()) scheduler_.join();
    if (knxnet_) knxnet_->Stop();
    if (router_) router_->Stop();
    for (auto& bcu : bcus_) bcu->Stop();
    for (auto& ft12 : ft12s_) ft12->Stop();
}

void Simulation::Schedule() {
    using namespace std::chrono;
    std::vector<Timed> timed;
    for (size_t i = 0; i < scenario_.devices.size(); ++i) {
        if (scenario_.devices[i].every > 0)
            timed.push_back({start_ + duration_cast<steady_clock::duration>(duration<double>(scenario_.devices[i].start)), i, 0});
    }
    for (size_t s = 0; s < scenario_.script.size(); ++s) {
        timed.push_back({start_ + duration_cast<steady_clock::duration>(duration<double>(scenario_.script[s].at)), SIZE_MAX, s});
    }
    std::unique_lock lock(mutex_);
    while (!stopping_ && !timed.empty()) {
        auto next = std::min_element(timed.begin(), timed.end(), [](const Timed& a, const Timed& b) { return a.at < b.at; });
        if (wake_.wait_until(lock, next->at, [&] { return stopping_; })) break;
        Timed due = *next;
        lock.unlock();
        if (due.device == SIZE_MAX) {
            const ScriptStep& step = scenario_.script[due.step];
            const std::string result = Execute(step.command);
            if (!result.empty()) print_(result.rfind("error: ", 0) == 0 ? "script line " + std::to_string(step.line) + ": " + result : result);
            timed.erase(next);
        } else {
            const ScheduledDevice& d = scenario_.devices[due.device];
            size_t& state = nextValue_[due.device];
            uint16_t value = d.value;
            if (!d.values.empty()) {
                value = d.values[state % d.values.size()];
                ++state;
            } else if (d.step && *d.step != 0) {
                int v = static_cast<int>(state) + *d.step;
                if (v > d.to) v = d.from;
                if (v < d.from) v = d.to;
                state = static_cast<size_t>(v);
                value = static_cast<uint16_t>(v);
            } else if (auto current = bus_->DeviceValue(d.group)) {
                value = *current;
            }
            bus_->SetDeviceValue(d.group, value, true);
            next->at += duration_cast<steady_clock::duration>(duration<double>(d.every));
        }
        lock.lock();
    }
}

std::string Simulation::Execute(const std::string& text) {
    Command c;
    std::string error;
    if (!ParseCommand(text, c, error)) return "error: " + error;
    auto lineIndex = [&](int line) -> bcuemu::Bcu* {
        return line >= 1 && static_cast<size_t>(line) <= bcus_.size() ? bcus_[static_cast<size_t>(line) - 1].get() : nullptr;
    };
    switch (c.kind) {
    case Command::Kind::kNothing: return "";
    case Command::Kind::kHelp: return Help();
    case Command::Kind::kQuit: return "";
    case Command::Kind::kStatus: return Status();
    case Command::Kind::kWrite:
    case Command::Kind::kResponse: {
        bcuemu::ValueSize size = bcuemu::ValueSize::kBit;
        uint16_t source = 0x11FF;
        bool known = false;
        for (const ScheduledDevice& d : scenario_.devices) {
            if (d.group == c.group) {
                size = d.size;
                source = d.address;
                known = true;
                break;
            }
        }
        if (c.size) {
            size = *c.size;
        } else if (!known) {
            size = c.guessedSize;
        }
        auto value = ParseValue(c.valueText, size);
        if (!value) return "error: value " + c.valueText + " does not fit " + bcuemu::SizeName(size);
        bus_->Inject(c.group, size, *value, source,
                     c.kind == Command::Kind::kWrite ? bcuemu::Apci::kWrite : bcuemu::Apci::kResponse);
        return "";
    }
    case Command::Kind::kRead: bus_->InjectRead(c.group, 0x11FF); return "";
    case Command::Kind::kSet: {
        auto current = bus_->DeviceValue(c.group);
        if (!current) return "error: no device at " + bcuemu::GroupText(c.group);
        bcuemu::ValueSize size = bcuemu::ValueSize::kBit;
        for (const ScheduledDevice& d : scenario_.devices) {
            if (d.group == c.group) size = d.size;
        }
        auto value = ParseValue(c.valueText, size);
        if (!value) return "error: value " + c.valueText + " does not fit " + bcuemu::SizeName(size);
        bus_->SetDeviceValue(c.group, *value, false);
        return "";
    }
    case Command::Kind::kFrame: {
        bcuemu::Bcu* bcu = lineIndex(c.line);
        if (!bcu) return "error: no line " + std::to_string(c.line);
        bcu->QueueFrame(c.bytes);
        return "";
    }
    case Command::Kind::kCell: {
        bcuemu::Bcu* bcu = lineIndex(c.line);
        if (!bcu) return "error: no line " + std::to_string(c.line);
        if (c.cellValue) bcu->SetCell(c.cell, static_cast<uint8_t>(*c.cellValue));
        char out[48];
        std::snprintf(out, sizeof out, "line %d cell %04X = %02X", c.line, c.cell, bcu->Cell(c.cell));
        return out;
    }
    case Command::Kind::kBusy:
    case Command::Kind::kLost:
        if (!router_) return "error: no router (--knxnet-routing)";
        if (c.kind == Command::Kind::kBusy) router_->SendBusy(c.count);
        else router_->SendLostMessage(c.count);
        return "";
    }
    return "";
}

std::string Simulation::Status() const {
    std::ostringstream out;
    for (size_t i = 0; i < bcus_.size(); ++i) {
        const bcuemu::LineState s = bcus_[i]->LineState();
        out << "line " << i + 1 << " " << (i < ports_.size() ? ports_[i] : "-") << " "
            << bcuemu::IndividualText(bcus_[i]->Options().individualAddress) << (s.connected ? " connected" : " waiting")
            << (bcus_[i]->LinkLayer() ? " link-layer" : "") << " rts=" << s.rts << " dtr=" << s.dtr << " cts=" << s.cts
            << " queued=" << bcus_[i]->QueuedFrames() << "\n";
    }
    if (knxnet_) out << "knxnet " << knxnet_->LocalEndpoint() << " tunnels=" << knxnet_->TunnelCount() << "\n";
    if (router_) out << "routing " << router_->GroupEndpoint() << " taken=" << router_->IndicationsTaken() << "\n";
    for (const ScheduledDevice& d : scenario_.devices) {
        out << "device " << bcuemu::GroupText(d.group) << " " << bcuemu::SizeName(d.size) << " = "
            << bus_->DeviceValue(d.group).value_or(0) << (d.name.empty() ? "" : "  [" + d.name + "]") << "\n";
    }
    std::string text = out.str();
    if (!text.empty()) text.pop_back();
    return text;
}

bool Simulation::WriteVcds(const std::string& path) const {
    bool ok = true;
    for (size_t i = 0; i < bcus_.size(); ++i) ok = bcus_[i]->WriteVcd(VcdPathFor(path, i, bcus_.size())) && ok;
    return ok;
}

const char* Simulation::Help() {
    return "commands (one a line; GROUP is 1/2/3, 1/515 or a gate form such as A_01/0002):\n"
           "  write GROUP VALUE [bit|byte|word]   group write on the bus (also: send)\n"
           "  response GROUP VALUE [bit|byte|word] group response on the bus\n"
           "  read GROUP                           group read; a device there answers\n"
           "  set GROUP VALUE                      change a device's value without sending\n"
           "  frame LINE HEX...                    queue a raw frame to the driver on LINE (1, 2, ...), header first\n"
           "  cell LINE ADDRESS [VALUE]            show or set a BCU memory cell (hex)\n"
           "  busy MS                              the router sends ROUTING_BUSY asking for MS ms\n"
           "  lost N                               the router sends ROUTING_LOST_MESSAGE of N telegrams\n"
           "  status                               lines and devices\n"
           "  help, quit\n"
           "VALUE: decimal or 0x hex; a number with a point (21.5) is a 2-byte float.\n"
           "The size comes from the device at GROUP, else from a gate prefix (D_ bit, A_ byte, A2 word),\n"
           "else from the value (0/1 bit, up to 255 byte, else word).";
}

}  // namespace bcusim
