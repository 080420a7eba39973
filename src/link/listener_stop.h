// Stop requests to the listeners, indexed by instance number: the request
// thread asks, the listener leaves at its next safe point.
#pragma once

#include <cstdint>

namespace qel {

void RequestListenerStop(int32_t number);
void ClearListenerStop(int32_t number);
bool ListenerStopRequested(int32_t number);

}  // namespace qel
