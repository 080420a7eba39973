// Typed commands ("write A_01/0002 55", "wait A_01/0002 7 9000", "chk instance=2")
// turned into the same steps a script holds.
#pragma once

#include <string>

#include "session_plan.h"

namespace eibhost {

// Parses one line into `step`. Empty `error` on success; an empty line gives
// an empty action. "use", "help" and "quit" come back as actions of their own.
void ParseCommandText(const std::string& line, Step& step, std::string& error);

}  // namespace eibhost
