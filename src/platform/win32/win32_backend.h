// The win32 backend's parts, gathered into one System table by native_system.cpp.
#pragma once

#include <windows.h>

#include "platform/platform.h"
#include "platform/virtual_line/virtual_port.h"

namespace qel::platform::win32 {

Port* OpenPort(const char* name);
// A connected named-pipe client for name (\\.\pipe\...), nullptr: cannot connect.
ByteStream* ConnectPipeStream(const char* name);
// A connected TCP stream to host:port (IPv4; a name is resolved), nullptr: cannot connect.
ByteStream* ConnectTcpStream(const char* host, uint16_t port);

Thread* StartThread(ThreadProc proc, void* arg, uint32_t stackBytes, uint32_t* id);
bool JoinThread(Thread* thread, uint32_t timeoutMs);
void DetachThread(Thread* thread);
bool ThreadEnded(Thread* thread);
bool SetThreadPriority(Priority priority);

Event* CreateNamedEvent(const char* name);
bool SignalEvent(Event* event);
WaitResult WaitForEvent(Event* event, uint32_t timeoutMs);
bool CloseNamedEvent(Event* event);
Mutex* CreateNamedMutex(const char* name);
WaitResult LockNamedMutex(Mutex* mutex, uint32_t timeoutMs);
bool UnlockNamedMutex(Mutex* mutex);
bool CloseNamedMutex(Mutex* mutex);

void* HostSymbol(const char* name);
bool LibraryPath(char* out, uint32_t size);

Wake* CreateWake();
void SignalWake(Wake* wake);
bool WaitWake(Wake* wake, uint32_t timeoutMs);
void CloseWake(Wake* wake);
// The event to wait for beside a line; a wait on it takes the signal.
HANDLE WakeHandle(Wake* wake);

bool ResolveHost(const char* name, uint32_t* address);
Datagram* OpenDatagram(uint32_t towards, Endpoint* local);
bool SendDatagram(Datagram* datagram, const Endpoint* to, const uint8_t* bytes, uint32_t n);
DatagramWait ReceiveDatagram(Datagram* datagram, Wake* wake, uint32_t timeoutMs, uint8_t* buffer, uint32_t size,
                             uint32_t* n, Endpoint* from);
void CloseDatagram(Datagram* datagram);
Datagram* OpenGroupDatagram(uint32_t group, uint16_t port, Endpoint* local);
bool JoinGroup(Datagram* datagram, uint32_t group, uint32_t interface);
bool LeaveGroup(Datagram* datagram, uint32_t group, uint32_t interface);
bool SetMulticastInterface(Datagram* datagram, uint32_t interface);
bool SetMulticastLoop(Datagram* datagram, bool on);

}  // namespace qel::platform::win32
