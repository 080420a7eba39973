// The driver's log: every line goes to the host's `err` at level 32, with a
// text from the catalogue (host/log_texts.h).
#pragma once

#include "host/host_functions.h"
#include "host/log_texts.h"

namespace qel::host {
constexpr int kLogLevel = 32;
}  // namespace qel::host

#define QEL_LOG(...) ::qel::host::BoundFunctions().err(::qel::host::kLogLevel, __VA_ARGS__)
