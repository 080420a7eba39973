// The messages an FT1.2 line carries, EMI2 (a BCU2 in FT1.2 mode) or cEMI,
// turned to and from the BCU's frame images, so that the commands and the
// decoder serve this link as every other. Pure byte work: every parser takes
// untrusted bytes and refuses what is malformed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel::ft12 {

enum class Emi : uint8_t { kEmi2, kCemi };

// EMI2 PEI_Switch.req back to normal mode (sent first, as knxd does), and to
// link layer.
size_t NormalModeSwitch(uint8_t* out);
size_t LinkLayerSwitch(uint8_t* out);
// cEMI M_PropWrite.req: the cEMI server's communication mode set to link layer.
size_t CommunicationModeWrite(uint8_t* out);

// The message of a BCU frame image (header first): a data request, or on EMI2
// a cell read (PC_GetValue.req) or write (PC_SetValue.req); 0 when the
// interface takes no such message. `out` holds kMaxData bytes.
size_t MessageOfImage(Emi emi, const uint8_t* image, uint8_t* out);

// What a message sent waits for once acknowledged.
enum class Answer : uint8_t {
    kNone,             // PC_SetValue.req, PEI_Switch.req
    kDataConfirm,      // L_Data.req: its L_Data.con
    kValue,            // PC_GetValue.req: PC_GetValue.con
    kPropertyConfirm,  // M_PropWrite.req: M_PropWrite.con
};
Answer AnswerOf(const uint8_t* message);
// The message's name for the log ("L_Data.req"); "frame" when unknown.
const char* MessageName(const uint8_t* message);

// A message from the interface as the link reads it.
struct Incoming {
    Answer answers;        // the kind of request it answers; kNone for an indication or other
    bool positive;         // a confirmation without its error bit
    uint16_t destination;  // an L_Data.con's
};
Incoming ReadIncoming(Emi emi, const uint8_t* message, size_t n);

// The BCU image (header first) of an L_Data.ind of a standard frame or an
// EMI2 PC_GetValue.con, put into `image` (`size` bytes); false when it has none.
bool ImageOfMessage(Emi emi, const uint8_t* message, size_t n, uint8_t* image, size_t size);

}  // namespace qel::ft12
