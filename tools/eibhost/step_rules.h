// The actions a session knows, which keys each takes, and their help text.
// Script files and typed commands are checked by the same rules.
#pragma once

#include <string>
#include <vector>

#include "session_plan.h"

namespace eibhost {

// Empty when the step is well formed; otherwise what is wrong with it.
std::string CheckStep(const Step& step);
// True for keys whose values are text ("gate", "port", ...); the others are integers.
bool IsTextKey(const std::string& key);
// The positional arguments of a typed command, in order ("write" -> gate, value).
std::vector<std::string> PositionalKeys(const std::string& action, size_t count);
// One line per action, for "help".
std::string StepHelp();

}  // namespace eibhost
