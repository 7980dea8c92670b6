#include "app/CommandLine.hpp"

#include <gtest/gtest.h>

namespace {

struct PortCase {
    const char* text;
    std::int32_t expected;
};

class ParseTcpPortTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(ParseTcpPortTest, ReadsLikeAtoiWithThe32BitClamp) {
    EXPECT_EQ(ParseTcpPort(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseTcpPortTest,
                         ::testing::Values(PortCase{"11009", 11009}, PortCase{"1024", 1024},
                                           PortCase{"65535", 65535}, PortCase{"  \t12000", 12000},
                                           PortCase{"12000abc", 12000}, PortCase{"+2000", 2000},
                                           PortCase{"-1", -1}, PortCase{"abc", 0}, PortCase{"", 0},
                                           PortCase{"- 5", 0}, PortCase{"0x500", 0},
                                           PortCase{"2147483647", 2147483647},
                                           PortCase{"2147483648", 2147483647},
                                           PortCase{"99999999999999999999999", 2147483647},
                                           PortCase{"-2147483648", -2147483647 - 1},
                                           PortCase{"-99999999999999999999", -2147483647 - 1}));

TEST(UpperCasePortNameTest, ChangesOnlyTheLettersAToZ) {
    EXPECT_EQ(UpperCasePortName("com3"), "COM3");
    EXPECT_EQ(UpperCasePortName("/dev/ttyUSB0"), "/DEV/TTYUSB0");
    EXPECT_EQ(UpperCasePortName("a-z_09\xe9"), "A-Z_09\xe9");
    EXPECT_EQ(UpperCasePortName(""), "");
}

}  // namespace
