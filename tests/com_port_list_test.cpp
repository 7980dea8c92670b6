#include "app/OpenFailureReason.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ListCase {
    std::vector<std::string> names;
    const char* expected;
};

class ComPortListTest : public ::testing::TestWithParam<ListCase> {};

// The names come from the registry in no particular order; a user reads them by number.
TEST_P(ComPortListTest, ListsEachPortOnceInNumberOrder) {
    EXPECT_EQ(ComPortList(GetParam().names), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComPortListTest,
    ::testing::Values(ListCase{{}, ""}, ListCase{{"COM3"}, "COM3"},
                      ListCase{{"COM10", "COM9", "COM1", "COM2"}, "COM1, COM2, COM9, COM10"},
                      ListCase{{"COM4", "COM4", "COM3"}, "COM3, COM4"},
                      ListCase{{"COM2", "CNCA0", "COM1", "CNCB0"}, "CNCA0, CNCB0, COM1, COM2"},
                      ListCase{{"COM", "COM1"}, "COM, COM1"}));

}  // namespace
