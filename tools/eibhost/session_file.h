// Session files in TOML: [[instance]], [[gate]] and [[step]] tables.
#pragma once

#include <stdexcept>
#include <string>

#include "session_plan.h"

namespace eibhost {

// Bad input, already phrased "FILE:LINE: what is wrong".
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Appends the file's instances, gates and (when allowed) steps to `plan`.
void ReadSessionFile(const std::string& path, SessionPlan& plan, bool allowSteps);
// Checks references between the parts: gates name existing instances, steps
// name declared gates and instances.
void CheckPlan(const SessionPlan& plan);

}  // namespace eibhost
