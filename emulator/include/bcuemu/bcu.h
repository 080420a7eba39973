// An emulated BCU on a virtual serial line, for tests in-process and for
// bcusim. Serve() starts one server thread that speaks RFC 2217 framing on
// a Unix-domain socket (posix) or a named pipe (win32) and plays the BCU's
// side of the RTS/CTS byte handshake with whatever driver connects.
//
// The BCU takes memory writes (0x46; 0xC0 into 0x0060 resets it, after which
// it sends the frame 0xA0 once), memory reads (0x4C, answered with 0x4B)
// and data requests (0x11: the telegram goes on the bus, then a 0x4E
// confirmation follows in link-layer mode, 0x12 in 0x0060). In link-layer
// mode every group telegram of the bus comes to the driver as a 0x49 frame.
// Frames to the driver are queued and sent in order; with
// Options::queueLimit a frame that finds the queue full is dropped.
//
// With Options::requireDtr (default) the driver must raise DTR before the
// BCU answers anything, as the real interface cable needs.
//
// All public functions are thread-safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bcuemu/bus.h"
#include "bcuemu/faults.h"
#include "bcuemu/frames.h"
#include "bcuemu/options.h"
#include "bcuemu/recorder.h"

namespace bcuemu {

namespace detail {
class SerialSide;
class LineTransport;
class LineSession;
}  // namespace detail

struct LineState {
    bool connected = false;
    bool rts = false;  // the driver's
    bool dtr = false;  // the driver's
    bool cts = false;  // the BCU's, as decided (sent at once in fast timing)
};

// The bus, if given, must outlive the BCU.
class Bcu final : public BusPort {
public:
    explicit Bcu(Bus* bus = nullptr, bcuemu::Options options = {});
    ~Bcu() override;
    Bcu(const Bcu&) = delete;
    Bcu& operator=(const Bcu&) = delete;

    // Listens on `endpoint` (a socket path, or \\.\pipe\xx on Windows; empty:
    // a free short name is picked) and starts serving. Returns the port name
    // to give the driver, or "" on failure (see LastError()).
    std::string Serve(const std::string& endpoint = "");
    // Serves the BCU's side on a pseudo terminal instead, with raw bytes and
    // modem lines through the modem page (needs the test preload library in
    // the port's process; Linux only). With `linkPath`, a symlink there names
    // the terminal. Returns the path a port opens, or "" (see LastError()).
    std::string ServePty(const std::string& linkPath = "");
    // Closes the line and ends the server thread. Serve() may follow again.
    void Stop();
    // Serves RFC 2217 on TCP at 127.0.0.1 instead (`port` empty: a free one),
    // for a relay to a port this process cannot hold. Returns
    // "127.0.0.1:PORT", or "" (see LastError()).
    std::string ServeTcp(const std::string& port = "");
    std::string LastError() const;
    std::string PortName() const;

    bool WaitConnected(int timeoutMs) const;
    bool WaitDisconnected(int timeoutMs) const;
    bcuemu::LineState LineState() const;

    // Frames for the driver, header first, sent in order.
    void QueueFrame(std::vector<uint8_t> frame);
    size_t QueuedFrames() const;
    // Frames dropped because the queue was full (Options::queueLimit).
    size_t DroppedFrames() const;

    // Frames accepted from the driver / sent to it since the last clear.
    std::vector<std::vector<uint8_t>> AcceptedFrames() const;
    std::vector<std::vector<uint8_t>> SentFrames() const;
    bool WaitAcceptedFrames(size_t count, int timeoutMs) const;
    bool WaitSentFrames(size_t count, int timeoutMs) const;
    // Line events since the last clear; ClearEvents() forgets events and frames.
    std::vector<LineEvent> Events() const;
    void ClearEvents();
    bcuemu::Recorder& Recorder() { return recorder_; }

    uint8_t Cell(uint16_t address) const;
    void SetCell(uint16_t address, uint8_t value);
    bool LinkLayer() const { return Cell(kSystemStateCell) == kLinkLayerMode; }

    bcuemu::Faults& Faults() { return faults_; }
    const bcuemu::Options& Options() const { return options_; }

    // IEEE 1364 value change dump of the events so far (see vcd.h).
    bool WriteVcd(const std::string& path) const;

    // BusPort.
    void BusTelegram(const Telegram& telegram) override;
    void BusTelegramSent(const Telegram& telegram) override;

private:
    std::string StartServing(std::unique_ptr<detail::LineTransport> transport, const std::string& endpoint);
    void Run();
    void FrameAccepted(const std::vector<uint8_t>& frame, int64_t now);
    void ResetBcu(int64_t now);
    void QueueLocked(std::vector<uint8_t> frame, bool once, int64_t now);

    Bus* const bus_;
    const bcuemu::Options options_;
    bcuemu::Recorder recorder_;
    bcuemu::Faults faults_;
    mutable std::mutex mutex_;  // everything below
    mutable std::condition_variable stateChanged_;
    bool connected_ = false;
    std::vector<uint8_t> cells_;
    std::deque<std::vector<uint8_t>> awaitingConfirm_;
    size_t droppedFrames_ = 0;
    std::unique_ptr<detail::SerialSide> side_;
    std::unique_ptr<detail::LineTransport> transport_;
    std::unique_ptr<detail::LineSession> session_;
    std::string lastError_;
    std::string portName_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A short endpoint name for Serve() that no other line uses right now.
std::string FreeEndpoint();

}  // namespace bcuemu
