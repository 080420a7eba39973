// The one process-wide state of the host library.
#pragma once

#include "callback_slot.h"
#include "client_table.h"
#include "failure_injection.h"
#include "gate_table.h"
#include "host_log.h"
#include "huxtor_control.h"

namespace huxtor {

struct HostState {
    ClientTable clients;
    GateTable gates;
    HostLog log;
    FailureInjection failures;
    CallbackSlot<HuxCtlPutCallback> onPut;
    CallbackSlot<HuxCtlLogCallback> onLog;

    // Everything but the log echo, which is a setting of the process.
    void reset();
};

// Created on first use and never destroyed: driver threads may still call in during exit.
HostState& state();

}  // namespace huxtor
