// A line trace for the field: with QELEIB_TRACE=/path/trace.vcd in the host's
// environment, every port the driver opens records what the driver does and
// sees on it (RTS and DTR as set, CTS as read, bytes out and in) with
// microsecond times, as a value change dump that GTKWave opens (the signal
// names of bcusim's trace), and a text log beside it that also marks each
// frame exchange and purge (of the handshake line; an FT1.2 line shows its
// octets). The files are named after the port:
// /path/trace.<port>.vcd and /path/trace.<port>.log (.<port>.2.vcd for the
// second open of that port, and so on). Unset, nothing is traced
// and nothing costs. A path that cannot be written is logged once, and the
// port runs untraced.
#pragma once

#include "platform/platform.h"

namespace qel {

constexpr char kTraceVariable[] = "QELEIB_TRACE";

// The port itself, or a tracing port around it when the trace is asked for.
platform::Port* TraceIfAsked(platform::Port* port, const char* portName);
// A line in the trace's text log of a traced port; nothing otherwise (also
// for nullptr).
void TraceNote(platform::Port* port, const char* note);

}  // namespace qel
