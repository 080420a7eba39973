// FT1.2 framing: the frames the driver sends, and what the reader takes,
// drops and counts; the port map's ft12: targets.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "port_map/port_map.h"
#include "ft12/ft12_frames.h"

namespace qel {
namespace {

using Bytes = std::vector<uint8_t>;

std::vector<ft12::Event> Feed(ft12::Reader& reader, const Bytes& bytes) {
    std::vector<ft12::Event> events;
    for (uint8_t b : bytes) {
        const ft12::Event e = reader.Take(b);
        if (e != ft12::Event::kNone) events.push_back(e);
    }
    return events;
}

TEST(Ft12Frames, ResetAndDataFrames) {
    uint8_t out[ft12::kMaxFrame];
    ASSERT_EQ(ft12::ResetFrame(out), 4u);
    EXPECT_EQ(Bytes(out, out + 4), (Bytes{0x10, 0x40, 0x40, 0x16}));
    const uint8_t pei[] = {0xA9, 0x1E, 0x12, 0x34, 0x56, 0x78, 0x9A};
    const size_t n = ft12::DataFrame(0x73, pei, sizeof pei, out);
    EXPECT_EQ(Bytes(out, out + n),
              (Bytes{0x68, 0x08, 0x08, 0x68, 0x73, 0xA9, 0x1E, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xE8, 0x16}));
    uint8_t big[ft12::kMaxData + 1] = {};
    EXPECT_EQ(ft12::DataFrame(0x53, big, sizeof big, out), 0u);
}

TEST(Ft12Frames, ReaderTakesGoodFramesAndDropsBadOnes) {
    ft12::Reader reader;
    // An acknowledgement, a good L_Data.con, then a bad checksum, a bad end
    // byte and unequal lengths, each dropped and counted, then a good frame again.
    const Bytes good{0x68, 0x03, 0x03, 0x68, 0xF3, 0x2E, 0x00, 0x21, 0x16};
    Bytes stream{0xE5};
    stream.insert(stream.end(), good.begin(), good.end());
    stream.insert(stream.end(), {0x68, 0x03, 0x03, 0x68, 0xF3, 0x2E, 0x00, 0x22, 0x16});
    stream.insert(stream.end(), {0x68, 0x03, 0x03, 0x68, 0xF3, 0x2E, 0x00, 0x21, 0x17});
    stream.insert(stream.end(), {0x68, 0x03, 0x04});
    stream.insert(stream.end(), good.begin(), good.end());
    using E = ft12::Event;
    EXPECT_EQ(Feed(reader, stream), (std::vector<E>{E::kAcknowledged, E::kData, E::kBad, E::kBad, E::kBad, E::kData}));
    EXPECT_EQ(reader.badFrames(), 3u);
    EXPECT_EQ(reader.control(), 0xF3);
    ASSERT_EQ(reader.size(), 2u);
    EXPECT_EQ(Bytes(reader.data(), reader.data() + 2), (Bytes{0x2E, 0x00}));
    EXPECT_EQ(Feed(reader, {0x10, 0x40, 0x40, 0x16}), (std::vector<E>{E::kFixed}));
    EXPECT_EQ(reader.control(), 0x40);
}

TEST(Ft12Frames, PortMapTargets) {
    auto parse = [](const char* text, Ft12Target* out) { return ParseFt12Target(text, std::strlen(text), out); };
    Ft12Target t{};
    ASSERT_TRUE(parse("ft12:/dev/ttyUSB0", &t));
    EXPECT_STREQ(t.device, "/dev/ttyUSB0");
    EXPECT_FALSE(t.cemi);
    EXPECT_EQ(t.baud, 19200u);
    ASSERT_TRUE(parse("ft12:COM3?cemi?baud=9600", &t));
    EXPECT_STREQ(t.device, "COM3");
    EXPECT_TRUE(t.cemi);
    EXPECT_EQ(t.baud, 9600u);
    EXPECT_FALSE(parse("ft12:", &t));
    EXPECT_FALSE(parse("ft12:COM3?baud=x", &t));
    EXPECT_FALSE(parse("ft12:COM3?parity", &t));
    char target[kTargetSize];
    PortMapFault fault;
    EXPECT_EQ(LookUpInPortMap("BCU2 = ft12:/dev/ttyUSB0?cemi\n", "bcu2", target, sizeof target, &fault),
              MapLookup::kMapped);
    EXPECT_STREQ(target, "ft12:/dev/ttyUSB0?cemi");
    EXPECT_EQ(LookUpInPortMap("BCU2 = ft12:COM3?baud=\n", "bcu2", target, sizeof target, &fault), MapLookup::kBroken);
}

}  // namespace
}  // namespace qel
