// The console: whether output goes to a terminal, its size, and ANSI control.
#pragma once

namespace eibhost {

struct TerminalSize {
    int rows = 24;
    int columns = 80;
};

bool StdoutIsTerminal();
bool StdinIsTerminal();
// Makes the console interpret ANSI escapes; false when it cannot.
bool EnableAnsiOutput();
TerminalSize QueryTerminalSize();
// On an interrupt, give the terminal back its whole screen before exiting.
void RestoreTerminalOnInterrupt();

}  // namespace eibhost
