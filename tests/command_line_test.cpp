#include "app/CommandLine.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <vector>

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

struct ParseCase {
    std::vector<const char*> args;  // after the program name
    CommandLine::Action action;
    const char* comPort;
    const char* tcpPort;
    const char* listen;
};

void PrintTo(const ParseCase& c, std::ostream* out) {
    for (const char* arg : c.args)
        *out << arg << ' ';
}

class ParseCommandLineTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseCommandLineTest, SortsOptionsFromArguments) {
    const ParseCase& c = GetParam();
    std::vector<const char*> argv{"railmux"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const CommandLine line = CommandLine::Parse(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(line.action, c.action);
    EXPECT_STREQ(line.comPort, c.comPort);
    EXPECT_STREQ(line.tcpPort, c.tcpPort);
    EXPECT_STREQ(line.listen, c.listen);
}

using Action = CommandLine::Action;
INSTANTIATE_TEST_SUITE_P(
    Cases, ParseCommandLineTest,
    ::testing::Values(
        ParseCase{{}, Action::kUsage, nullptr, nullptr, nullptr},
        ParseCase{{"com3"}, Action::kRun, "com3", nullptr, nullptr},
        ParseCase{{"com3", "12000", "more", "ignored"}, Action::kRun, "com3", "12000", nullptr},
        ParseCase{{"--listen", "::1", "com3", "12000"}, Action::kRun, "com3", "12000", "::1"},
        ParseCase{{"com3", "--listen", "::1", "12000"}, Action::kRun, "com3", "12000", "::1"},
        ParseCase{
            {"com3", "12000", "--listen=10.0.0.1"}, Action::kRun, "com3", "12000", "10.0.0.1"},
        // The TCP port keeps its reading as a number, sign and all.
        ParseCase{{"com3", "-5"}, Action::kRun, "com3", "-5", nullptr},
        ParseCase{{"-5", "12000"}, Action::kBadUsage, "-5", "12000", nullptr},
        ParseCase{{"com3", "--verbose"}, Action::kBadUsage, "com3", nullptr, nullptr},
        ParseCase{{"com3", "--listen"}, Action::kBadUsage, "com3", nullptr, nullptr},
        ParseCase{{"--listen", "::1"}, Action::kBadUsage, nullptr, nullptr, "::1"},
        ParseCase{{"com3", "--help", "--bogus"}, Action::kBadUsage, "com3", nullptr, nullptr},
        ParseCase{{"com3", "-h"}, Action::kHelp, "com3", nullptr, nullptr},
        ParseCase{{"--version", "com3"}, Action::kVersion, "com3", nullptr, nullptr}));

}  // namespace
