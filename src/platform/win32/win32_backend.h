// The win32 backend's parts, gathered into one System table by native_system.cpp.
#pragma once

#include "platform/platform.h"
#include "platform/virtual_line/virtual_port.h"

namespace qel::platform::win32 {

Port* openPort(const char* name);
// A connected named-pipe client for name (\\.\pipe\...), nullptr: cannot connect.
ByteStream* connectPipeStream(const char* name);

Thread* startThread(ThreadProc proc, void* arg, uint32_t stackBytes, uint32_t* id);
bool joinThread(Thread* thread, uint32_t timeoutMs);
bool threadEnded(Thread* thread);
bool setThreadPriority(Priority priority);

Event* createEvent(const char* name);
bool setEvent(Event* event);
WaitResult waitEvent(Event* event, uint32_t timeoutMs);
bool closeEvent(Event* event);
Mutex* createMutex(const char* name);
WaitResult lockMutex(Mutex* mutex, uint32_t timeoutMs);
bool unlockMutex(Mutex* mutex);
bool closeMutex(Mutex* mutex);

void* hostSymbol(const char* name);

}  // namespace qel::platform::win32
