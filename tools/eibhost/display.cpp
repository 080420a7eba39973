#include "display.h"

#include <cstdio>

#include "group_address.h"
#include "terminal.h"

namespace eibhost {
namespace {

constexpr auto kRedrawPause = std::chrono::milliseconds(80);

// The gate's group address as the bus tools write it (3-level), "-" for a BCU command.
std::string Group(const GateRow& row) {
    if (row.commandIndex < 4 || row.commandIndex > 6) return "-";
    return GroupText(row.groupAddress);
}

// Cuts a line to the screen width, counting UTF-8 characters, not bytes.
std::string Fit(const std::string& line, int columns) {
    std::string out;
    int used = 0;
    for (char c : line) {
        bool continuation = (static_cast<unsigned char>(c) & 0xC0) == 0x80;
        if (!continuation && used == columns) break;
        if (!continuation) ++used;
        out += c;
    }
    return out;
}

}  // namespace

std::vector<std::string> FormatGateTable(const std::vector<std::pair<GateRow, GateState>>& gates) {
    std::vector<std::string> lines;
    lines.emplace_back("inst gate       group    type cmd value           from  puts  sent    changed");
    for (const auto& [row, state] : gates) {
        char value[32] = "-";
        if (state.value) std::snprintf(value, sizeof value, "%u (0x%04X)", *state.value, *state.value);
        char sent[16] = "-";
        if (state.sent) std::snprintf(sent, sizeof sent, "%u", *state.sent);
        char changed[16] = "-";
        if (state.changedAt > 0) std::snprintf(changed, sizeof changed, "%.3f", state.changedAt);
        char line[200];
        std::snprintf(line, sizeof line, "%4d %-10s %-8s %4u %3u %-15s %-5s %4u  %-7s %s", row.instance,
                      row.address.c_str(), Group(row).c_str(), row.gateType, row.commandIndex, value,
                      state.source.empty() ? "-" : state.source.c_str(), state.busPuts, sent, changed);
        lines.emplace_back(line);
    }
    return lines;
}

Display::Display(GateBoard& board, bool live, bool withPrompt, std::vector<std::string> header)
    : board_(board), live_(live), withPrompt_(withPrompt), header_(std::move(header)) {}

Display::~Display() { Stop(); }

void Display::Start() {
    if (live_) {
        RestoreTerminalOnInterrupt();
        TerminalSize size = QueryTerminalSize();
        // Clear, and keep the bottom line for typing: it scrolls on its own.
        std::printf("\x1b[2J");
        if (withPrompt_) std::printf("\x1b[%d;%dr\x1b[%d;1H", size.rows, size.rows, size.rows);
        std::fflush(stdout);
    }
    thread_ = std::thread([this] { live_ ? RunLive() : RunLines(); });
}

void Display::Stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    board_.Wake();
    thread_.join();
    if (live_) {
        DrawScreen();
        TerminalSize size = QueryTerminalSize();
        std::printf("\x1b[r\x1b[%d;1H\n", size.rows);
    } else {
        FlushLines();
    }
    std::fflush(stdout);
}

void Display::FlushLines() {
    for (const std::string& line : board_.JournalSince(printed_, printed_)) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void Display::RunLines() {
    uint64_t seen = 0;
    while (!stopping_) {
        seen = board_.WaitForChange(seen, std::chrono::milliseconds(500));
        FlushLines();
    }
}

void Display::RunLive() {
    uint64_t seen = 0;
    while (!stopping_) {
        seen = board_.WaitForChange(seen, std::chrono::milliseconds(500));
        if (stopping_) break;
        DrawScreen();
        std::this_thread::sleep_for(kRedrawPause);  // coalesces bursts of telegrams
    }
}

void Display::DrawScreen() {
    TerminalSize size = QueryTerminalSize();
    const int usable = size.rows - (withPrompt_ ? 1 : 0);
    std::vector<std::string> lines = header_;
    for (std::string& line : FormatGateTable(board_.Snapshot())) lines.push_back(std::move(line));
    lines.push_back(std::string(static_cast<size_t>(size.columns > 0 ? size.columns : 80), '-'));
    const int room = usable - static_cast<int>(lines.size());
    if (room > 0) {
        for (std::string& line : board_.JournalTail(static_cast<size_t>(room))) lines.push_back(std::move(line));
    }
    std::string frame = "\x1b" "7";  // keep the typing position
    for (int row = 0; row < usable; ++row) {
        frame += "\x1b[" + std::to_string(row + 1) + ";1H\x1b[2K";
        if (row < static_cast<int>(lines.size())) frame += Fit(lines[static_cast<size_t>(row)], size.columns);
    }
    frame += "\x1b" "8";
    std::fwrite(frame.data(), 1, frame.size(), stdout);
    std::fflush(stdout);
}

}  // namespace eibhost
