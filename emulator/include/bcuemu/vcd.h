// IEEE 1364 value change dump of a line recording, for a waveform viewer
// such as GTKWave. Time scale 1 us. Signals, named from the driver's side
// of the cable: rts, dtr (driver's outputs), cts (the BCU's), tx (8 bits,
// bytes driver -> BCU) and rx (8 bits, bytes BCU -> driver). A byte shows
// for one character time (1042 us) or until the next byte, then the vector
// goes back to z; changes closer than 1 us apart are spread 1 us apart so
// each stays visible.
#pragma once

#include <string>
#include <vector>

#include "bcuemu/recorder.h"

namespace bcuemu {

std::string VcdText(const std::vector<LineEvent>& events);
bool WriteVcd(const std::string& path, const std::vector<LineEvent>& events);

}  // namespace bcuemu
