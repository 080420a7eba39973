// A pseudo terminal whose device side looks like a serial port with modem
// lines, through the modem page and the test preload library (modem_page.h).
// The owner holds the master: the BCU's bytes go there, the port's come from
// there; RTS and DTR edges arrive on ChangesFd(), CTS goes out by SetCts().
// Linux only. Not thread-safe: one owner thread, except SetCts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "bcuemu/modem_page.h"

namespace bcuemu::detail {

class ModemPty {
public:
    ModemPty() = default;
    ~ModemPty() { Close(); }
    ModemPty(const ModemPty&) = delete;
    ModemPty& operator=(const ModemPty&) = delete;

    // Makes the terminal (raw), its page and FIFO. With `linkPath`, also a
    // symlink there to the device (a short, stable name for the port).
    bool Open(const std::string& linkPath, std::string& error);
    // The path a port opens: the link if there is one, else the device.
    const std::string& PortPath() const { return linkPath_.empty() ? devicePath_ : linkPath_; }
    const std::string& DevicePath() const { return devicePath_; }
    int MasterFd() const { return master_; }
    int ChangesFd() const { return changes_; }
    // Reads the RTS and DTR edges waiting on the FIFO, whole QelModemChange
    // records; the number of bytes.
    size_t TakeChanges(uint8_t* out, size_t capacity);
    void SetCts(bool on);
    bool Cts() const;
    // Drops RTS and DTR on the page, as a port's last close does.
    void DropDeviceLines();
    // Whether a port has the device side open (the master is not hung up).
    bool DeviceOpen() const;
    // Lets the terminal go: the page turns stale, files and link removed.
    void Close();

private:
    int master_ = -1;
    int changes_ = -1;
    QelModemPage* page_ = nullptr;
    std::string devicePath_;
    std::string linkPath_;
    std::string pagePath_;
    std::string fifoPath_;
};

}  // namespace bcuemu::detail
