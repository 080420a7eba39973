#include <windows.h>

#include <io.h>

#include <cstdio>

#include "terminal.h"

namespace eibhost {

bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
bool StdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }

bool EnableAnsiOutput() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) return false;
    SetConsoleOutputCP(CP_UTF8);
    return SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

TerminalSize QueryTerminalSize() {
    TerminalSize size;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) {
        size.rows = info.srWindow.Bottom - info.srWindow.Top + 1;
        size.columns = info.srWindow.Right - info.srWindow.Left + 1;
    }
    return size;
}

void RestoreTerminalOnInterrupt() {}

}  // namespace eibhost
