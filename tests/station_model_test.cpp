#include "sim/StationModel.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

const std::string kDss = "@DSS," + std::string(265, '0');

struct ReplyCase {
    const char* line;
    Lines expected;
};

TEST(StationModelTest, RepliesToEachLine) {
    const ReplyCase cases[] = {
        {"setPing()", {"@DSG,00,03,00,02,00,00,00,00", kDss, "200 Ok"}},
        {"setPing()\r", {"@DSG,00,03,00,02,00,00,00,00", kDss, "200 Ok"}},
        {"setPower(1)", {"200 Ok"}},
        {"setPower(0)", {"200 Ok"}},
        {"setLocoSpeed(49155,1023)", {"200 Ok"}},
        {"setLocoSpeed(49155,40,2)", {"200 Ok"}},
        {"setLocoDirection(49155,2)", {"200 Ok"}},
        {"setLocoFunction(49155,0,1)", {"200 Ok"}},
        {"setLocoFunction(59391,60,0)", {"200 Ok"}},
        {"setLocoFunction(49155,61,1)", {"300 Cmd err"}},
        {"setLocoFunction(49155,-1,1)", {"300 Cmd err"}},
        {"setLocoConfig(49152,1,5)", {"@CVWrite,1,5", "200 Ok"}},
        {"getLocoConfig(49152,8)", {"@CV,49152,8,13,", "200 Ok"}},
        {"getLocoConfig(49162,1)", {"@CV,49162,1,3,", "200 Ok"}},
        {"getLocoConfig(49152,300)", {"@CV,49152,300,65535,", "200 Ok"}},
        // Out-of-range addresses are dropped by the station but still acknowledged.
        {"setLocoSpeed(49152,10)", {"200 Ok"}},
        {"setLocoSpeed(14337,10)", {"200 Ok"}},
        {"setLocoSpeed(59392,10)", {"200 Ok"}},
        {"setLocoDirection(0,1)", {"200 Ok"}},
        // Names are case-sensitive.
        {"setpower(1)", {"300 Cmd err"}},
        {"SetPing()", {"300 Cmd err"}},
        {"hello()", {"300 Cmd err"}},
        {"()", {"300 Cmd err"}},
        {"setPower", {"301 Stx err"}},
        {"setPower(1", {"301 Stx err"}},
        {"setPower1)", {"301 Stx err"}},
        {"\r", {"301 Stx err"}},
        {"", {}},
        {"setLocoSpeed(49155,1)                                              ", {}},
    };
    for (const ReplyCase& c : cases) {
        StationModel model;
        const StationReply reply = model.Handle(c.line);
        EXPECT_EQ(reply.lines, c.expected) << "line: " << c.line;
        EXPECT_EQ(reply.command, !c.expected.empty()) << "line: " << c.line;
        const int status = c.expected.empty() ? 0 : std::stoi(c.expected.back());
        EXPECT_EQ(reply.status, status) << "line: " << c.line;
    }
}

TEST(StationModelTest, LineLimitIsSixtyFourBytes) {
    StationModel model;
    std::string line = "setLocoSpeed(49155,7)";
    line.append(StationModel::kMaxLine - line.size(), ' ');
    ASSERT_EQ(line.size(), 64u);
    EXPECT_EQ(model.Handle(line).lines, Lines{"200 Ok"});
    EXPECT_EQ(model.State().locos.at(49155).speed, 7);

    line.replace(19, 1, "9");
    line.push_back(' ');
    EXPECT_TRUE(model.Handle(line).lines.empty());
    EXPECT_EQ(model.State().locos.at(49155).speed, 7);
}

TEST(StationModelTest, LocomotiveState) {
    StationModel model;
    model.Handle("setLocoSpeed(49155,40)");
    model.Handle("setLocoFunction(49155,0,1)");
    model.Handle("setLocoFunction(49155,28,1)");
    model.Handle("setLocoFunction(49155,60,1)");
    model.Handle("setLocoFunction(49155,28,0)");
    model.Handle("setLocoSpeed(50386,2000)");
    model.Handle("setLocoSpeed(49160,-5)");

    const SimState& state = model.State();
    ASSERT_EQ(state.locos.size(), 3u);
    EXPECT_EQ(state.locos.at(49155).speed, 40);
    EXPECT_TRUE(state.locos.at(49155).forward);
    EXPECT_EQ(state.locos.at(49155).functions, (std::uint64_t{1} << 60) | 1u);
    EXPECT_EQ(state.locos.at(50386).speed, 1023);
    EXPECT_EQ(state.locos.at(49160).speed, 0);
}

TEST(StationModelTest, OutOfRangeAddressChangesNothing) {
    StationModel model;
    model.Handle("setLocoSpeed(49152,10)");
    model.Handle("setLocoFunction(1,0,1)");
    model.Handle("setLocoDirection(59392,2)");
    EXPECT_TRUE(model.State().locos.empty());
}

TEST(StationModelTest, ReversalZeroesSpeed) {
    StationModel model;
    model.Handle("setLocoSpeed(49155,500)");
    model.Handle("setLocoDirection(49155,1)");  // no change of direction: speed kept
    EXPECT_EQ(model.State().locos.at(49155).speed, 500);

    model.Handle("setLocoDirection(49155,2)");
    EXPECT_FALSE(model.State().locos.at(49155).forward);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);

    model.Handle("setLocoSpeed(49155,300)");
    model.Handle("setLocoDirection(49155,2)");
    EXPECT_EQ(model.State().locos.at(49155).speed, 300);
    model.Handle("setLocoDirection(49155,1)");
    EXPECT_TRUE(model.State().locos.at(49155).forward);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);

    model.Handle("setLocoSpeed(49155,300)");
    model.Handle("setLocoDirection(49155,3)");  // not a direction: dropped
    EXPECT_TRUE(model.State().locos.at(49155).forward);
    EXPECT_EQ(model.State().locos.at(49155).speed, 300);
}

TEST(StationModelTest, PowerFollowsCommandsAndCvOperationsTurnItOff) {
    const char* cvCommands[] = {"setLocoConfig(49152,3,7)", "getLocoConfig(49152,1)",
                                "getLocoConfig(49152,999)"};
    for (const char* command : cvCommands) {
        StationModel model;
        EXPECT_FALSE(model.State().power);
        model.Handle("setPower(1)");
        EXPECT_TRUE(model.State().power);
        model.Handle(command);
        EXPECT_FALSE(model.State().power) << command;
    }
    StationModel model;
    model.Handle("setPower(1)");
    model.Handle("setPower(0)");
    EXPECT_FALSE(model.State().power);
}

TEST(StationModelTest, CvWriteThenRead) {
    StationModel model;
    EXPECT_EQ(model.State().cvs.at(1), 3);
    EXPECT_EQ(model.State().cvs.at(29), 6);

    model.Handle("setLocoConfig(49152,1,42)");
    EXPECT_EQ(model.Handle("getLocoConfig(49152,1)").lines[0], "@CV,49152,1,42,");

    // A CV the decoder did not have becomes readable once written.
    EXPECT_EQ(model.Handle("getLocoConfig(49152,50)").lines[0], "@CV,49152,50,65535,");
    model.Handle("setLocoConfig(49152,50,0)");
    EXPECT_EQ(model.Handle("getLocoConfig(49152,50)").lines[0], "@CV,49152,50,0,");

    // Values a decoder cannot hold, and the read-only identification CVs, stay as they were.
    const char* refused[] = {"setLocoConfig(49152,1,256)", "setLocoConfig(49152,1,-1)",
                             "setLocoConfig(49152,0,5)", "setLocoConfig(49152,1025,5)",
                             "setLocoConfig(49152,8,8)"};
    for (const char* command : refused) {
        const StationReply reply = model.Handle(command);
        EXPECT_EQ(reply.status, 200) << command;
        EXPECT_EQ(reply.lines.size(), 2u) << command;
    }
    EXPECT_EQ(model.State().cvs.at(1), 42);
    EXPECT_EQ(model.State().cvs.count(0), 0u);
    EXPECT_EQ(model.State().cvs.count(1025), 0u);
    EXPECT_EQ(model.State().cvs.at(8), 13);

    model.SetCv(8, 129);
    EXPECT_EQ(model.Handle("getLocoConfig(49162,8)").lines[0], "@CV,49162,8,129,");
}

TEST(StationModelTest, WorkTellsWhichCommandsTakeTime) {
    const struct {
        const char* line;
        StationReply::Work work;
    } cases[] = {
        {"setPower(1)", StationReply::Work::PowerOn},
        {"setPower(0)", StationReply::Work::None},
        {"setLocoConfig(49152,1,3)", StationReply::Work::CvWrite},
        {"getLocoConfig(49152,1)", StationReply::Work::CvRead},
        {"setPing()", StationReply::Work::None},
    };
    for (const auto& c : cases) {
        StationModel model;
        EXPECT_EQ(model.Handle(c.line).work, c.work) << c.line;
    }
}

TEST(StationModelTest, NumbersReadLikeAtoi) {
    StationModel model;
    model.Handle("setLocoSpeed( 49155,0x20)");
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);
    model.Handle("setLocoSpeed(49155,12abc)");
    EXPECT_EQ(model.State().locos.at(49155).speed, 12);
    model.Handle("setLocoSpeed(99999999999,5)");
    EXPECT_EQ(model.State().locos.size(), 1u);
}

TEST(StationModelTest, ChangeDescribesTheEffect) {
    StationModel model;
    EXPECT_EQ(model.Handle("setPower(1)").change, "track power ON");
    EXPECT_EQ(model.Handle("setLocoSpeed(49155,40)").change, "loco 3: speed 40/1023 forward");
    EXPECT_EQ(model.Handle("setLocoFunction(49155,0,1)").change, "loco 3: F0 on");
    EXPECT_EQ(model.Handle("setLocoDirection(49155,2)").change,
              "loco 3: direction reverse, speed 0");
    model.Handle("setLocoSpeed(49155,12)");
    model.Handle("setLocoFunction(49155,2,1)");
    model.Handle("setLocoConfig(49152,3,9)");
    EXPECT_EQ(StationModel::Describe(model.State()),
              "track power OFF; loco 3: speed 12/1023 reverse F0 F2; CV3=9");
}

}  // namespace
