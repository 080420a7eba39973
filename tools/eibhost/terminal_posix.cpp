#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "terminal.h"

namespace eibhost {
namespace {

void OnInterrupt(int) {
    static const char reset[] = "\x1b[r\x1b[999;1H\n";
    ssize_t ignored = write(STDOUT_FILENO, reset, sizeof reset - 1);
    (void)ignored;
    _exit(130);
}

}  // namespace

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }
bool StdinIsTerminal() { return isatty(STDIN_FILENO) == 1; }
bool EnableAnsiOutput() { return true; }

TerminalSize QueryTerminalSize() {
    TerminalSize size;
    winsize window{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) == 0 && window.ws_row > 0 && window.ws_col > 0) {
        size.rows = window.ws_row;
        size.columns = window.ws_col;
    }
    return size;
}

void RestoreTerminalOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace eibhost
