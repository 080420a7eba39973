// Every line the driver writes to the host's log, each text once. Hosts and
// their users match these texts letter for letter (misspellings included):
// a change here is a change of the driver's interface.
#pragma once

namespace qel::text {

// Start and stop of an instance. "%s" is the instance name unless noted.
inline constexpr char kColdStartEntered[] = "%s: ColdStart() entered, Version: %02x.%02x";
inline constexpr char kColdStartRunning[] = "%s: ColdStart() fail, instance is running";
inline constexpr char kAllInstancesInUse[] = "QelEIB: ColdStart() fail, all %d instances in use";
inline constexpr char kNoColdStartParams[] = "%s: ColdStart() fail, no parameter block";
inline constexpr char kFailToOpen[] = "%s: Fail to open %s";  // port name
inline constexpr char kSetCommMaskFailed[] = "%s: ColdStart() SetCommMask() fail";
inline constexpr char kClientRegistrationFailed[] = "%s: Error while registering as a Huxtor client, rc = %hu";
inline constexpr char kStartEventFailed[] = "%s: failed create Sync. Threads Semaphore";
inline constexpr char kLineLockFailed[] = "%s: failed create Mutex CommBusy Semaphore";
inline constexpr char kThreadStartFailed[] = "%s: InstallCatch() fail, on CreateThread";
inline constexpr char kInstallCatchFailed[] = "%s: failed InstallCatch, rc = -1";
inline constexpr char kStartWaitFailed[] = "%s: WaitSyncSem fail -1";
inline constexpr char kStartWaitTimedOut[] = "%s: WaitSyncSem timed out, listener did not start";
inline constexpr char kStartEventCloseFailed[] = "%s: ColdStart() CloseSync Semaphore failed";
inline constexpr char kResetDone[] = "%s: ColdStart() ResetCommunication done (rc = %d)";
inline constexpr char kColdStartDone[] = "%s: ColdStart() end OK";
inline constexpr char kWarmStartFailed[] = "%s: WarmStart(), ResetBCU Communcation() FAIL";
inline constexpr char kEndQel[] = "%s: EndQel()";
inline constexpr char kClientRemoved[] = "%s: EndQel() Remove huxtor client";
inline constexpr char kListenerStopFailed[] = "%s: CloseCatchThread failed";
inline constexpr char kLineLockCloseFailed[] = "%s: Close ComBusy Semaphore failed";
inline constexpr char kInstancesLeft[] = "%s: No. of Instances left: %d";

// The listener.
inline constexpr char kListenerWaiting[] = "%s: CatchThread Wait...";
inline constexpr char kListenerSignalFailed[] = "%s: CatchThread fail on SetEvent() Sync (rc = 0)";
inline constexpr char kListenerStarted[] = "%s: CatchThread Started...";
inline constexpr char kCtsStuck[] = "%s: CTS stays on without a frame, line given up for a while";
inline constexpr char kCtsCleared[] = "%s: CTS back to normal";

// Thread priority; "%s" names the thread's instance.
inline constexpr char kPriorityRefused[] = "%s: time-critical priority not granted, running at normal priority";

// The line.
inline constexpr char kLineLockWaitFailed[] = "QELEIB: WaitUntilCommNotBusy(): WaitSem fail -1";
inline constexpr char kLineLockWaitTimedOut[] = "QELEIB: WaitUntilCommNotBusy(): line busy for 5 s, request given up";
inline constexpr char kLineLockReleaseFailed[] = "QELEIB: ReleaseComm(): ClearSem fail 0";
inline constexpr char kRtsFailed[] = "EscapeCommFunction fail (RTS)";
inline constexpr char kDtrFailed[] = "EscapeCommFunction fail (DTR)";
inline constexpr char kCtsReadFailed[] = "GetCommModemStatus fail (CTS)";
inline constexpr char kInputQueryFailed[] = "ClearCommError (Rx) failed %08lx";
inline constexpr char kPortMapBroken[] = "QELEIB: port map %s line %u: %s";  // file, line, why
inline constexpr char kPortMapUnreadable[] = "QELEIB: port map %s: cannot read";  // file
inline constexpr char kTraceUnwritable[] = "QELEIB: line trace of %s: cannot write %s, running untraced";

// A KNXnet/IP tunnel; the second "%s" is the server ("192.168.1.20:3671").
inline constexpr char kTunnelHostUnknown[] = "%s: KNXnet/IP server %s: host not found";
inline constexpr char kTunnelNoSocket[] = "%s: KNXnet/IP server %s: no UDP socket";
inline constexpr char kTunnelOpen[] = "%s: KNXnet/IP tunnel to %s open, channel %u, address %u.%u.%u";
inline constexpr char kTunnelRefused[] = "%s: KNXnet/IP tunnel to %s refused: %s";  // status name
inline constexpr char kTunnelNoAnswer[] = "%s: KNXnet/IP server %s: no answer to %s";  // request name
inline constexpr char kTunnelLost[] = "%s: KNXnet/IP tunnel to %s lost (%s), connecting again";  // why
inline constexpr char kTunnelClosedByServer[] = "%s: KNXnet/IP tunnel to %s closed by the server, connecting again";
inline constexpr char kTunnelDown[] = "%s: KNXnet/IP tunnel to %s down, telegram not sent";
inline constexpr char kTunnelNotConfirmed[] = "%s: KNXnet/IP tunnel to %s: telegram not confirmed (%s)";  // why
inline constexpr char kBcuCommandOnTunnel[] = "%s: %s is a BCU command, refused on a KNXnet/IP link";  // command
// Its KNX IP Secure session; never a secret, only what went wrong.
inline constexpr char kSecureCredentials[] = "%s: KNX IP Secure credentials %s: %s";  // file, why
inline constexpr char kSecureFailed[] = "%s: KNX IP Secure session with %s failed: %s";  // server, why
inline constexpr char kSecureDropped[] = "%s: KNX IP Secure session with %s: frame dropped (%s, %u so far)";

// KNXnet/IP routing; the second "%s" is the group ("224.0.23.12:3671").
inline constexpr char kRoutingNoSocket[] = "%s: KNXnet/IP routing on %s: no multicast socket";
inline constexpr char kRoutingOpen[] = "%s: KNXnet/IP routing on %s open";
inline constexpr char kRoutingLost[] = "%s: KNXnet/IP routing on %s: a router lost %u telegrams";  // its count
inline constexpr char kRoutingNotSent[] = "%s: KNXnet/IP routing on %s: telegram not sent (%s)";  // why
inline constexpr char kSecureRoutingDropped[] = "%s: KNX IP Secure routing on %s: frame dropped (%s, %u so far)";

// An FT1.2 line; the second "%s" is the device ("/dev/ttyUSB0", "COM3").
inline constexpr char kFt12LinkLayer[] = "%s: FT1.2 interface on %s: link layer (%s)";  // EMI2 or cEMI
inline constexpr char kFt12NoAck[] = "%s: FT1.2 interface on %s: no acknowledgement to %s";  // frame name
inline constexpr char kFt12NoAnswer[] = "%s: FT1.2 interface on %s: no answer to %s";  // request name
inline constexpr char kFt12LinkLayerRefused[] = "%s: FT1.2 interface on %s: link layer refused";
inline constexpr char kFt12NotConfirmed[] = "%s: FT1.2 interface on %s: telegram not confirmed (%s)";  // why
inline constexpr char kFt12BadFrame[] = "%s: FT1.2 interface on %s: bad frame dropped (%u so far)";
inline constexpr char kBcuCommandOnCemi[] = "%s: %s is a BCU command, refused on a cEMI interface";  // command
inline constexpr char kModemLineOnFt12[] = "%s: %s needs a modem line, refused on an FT1.2 link";  // command

// Parsing a gate address; the last "%s" is the address as the host gave it.
inline constexpr char kNoParseBlock[] = "%s: SingleParser() fail, no parameter block";
inline constexpr char kInvalidChar[] = "%s: SingleParser() invalid char found (addr = '%s')";
inline constexpr char kCommandNotFound[] = "%s: SingleParser() fail, command not found (addr = '%s')";
inline constexpr char kGateTypeRefused[] = "%s: SingleParser() fail, on CheckGateType (addr = '%s')";
inline constexpr char kSlashMissing[] = "%s: SearchCmdName() fail, '/' char not found (%s)";
inline constexpr char kGroupOutOfRange[] = "%s: SearchCmdName() fail, Main (%d) or Sub (%d) group out of range (%s )";
inline constexpr char kGateTypeMismatch[] = "EIB: CheckGateType fail, memType = %d, gateType = %d, gateAddr %04x";

// Reads and writes.
inline constexpr char kNoReadBlock[] = "%s: GateRead() fail, no parameter block or value area";
inline constexpr char kNoWriteBlock[] = "%s: GateWrite() fail, no parameter block or value area";
inline constexpr char kReadIndexOutOfRange[] = "%s: CallCmdReadFunction() fail, fn out of range (fn = %d)";
inline constexpr char kNoReadFunction[] = "%s: CallCmdReadFunction() fail, NULL fn (fn = %d)";
inline constexpr char kWriteIndexOutOfRange[] = "%s: CallCmdWriteFunction() fail, fn out of range (fn = %d)";
inline constexpr char kNoWriteFunction[] = "%s: CmdWriteFunctionTable() fail, NULL fn (fn = %d)";
inline constexpr char kPut116TooLarge[] = "%s: Put116Write() fail, Value > 255 (val = %d)";
inline constexpr char kPutLayerTooLarge[] = "%s: PutLayerWrite() fail, Value > 255 (val = %d)";
inline constexpr char kAnalogTooLarge[] = "%s: AnalogWrite() fail, Value > 255 (val = %d)";
inline constexpr char kResetBcu[] = "%s: ResetBCU";

// Delivery to the host's gates; the second "%s" is the gate address.
inline constexpr char kBitGateUnknown[] = "%s: address %s failed to get GateID";
inline constexpr char kValueGateUnknown[] = "%s: address %s";
inline constexpr char kCookFailed[] = "%s: address %s failed to COOK";
inline constexpr char kPutValFailed[] = "%s: address %s failed to PutVal";

}  // namespace qel::text
