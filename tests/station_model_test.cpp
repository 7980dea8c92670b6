#include "sim/StationModel.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
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
        {"setLocoFunction(49155,-1,1)", {"300 Cmd err"}},  // 65535
        {"setTurnout(14336,1)", {"200 Ok"}},
        {"setTurnout(16380,1)", {"200 Ok"}},
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
    model.Handle("setLocoSpeed(49155,40,2)");
    model.Handle("setLocoFunction(49155,0,1)");
    model.Handle("setLocoFunction(49155,28,1)");
    model.Handle("setLocoFunction(49155,60,1)");
    model.Handle("setLocoFunction(49155,28,0)");
    model.Handle("setLocoSpeed(50386,2000,2)");
    model.Handle("setLocoSpeed(49160,-5,0)");

    const SimState& state = model.State();
    ASSERT_EQ(state.locos.size(), 3u);
    EXPECT_EQ(state.locos.at(49155).speed, 40);
    EXPECT_EQ(state.locos.at(49155).mode, 2);
    EXPECT_TRUE(state.locos.at(49155).forward);
    EXPECT_EQ(state.locos.at(49155).functions, (std::uint64_t{1} << 60) | 1u);
    // Numbers are unsigned 16-bit: kept as they come, wrapped when negative.
    EXPECT_EQ(state.locos.at(50386).speed, 2000);
    EXPECT_EQ(state.locos.at(49160).speed, 65531);
}

// setLocoSpeed without its third argument takes the mode from whatever the previous command
// left in the station's argument array.
TEST(StationModelTest, SpeedModeIsWhatTheArgumentArrayHolds) {
    const struct {
        std::vector<std::string> before;
        const char* speed;
        const char* rails;  // speed 504: 128 steps step 64, 28 steps step 14, 14 steps step 7
    } cases[] = {
        {{}, "setLocoSpeed(49155,504)", "03 78"},
        {{"setLocoFunction(49155,0,1)"}, "setLocoSpeed(49155,504)", "03 68"},
        {{"setLocoFunction(49155,0,0)"}, "setLocoSpeed(49155,504)", "03 78"},
        {{"setLocoConfig(49152,3,2)"}, "setLocoSpeed(49155,504)", "03 3F C0"},
        {{"setLocoConfig(49152,3,10)"}, "setLocoSpeed(49155,504)", "03 00"},
        {{"setLocoConfig(49152,3,10)"}, "setLocoSpeed(49155,504,2)", "03 3F C0"},
        {{"setLocoSpeed(49155,504,2)", "setPing()"}, "setLocoSpeed(49155,504)", "03 3F C0"},
        {{"setLocoSpeed(49155,504,2)", "getLocoConfig(49152,1)"},
         "setLocoSpeed(49155,504)",
         "03 3F C0"},
        // A direction does not change the stored mode.
        {{"setLocoSpeed(49155,504,1)"}, "setLocoDirection(49155,1)", "03 68"},
    };
    for (const auto& c : cases) {
        StationModel model;
        for (const std::string& line : c.before)
            model.Handle(line);
        EXPECT_EQ(model.Handle(c.speed).status, 200);
        EXPECT_EQ(model.State().rails, c.rails) << c.speed << " after " << c.before.size();
    }
}

TEST(StationModelTest, SpeedReachesTheRailsByTheStationsConversion) {
    const struct {
        const char* line;
        const char* rails;
    } cases[] = {
        // 128 steps: bit 7 forward; 0 stops, step 1 (emergency stop) is never produced.
        {"setLocoSpeed(49155,0,2)", "03 3F 80"},
        {"setLocoSpeed(49155,1,2)", "03 3F 82"},
        {"setLocoSpeed(49155,11,2)", "03 3F 82"},
        {"setLocoSpeed(49155,12,2)", "03 3F 83"},
        {"setLocoSpeed(49155,28,2)", "03 3F 85"},
        {"setLocoSpeed(49155,40,2)", "03 3F 86"},  // step 5 asked as 5 * 1023 / 127
        {"setLocoSpeed(49155,1015,2)", "03 3F FE"},
        {"setLocoSpeed(49155,1016,2)", "03 3F FF"},
        {"setLocoSpeed(49155,1023,2)", "03 3F FF"},
        {"setLocoSpeed(49155,5000,2)", "03 3F FF"},
        // 28 steps, 01DCSSSS: step n has the code n + 3 as SSSSC.
        {"setLocoSpeed(49155,0,0)", "03 60"},
        {"setLocoSpeed(49155,1,0)", "03 62"},
        {"setLocoSpeed(49155,40,0)", "03 72"},
        {"setLocoSpeed(49155,988,0)", "03 7F"},
        {"setLocoSpeed(49155,1023,0)", "03 7F"},
        // 14 steps, 01D0SSSS with SSSS = n + 1.
        {"setLocoSpeed(49155,0,1)", "03 60"},
        {"setLocoSpeed(49155,1,1)", "03 62"},
        {"setLocoSpeed(49155,1023,1)", "03 6F"},
        // Addresses: short up to 127, long from 128 to 10238.
        {"setLocoSpeed(49279,28,2)", "7F 3F 85"},
        {"setLocoSpeed(49280,28,2)", "C0 80 3F 85"},
        {"setLocoSpeed(50386,28,2)", "C4 D2 3F 85"},
        {"setLocoSpeed(59390,28,2)", "E7 FE 3F 85"},
    };
    for (const auto& c : cases) {
        StationModel model;
        model.Handle(c.line);
        EXPECT_EQ(model.State().rails, c.rails) << c.line;
    }

    StationModel model;
    model.Handle("setLocoSpeed(49155,28,2)");
    model.Handle("setLocoDirection(49155,2)");
    EXPECT_EQ(model.State().rails, "03 3F 00");
    model.Handle("setLocoSpeed(49155,28,0)");
    EXPECT_EQ(model.State().rails, "03 42");
}

TEST(StationModelTest, FunctionsReachTheRailsInTheirGroupsPacket) {
    const struct {
        std::vector<std::string> lines;
        const char* rails;
    } cases[] = {
        {{"setLocoFunction(49155,0,1)"}, "03 90"},
        {{"setLocoFunction(49155,0,1)", "setLocoFunction(49155,2,1)"}, "03 92"},
        {{"setLocoFunction(49155,4,1)"}, "03 88"},
        {{"setLocoFunction(49155,5,1)"}, "03 B1"},
        {{"setLocoFunction(49155,12,1)"}, "03 A8"},
        {{"setLocoFunction(49155,13,1)"}, "03 DE 01"},
        {{"setLocoFunction(49155,28,1)"}, "03 DF 80"},
        {{"setLocoFunction(49155,29,1)"}, "03 D8 01"},
        {{"setLocoFunction(49155,60,1)"}, "03 DB 80"},
        {{"setLocoFunction(49155,0,1)", "setLocoFunction(49155,0,0)"}, "03 80"},
        {{"setLocoFunction(50386,1,1)"}, "C4 D2 81"},
    };
    for (const auto& c : cases) {
        StationModel model;
        for (const std::string& line : c.lines)
            model.Handle(line);
        EXPECT_EQ(model.State().rails, c.rails) << c.lines.back();
    }
}

TEST(StationModelTest, TurnoutsReachTheRailsAsBasicAccessoryPackets) {
    const struct {
        const char* line;
        const char* rails;  // empty: nothing on the rails
        int output;         // the output k recorded, -1 none
        int coil;
    } cases[] = {
        {"setTurnout(14336,1)", "81 F9", 0, 1},  // decoder 1, pair 0
        {"setTurnout(14336,0)", "81 F8", 0, 0},
        {"setTurnout(14339,1)", "81 FF", 3, 1},     // decoder 1, pair 3
        {"setTurnout(14340,0)", "82 F8", 4, 0},     // decoder 2, pair 0
        {"setTurnout(14592,1)", "81 E9", 256, 1},   // decoder 65: high bits inverted
        {"setTurnout(16379,1)", "BF 8F", 2043, 1},  // decoder 511, pair 3
        {"setTurnout(14336,3)", "81 F9", 0, 1},     // d & 1
        {"setTurnout(16380,1)", "", -1, 0},         // decoder 512: dropped
        {"setTurnout(12288,1)", "", -1, 0},         // a Marklin accessory
        {"setTurnout(100,1)", "", -1, 0},
    };
    for (const auto& c : cases) {
        StationModel model;
        EXPECT_EQ(model.Handle(c.line).status, 200) << c.line;
        EXPECT_EQ(model.State().rails, c.rails) << c.line;
        if (c.output < 0) {
            EXPECT_TRUE(model.State().accessories.empty()) << c.line;
        } else {
            EXPECT_EQ(model.State().accessories, (std::map<std::int32_t, int>{{c.output, c.coil}}))
                << c.line;
        }
    }
}

TEST(StationModelTest, ResetForgetsTheStationButNotTheDecodersCvs) {
    StationModel model;
    model.Handle("setPower(1)");
    model.Handle("setLocoSpeed(49155,28,2)");
    model.Handle("setTurnout(14336,1)");
    model.Handle("setLocoConfig(49152,3,9)");
    model.Reset();
    EXPECT_FALSE(model.State().power);
    EXPECT_TRUE(model.State().locos.empty());
    EXPECT_TRUE(model.State().accessories.empty());
    EXPECT_EQ(model.State().cvs.at(3), 9);
    // The argument array is zeroed: a speed without its mode is 28 steps again.
    model.Handle("setLocoSpeed(49155,504)");
    EXPECT_EQ(model.State().rails, "03 78");
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

    // 0 is forward, anything above 2 reverse.
    model.Handle("setLocoSpeed(49155,300)");
    model.Handle("setLocoDirection(49155,3)");
    EXPECT_FALSE(model.State().locos.at(49155).forward);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);
    model.Handle("setLocoSpeed(49155,300)");
    model.Handle("setLocoDirection(49155,0)");
    EXPECT_TRUE(model.State().locos.at(49155).forward);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);
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
    EXPECT_EQ(model.Handle("setLocoSpeed(49155,28,2)").change,
              "loco 3: speed 28/1023 forward, 128 steps; rails: 03 3F 85");
    EXPECT_EQ(model.Handle("setLocoSpeed(49155,28)").change,
              "loco 3: speed 28/1023 forward, 128 steps (mode left over); rails: 03 3F 85");
    EXPECT_EQ(model.Handle("setLocoFunction(49155,0,1)").change, "loco 3: F0 on; rails: 03 90");
    EXPECT_EQ(model.Handle("setLocoDirection(49155,2)").change,
              "loco 3: direction reverse, speed 0; rails: 03 3F 00");
    EXPECT_EQ(model.Handle("setTurnout(14340,1)").change,
              "accessory output 5 (decoder 2, pair 0): coil 1; rails: 82 F9");
    model.Handle("setLocoSpeed(49155,12,2)");
    model.Handle("setLocoFunction(49155,2,1)");
    const StationReply write = model.Handle("setLocoConfig(49152,3,9)");
    EXPECT_EQ(write.change, "CV3 = 9; track power OFF");
    EXPECT_EQ(model.Handle("setLocoSpeed(49155,28)").change,
              "loco 3: speed 28/1023 reverse, mode 9: decoder reset (mode left over); rails: "
              "03 00 (track power off)");
    EXPECT_EQ(StationModel::Describe(model.State()),
              "track power OFF; loco 3: speed 28/1023 reverse, mode 9: decoder reset F0 F2, "
              "rails 03 00; accessory output 5: coil 1, rails 82 F9; CV3=9");
}

}  // namespace
