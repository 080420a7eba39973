// The host's interface: the records it shares with the driver, the calling
// convention and the instance numbers. Every layout is fixed: the host
// allocates and fills these with the sizes and offsets below, in one 32-bit
// process. Nothing here depends on any other part of the driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

static_assert(sizeof(void*) == 4, "qeleib is a 32-bit driver: build it for i386 or i686");

// The host calls QelMain and the host library's functions as stdcall.
#define QEL_STDCALL __attribute__((stdcall))

namespace qel {

// Instance numbers 1..4 name the instances (QelEIB01..QelEIB04); the driver
// description tells the host that four can run at once.
constexpr int32_t kFirstInstanceNumber = 1;
constexpr int32_t kLastInstanceNumber = 4;
constexpr int32_t kInstanceSlots = kLastInstanceNumber + 1;  // arrays indexed by number

constexpr bool IsInstanceNumber(int32_t number) {
    return number >= kFirstInstanceNumber && number <= kLastInstanceNumber;
}

namespace platform {
struct Event;
struct Mutex;
struct Thread;
}  // namespace platform

// Port handle values kept in InstanceData::portHandle.
constexpr uint32_t kNoPort = 0;
constexpr uint32_t kPseudoPort = 0xFFFFFFFFu;  // "NULLDEV": every line operation does nothing
// Any other value is the address of the open link (src/link/link.h).

// offset width
//  0     2   baud
//  2     2   data bits
//  4     2   stop-bit code (0 one, 1 one and a half, 2 two)
//  6     2   parity code (0 none, 1 odd, 2 even, 3 mark, 4 space)
struct LineSettings {
    uint16_t baud;
    uint16_t dataBits;
    uint16_t stopBits;
    uint16_t parity;
};
static_assert(offsetof(LineSettings, baud) == 0);
static_assert(offsetof(LineSettings, dataBits) == 2);
static_assert(offsetof(LineSettings, stopBits) == 4);
static_assert(offsetof(LineSettings, parity) == 6);
static_assert(sizeof(LineSettings) == 8);

constexpr size_t kPortNameSize = 12;

//  0    12   port name, NUL-terminated
// 12     8   line settings
// 20     2   open flags (0x0101: DTR enabled, RTS disabled)
struct PortSettings {
    char portName[kPortNameSize];
    LineSettings line;
    uint16_t openFlags;
};
static_assert(offsetof(PortSettings, portName) == 0);
static_assert(offsetof(PortSettings, line) == 12);
static_assert(offsetof(PortSettings, openFlags) == 20);
static_assert(sizeof(PortSettings) == 22);
static_assert(alignof(PortSettings) == 2);

constexpr size_t kFrameAreaSize = 124;
constexpr size_t kClientNameSize = 11;
constexpr size_t kObjectNameSize = 32;

// The per-instance record, 436 bytes, owned by the host.
struct InstanceData {
    uint32_t readTimeout;                     //   0 read time-out, units of 10 ms
    uint32_t portEnabled;                     //   4 0: ColdStart stops after its entry line
    uint32_t portHandle;                      //   8 kNoPort, kPseudoPort or an open link
    PortSettings portSettings;                //  12 the port in use
    char instanceName[kObjectNameSize];       //  34 "QelEIB01"...
    uint16_t driverVersion;                   //  66 0x0112
    uint8_t clientId;                         //  68 handed out by HuxMkClient
    char clientName[kClientNameSize];         //  69 copy of instanceName
    int32_t instanceNumber;                   //  80 1..4 while running, -1 after EndQel
    uint8_t hostByte;                         //  84 ColdStart's hostByte
    char lineLockName[kObjectNameSize];       //  85 "COMMBUSY" + instanceName
    char startEventName[kObjectNameSize];     // 117 "SYNCTHREAD" + instanceName
    uint8_t reserved149[3];                   // 149 unused
    platform::Event* startEvent;              // 152 closed once the listener signalled
    platform::Mutex* lineLock;                // 156
    platform::Thread* listenerThread;         // 160
    uint32_t listenerThreadId;                // 164
    uint16_t* valuePtr;                       // 168 value word of the current request
    uint8_t* valueRecord;                     // 172 value area of the current request
    uint8_t lastCellValue;                    // 176
    uint8_t lastBitValue;                     // 177
    uint8_t lastByteValue;                    // 178
    uint8_t clientRegistered;                 // 179 1 while this record holds the host client
    uint16_t lastWordValue;                   // 180
    uint8_t frameBytes[kFrameAreaSize];       // 182 frame to send
    uint8_t receivedBytes[kFrameAreaSize];    // 306 last received frame, header first
    uint16_t frameLength;                     // 430
    int16_t receivedLength;                   // 432 0: nothing received
    uint8_t reserved434[2];                   // 434 unused
};
static_assert(offsetof(InstanceData, readTimeout) == 0);
static_assert(offsetof(InstanceData, portEnabled) == 4);
static_assert(offsetof(InstanceData, portHandle) == 8);
static_assert(offsetof(InstanceData, portSettings) == 12);
static_assert(offsetof(InstanceData, instanceName) == 34);
static_assert(offsetof(InstanceData, driverVersion) == 66);
static_assert(offsetof(InstanceData, clientId) == 68);
static_assert(offsetof(InstanceData, clientName) == 69);
static_assert(offsetof(InstanceData, instanceNumber) == 80);
static_assert(offsetof(InstanceData, hostByte) == 84);
static_assert(offsetof(InstanceData, lineLockName) == 85);
static_assert(offsetof(InstanceData, startEventName) == 117);
static_assert(offsetof(InstanceData, startEvent) == 152);
static_assert(offsetof(InstanceData, lineLock) == 156);
static_assert(offsetof(InstanceData, listenerThread) == 160);
static_assert(offsetof(InstanceData, listenerThreadId) == 164);
static_assert(offsetof(InstanceData, valuePtr) == 168);
static_assert(offsetof(InstanceData, valueRecord) == 172);
static_assert(offsetof(InstanceData, lastCellValue) == 176);
static_assert(offsetof(InstanceData, lastBitValue) == 177);
static_assert(offsetof(InstanceData, lastByteValue) == 178);
static_assert(offsetof(InstanceData, clientRegistered) == 179);
static_assert(offsetof(InstanceData, lastWordValue) == 180);
static_assert(offsetof(InstanceData, frameBytes) == 182);
static_assert(offsetof(InstanceData, receivedBytes) == 306);
static_assert(offsetof(InstanceData, frameLength) == 430);
static_assert(offsetof(InstanceData, receivedLength) == 432);
static_assert(sizeof(InstanceData) == 436);
static_assert(std::is_standard_layout_v<InstanceData>);
static_assert(std::is_trivially_copyable_v<InstanceData>);

//  0  4 instance
//  4  4 function code 1..16
//  8  1 host byte (+3 unread)
// 12  4 unread
// 16  4 params
struct RequestBlock {
    InstanceData* instance;
    uint32_t functionCode;
    uint8_t hostByte;
    uint8_t reserved9[7];
    void* params;
};
static_assert(offsetof(RequestBlock, instance) == 0);
static_assert(offsetof(RequestBlock, functionCode) == 4);
static_assert(offsetof(RequestBlock, hostByte) == 8);
static_assert(offsetof(RequestBlock, params) == 16);
static_assert(sizeof(RequestBlock) == 20);
static_assert(std::is_standard_layout_v<RequestBlock>);
static_assert(std::is_trivially_copyable_v<RequestBlock>);

// Code 14's parameter block.
struct DriverDescription {
    uint32_t word0;                           //  0 82
    const char* driverName;                   //  4 "Instabus EIB"
    const char* banner;                       //  8 boxed banner, code page 437
    uint32_t instanceSize;                    // 12 436
    uint32_t word16;                          // 16 4
    LineSettings line;                        // 20 9600 8 0 0
    uint32_t word28;                          // 28 0
};
static_assert(offsetof(DriverDescription, word0) == 0);
static_assert(offsetof(DriverDescription, driverName) == 4);
static_assert(offsetof(DriverDescription, banner) == 8);
static_assert(offsetof(DriverDescription, instanceSize) == 12);
static_assert(offsetof(DriverDescription, word16) == 16);
static_assert(offsetof(DriverDescription, line) == 20);
static_assert(offsetof(DriverDescription, word28) == 28);
static_assert(sizeof(DriverDescription) == 32);
static_assert(std::is_standard_layout_v<DriverDescription>);
static_assert(std::is_trivially_copyable_v<DriverDescription>);

// Code 1's parameter block.
struct ColdStartParams {
    char portName[kPortNameSize];             //  0
    uint32_t portEnabled;                     // 12
    uint32_t readTimeout;                     // 16 units of 10 ms
    LineSettings line;                        // 20
};
static_assert(offsetof(ColdStartParams, portName) == 0);
static_assert(offsetof(ColdStartParams, portEnabled) == 12);
static_assert(offsetof(ColdStartParams, readTimeout) == 16);
static_assert(offsetof(ColdStartParams, line) == 20);
static_assert(sizeof(ColdStartParams) == 28);
static_assert(std::is_standard_layout_v<ColdStartParams>);
static_assert(std::is_trivially_copyable_v<ColdStartParams>);

// Code 15's parameter block.
struct PortParams {
    char portName[kPortNameSize];             //  0
    uint32_t readTimeout;                     // 12 0 keeps the stored value
    LineSettings line;                        // 16
};
static_assert(offsetof(PortParams, portName) == 0);
static_assert(offsetof(PortParams, readTimeout) == 12);
static_assert(offsetof(PortParams, line) == 16);
static_assert(sizeof(PortParams) == 24);
static_assert(std::is_standard_layout_v<PortParams>);
static_assert(std::is_trivially_copyable_v<PortParams>);

// Code 3's parameter block.
struct ParseBlock {
    const char* address;                      //  0 in: address text
    uint32_t reserved4;                       //  4 not touched
    uint32_t gateType;                        //  8 in: host's gate type
    uint32_t reserved12;                      // 12 not touched
    uint32_t out16;                           // 16 out: 0
    uint32_t commandIndex;                    // 20 out: 0..11
    uint32_t groupAddress;                    // 24 out: GroupAddress, 0 for commands
    uint32_t out28;                           // 28 out: 255
    uint32_t out32;                           // 32 out: 16, or 1 for gate type 6
};
static_assert(offsetof(ParseBlock, address) == 0);
static_assert(offsetof(ParseBlock, gateType) == 8);
static_assert(offsetof(ParseBlock, out16) == 16);
static_assert(offsetof(ParseBlock, commandIndex) == 20);
static_assert(offsetof(ParseBlock, groupAddress) == 24);
static_assert(offsetof(ParseBlock, out28) == 28);
static_assert(offsetof(ParseBlock, out32) == 32);
static_assert(sizeof(ParseBlock) == 36);
static_assert(std::is_standard_layout_v<ParseBlock>);
static_assert(std::is_trivially_copyable_v<ParseBlock>);

// The host's 4-byte raw value: a word the driver does not interpret, then the value.
struct RawValue {
    uint16_t word0;                           // 0 not interpreted (0 from the driver)
    uint16_t value;                           // 2 raw gate value
};
static_assert(offsetof(RawValue, word0) == 0);
static_assert(offsetof(RawValue, value) == 2);
static_assert(sizeof(RawValue) == 4);
static_assert(std::is_trivially_copyable_v<RawValue>);

// The host's 8-byte cooked value; the driver never looks inside.
struct CookedValue {
    uint8_t bytes[8];
};
static_assert(sizeof(CookedValue) == 8);
static_assert(std::is_trivially_copyable_v<CookedValue>);

// Codes 5 and 7's parameter block.
struct GateBlock {
    uint32_t reserved0[3];                    //  0 not read
    uint32_t commandIndex;                    // 12 low 16 bits, signed
    uint32_t groupAddress;                    // 16 low 16 bits
    uint32_t reserved20[4];                   // 20 not read
    uint32_t gateId;                          // 36 reads: GateId
    RawValue* valueArea;                      // 40 value area
};
static_assert(offsetof(GateBlock, commandIndex) == 12);
static_assert(offsetof(GateBlock, groupAddress) == 16);
static_assert(offsetof(GateBlock, gateId) == 36);
static_assert(offsetof(GateBlock, valueArea) == 40);
static_assert(sizeof(GateBlock) == 44);
static_assert(std::is_standard_layout_v<GateBlock>);
static_assert(std::is_trivially_copyable_v<GateBlock>);

}  // namespace qel
