#include "commands/command_table.h"

namespace qel {

const CommandRow CommandTable[kCommandCount + 1] = {
    {"LINKLAYER", 0},             // kLinkLayer
    {"RESETBCU", 0},              // kResetBcu
    {"PUT_0116", 0},              // kPut0116
    {"GET_0116", 0},              // kGet0116
    {"D_", kBitGateType},         // kGroupBit
    {"A_", 0},                    // kGroupByte
    {"A2", 0},                    // kGroupWord
    {"GET_LAYER", 0},             // kGetLayer
    {"PUT_LAYER", 0},             // kPutLayer
    {"CHK_COMM", 0},              // kChkComm
    {"SET_DTR", 0},               // kSetDtr
    {"SET_RTS", 0},               // kSetRts
    {"", 0},                      // end of table
};

const char* GroupAddressFormat(int index) {
    switch (index) {
        case kGroupBit: return "D_%02d/%04d";
        case kGroupByte: return "A_%02d/%04d";
        case kGroupWord: return "A2%02d/%04d";
        default: return nullptr;
    }
}

}  // namespace qel
