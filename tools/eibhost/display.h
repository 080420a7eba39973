// Shows the board: on a terminal, a live screen (header, gate table, journal
// tail, and the bottom line for typed commands) redrawn on change; otherwise
// the journal as plain lines.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gate_board.h"

namespace eibhost {

class Display {
public:
    Display(GateBoard& board, bool live, bool withPrompt, std::vector<std::string> header);
    ~Display();

    void Start();
    // Flushes what is left, gives the terminal back, and ends the drawing thread.
    void Stop();
    bool Live() const { return live_; }

private:
    void RunLines();
    void RunLive();
    void FlushLines();
    void DrawScreen();

    GateBoard& board_;
    bool live_;
    bool withPrompt_;
    std::vector<std::string> header_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    uint64_t printed_ = 0;  // journal index printed so far (line mode)
};

// The gate table as text lines, also printed at the end of a session.
std::vector<std::string> FormatGateTable(const std::vector<std::pair<GateRow, GateState>>& gates);

}  // namespace eibhost
