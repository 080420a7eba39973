// The shipped library's one export as a host sees it: which function codes do
// something, what the rejected ones answer, and the driver's description.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "abi/records.h"
#include "support/loaded_driver.h"

namespace qel {
namespace {

// An address in the first page, never mapped: a request that reads through it crashes.
InstanceData* const kUnmappedInstance = reinterpret_cast<InstanceData*>(static_cast<uintptr_t>(0x10));
void* const kUnmappedParams = reinterpret_cast<void*>(static_cast<uintptr_t>(0x20));

class Entry : public ::testing::Test {
protected:
    void SetUp() override {
        std::memset(&instance_, 0x5A, sizeof instance_);
        std::strcpy(instance_.instanceName, "QelEIB01");
        std::memcpy(&instanceBefore_, &instance_, sizeof instance_);
        std::memset(params_, 0xC3, sizeof params_);
        std::memcpy(paramsBefore_, params_, sizeof params_);
    }

    // Calls `code` with a real instance and parameter area, with none, and with
    // pointers that must not be followed; expects `result` and no effect each time.
    void expectNoEffect(uint32_t code, int32_t result) {
        EXPECT_EQ(driver_.Call(code, &instance_, params_, 0x77), result) << "code " << code;
        EXPECT_EQ(driver_.Call(code, nullptr, nullptr), result) << "code " << code;
        EXPECT_EQ(driver_.Call(code, kUnmappedInstance, kUnmappedParams), result) << "code " << code;
        EXPECT_EQ(std::memcmp(&instance_, &instanceBefore_, sizeof instance_), 0) << "code " << code;
        EXPECT_EQ(std::memcmp(params_, paramsBefore_, sizeof params_), 0) << "code " << code;
        EXPECT_EQ(driver_.LogTexts(), std::vector<std::string>{}) << "code " << code;
    }

    test::LoadedDriver driver_;
    InstanceData instance_;
    InstanceData instanceBefore_;
    uint8_t params_[64];
    uint8_t paramsBefore_[64];
};

TEST_F(Entry, codes_out_of_range_answer_2_and_do_nothing) {
    for (uint32_t code : {0u, 17u, 18u, 0x80000000u, 0xFFFFFFFFu}) expectNoEffect(code, 2);
}

TEST_F(Entry, empty_slots_answer_2_and_do_nothing) {
    for (uint32_t code : {8u, 9u, 16u}) expectNoEffect(code, 2);
}

TEST_F(Entry, do_nothing_codes_answer_1_whatever_the_request_holds) {
    for (uint32_t code : {4u, 6u, 10u}) expectNoEffect(code, 1);
}

TEST_F(Entry, a_request_block_is_read_at_its_fixed_offsets) {
    // Hand-built block: code 14 at offset 4, the description at offset 16.
    alignas(4) uint8_t raw[20];
    std::memset(raw, 0xEE, sizeof raw);
    DriverDescription description{};
    const uint32_t code = 14;
    void* params = &description;
    std::memcpy(raw + 4, &code, 4);
    std::memcpy(raw + 16, &params, 4);
    EXPECT_EQ(driver_.Call(reinterpret_cast<RequestBlock*>(raw)), 0);
    EXPECT_EQ(description.instanceSize, 436u);
}

// ---- Code 14: the driver's description -------------------------------------

std::string expectedBanner() {
    const std::string spaces(12, ' ');
    const std::string hyphens(39, '-');
    return std::string("\r\n") +                                                           //
           "\xDA" + hyphens + "\xBF" + spaces + "\r\n" +                                    //
           "\xB3" + " SIEMENS instabus EIB system VER. 7:50 " + "\xB3" + spaces + "\r\n" +  //
           "\xC0" + hyphens + "\xD9" + spaces + "\r\n";
}

TEST_F(Entry, code_14_describes_the_driver_without_an_instance) {
    DriverDescription description;
    std::memset(&description, 0xC3, sizeof description);
    EXPECT_EQ(driver_.Call(14, nullptr, &description), 0);
    EXPECT_EQ(description.word0, 82u);
    ASSERT_NE(description.driverName, nullptr);
    EXPECT_STREQ(description.driverName, "Instabus EIB");
    ASSERT_NE(description.banner, nullptr);
    EXPECT_EQ(std::string(description.banner), expectedBanner());
    EXPECT_EQ(description.instanceSize, 436u);
    EXPECT_EQ(description.word16, 4u);
    EXPECT_EQ(description.line.baud, 9600u);
    EXPECT_EQ(description.line.dataBits, 8u);
    EXPECT_EQ(description.line.stopBits, 0u);
    EXPECT_EQ(description.line.parity, 0u);
    EXPECT_EQ(description.word28, 0u);
    EXPECT_EQ(driver_.LogTexts(), std::vector<std::string>{});
}

TEST_F(Entry, the_banner_is_167_bytes_of_code_page_437_box) {
    DriverDescription description{};
    ASSERT_EQ(driver_.Call(14, nullptr, &description), 0);
    const auto* banner = reinterpret_cast<const unsigned char*>(description.banner);
    ASSERT_EQ(std::strlen(description.banner), 167u);

    EXPECT_EQ(banner[0], 0x0D);
    EXPECT_EQ(banner[1], 0x0A);
    // Three box lines of 55 bytes: corner or bar, 39 bytes, corner or bar, 12 spaces, CR LF.
    const unsigned char left[3] = {0xDA, 0xB3, 0xC0};
    const unsigned char right[3] = {0xBF, 0xB3, 0xD9};
    const char* middle = " SIEMENS instabus EIB system VER. 7:50 ";
    ASSERT_EQ(std::strlen(middle), 39u);
    for (int line = 0; line < 3; ++line) {
        const unsigned char* p = banner + 2 + 55 * line;
        EXPECT_EQ(p[0], left[line]) << "line " << line;
        for (int i = 0; i < 39; ++i) {
            const unsigned char want = line == 1 ? static_cast<unsigned char>(middle[i]) : '-';
            EXPECT_EQ(p[1 + i], want) << "line " << line << " column " << 1 + i;
        }
        EXPECT_EQ(p[40], right[line]) << "line " << line;
        for (int i = 41; i < 53; ++i) EXPECT_EQ(p[i], ' ') << "line " << line << " column " << i;
        EXPECT_EQ(p[53], 0x0D) << "line " << line;
        EXPECT_EQ(p[54], 0x0A) << "line " << line;
    }
    EXPECT_EQ(banner[167], 0x00);
}

TEST_F(Entry, code_14_reads_neither_instance_nor_host_byte_and_keeps_its_texts) {
    DriverDescription first{};
    DriverDescription second{};
    ASSERT_EQ(driver_.Call(14, nullptr, &first), 0);
    ASSERT_EQ(driver_.Call(14, kUnmappedInstance, &second, 0xFF), 0);
    EXPECT_EQ(std::memcmp(&first, &second, sizeof first), 0);
    // The texts are the library's constants: the same pointers every time.
    EXPECT_EQ(first.driverName, second.driverName);
    EXPECT_EQ(first.banner, second.banner);
}

}  // namespace
}  // namespace qel
