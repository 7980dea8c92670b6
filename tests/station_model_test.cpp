#include "sim/StationModel.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

// The time of commands whose timing does not matter.
const StationModel::TimePoint kNow{};

// The status line of a station fresh from its boot: track off, no error, firmware 8, 14.8 V,
// hardware 2, the counter at 0.
const std::string kFreshStatus = "N,0,8,0,148,00,2,00," + std::string(11, '0') + ";" +
                                 std::string(15, '0') + ";" + std::string(64, '0') + ";" +
                                 std::string(152, '0');
const std::string kDss = "@DSS," + kFreshStatus;

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
        const StationReply reply = model.Handle(c.line, kNow);
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
    EXPECT_EQ(model.Handle(line, kNow).lines, Lines{"200 Ok"});
    EXPECT_EQ(model.State().locos.at(49155).speed, 7);

    line.replace(19, 1, "9");
    line.push_back(' ');
    EXPECT_TRUE(model.Handle(line, kNow).lines.empty());
    EXPECT_EQ(model.State().locos.at(49155).speed, 7);
}

TEST(StationModelTest, LocomotiveState) {
    StationModel model;
    model.Handle("setLocoSpeed(49155,40,2)", kNow);
    model.Handle("setLocoFunction(49155,0,1)", kNow);
    model.Handle("setLocoFunction(49155,28,1)", kNow);
    model.Handle("setLocoFunction(49155,60,1)", kNow);
    model.Handle("setLocoFunction(49155,28,0)", kNow);
    model.Handle("setLocoDirection(50386,1)", kNow);
    model.Handle("setLocoSpeed(50386,2000,2)", kNow);
    model.Handle("setLocoDirection(49160,1)", kNow);
    model.Handle("setLocoSpeed(49160,-5,0)", kNow);

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
// left in the station's argument array; the station keeps it mod 4, and 255 mod 256 leaves it.
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
        {{"setLocoConfig(49152,3,10)"}, "setLocoSpeed(49155,504)", "03 3F C0"},
        {{"setLocoConfig(49152,3,11)"}, "setLocoSpeed(49155,504)", "03 00"},
        {{"setLocoConfig(49152,3,10)"}, "setLocoSpeed(49155,504,2)", "03 3F C0"},
        {{}, "setLocoSpeed(49155,504,3)", "03 00"},
        {{}, "setLocoSpeed(49155,504,4)", "03 78"},
        {{}, "setLocoSpeed(49155,504,5)", "03 68"},
        {{}, "setLocoSpeed(49155,504,7)", "03 00"},
        {{}, "setLocoSpeed(49155,504,254)", "03 3F C0"},
        {{}, "setLocoSpeed(49155,504,255)", "03 78"},
        {{"setLocoSpeed(49155,504,2)"}, "setLocoSpeed(49155,504,255)", "03 3F C0"},
        {{"setLocoSpeed(49155,504,1)"}, "setLocoSpeed(49155,504,511)", "03 68"},
        {{"setLocoSpeed(49155,504,1)"}, "setLocoSpeed(49155,504,-1)", "03 68"},
        {{"setLocoSpeed(49155,504,1)"}, "setLocoSpeed(49155,504,256)", "03 78"},
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
            model.Handle(line, kNow);
        EXPECT_EQ(model.Handle(c.speed, kNow).status, 200);
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
        // The direction makes the locomotive's entry: a speed without one is a fault of its own.
        const std::string line = c.line;
        const std::string address = line.substr(13, line.find(',') - 13);
        model.Handle("setLocoDirection(" + address + ",1)", kNow);
        model.Handle(c.line, kNow);
        EXPECT_EQ(model.State().rails, c.rails) << c.line;
    }

    StationModel model;
    model.Handle("setLocoSpeed(49155,28,2)", kNow);
    model.Handle("setLocoDirection(49155,2)", kNow);
    EXPECT_EQ(model.State().rails, "03 3F 00");
    model.Handle("setLocoSpeed(49155,28,0)", kNow);
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
            model.Handle(line, kNow);
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
        EXPECT_EQ(model.Handle(c.line, kNow).status, 200) << c.line;
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
    model.Handle("setPower(1)", kNow);
    model.Handle("setLocoSpeed(49155,28,2)", kNow);
    model.Handle("setTurnout(14336,1)", kNow);
    model.Handle("setLocoConfig(49152,3,9)", kNow);
    model.Reset();
    EXPECT_FALSE(model.State().power);
    // Only the boot entry of locomotive 3, standing.
    ASSERT_EQ(model.State().locos.size(), 1u);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);
    EXPECT_EQ(model.State().list.size(), 1u);
    EXPECT_TRUE(model.State().accessories.empty());
    EXPECT_EQ(model.State().cvs.at(3), 9);
    // The argument array is zeroed: a speed without its mode is 28 steps again.
    model.Handle("setLocoSpeed(49155,504)", kNow);
    EXPECT_EQ(model.State().rails, "03 78");
}

TEST(StationModelTest, OutOfRangeAddressChangesNothing) {
    StationModel model;
    model.Handle("setLocoSpeed(49152,10)", kNow);
    model.Handle("setLocoFunction(1,0,1)", kNow);
    model.Handle("setLocoDirection(59392,2)", kNow);
    EXPECT_EQ(model.State().locos.size(), 1u);
    EXPECT_EQ(model.State().list.size(), 1u);
    EXPECT_EQ(model.State().speedsWithoutEntry, 0);
}

TEST(StationModelTest, ReversalZeroesSpeed) {
    StationModel model;
    model.Handle("setLocoSpeed(49155,500)", kNow);
    model.Handle("setLocoDirection(49155,1)", kNow);  // no change of direction: speed kept
    EXPECT_EQ(model.State().locos.at(49155).speed, 500);

    model.Handle("setLocoDirection(49155,2)", kNow);
    EXPECT_FALSE(model.State().locos.at(49155).forward);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);

    model.Handle("setLocoSpeed(49155,300)", kNow);
    model.Handle("setLocoDirection(49155,2)", kNow);
    EXPECT_EQ(model.State().locos.at(49155).speed, 300);
    model.Handle("setLocoDirection(49155,1)", kNow);
    EXPECT_TRUE(model.State().locos.at(49155).forward);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);

    // 0 is forward, anything above 2 reverse.
    model.Handle("setLocoSpeed(49155,300)", kNow);
    model.Handle("setLocoDirection(49155,3)", kNow);
    EXPECT_FALSE(model.State().locos.at(49155).forward);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);
    model.Handle("setLocoSpeed(49155,300)", kNow);
    model.Handle("setLocoDirection(49155,0)", kNow);
    EXPECT_TRUE(model.State().locos.at(49155).forward);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);
}

TEST(StationModelTest, PowerFollowsCommandsAndCvOperationsTurnItOff) {
    const char* cvCommands[] = {"setLocoConfig(49152,3,7)", "getLocoConfig(49152,1)",
                                "getLocoConfig(49152,999)"};
    for (const char* command : cvCommands) {
        StationModel model;
        EXPECT_FALSE(model.State().power);
        model.Handle("setPower(1)", kNow);
        EXPECT_TRUE(model.State().power);
        model.Handle(command, kNow);
        EXPECT_FALSE(model.State().power) << command;
    }
    StationModel model;
    model.Handle("setPower(1)", kNow);
    model.Handle("setPower(0)", kNow);
    EXPECT_FALSE(model.State().power);
}

TEST(StationModelTest, CvWriteThenRead) {
    StationModel model;
    EXPECT_EQ(model.State().cvs.at(1), 3);
    EXPECT_EQ(model.State().cvs.at(29), 6);

    model.Handle("setLocoConfig(49152,1,42)", kNow);
    EXPECT_EQ(model.Handle("getLocoConfig(49152,1)", kNow).lines[0], "@CV,49152,1,42,");

    // A CV the decoder did not have becomes readable once written.
    EXPECT_EQ(model.Handle("getLocoConfig(49152,50)", kNow).lines[0], "@CV,49152,50,65535,");
    model.Handle("setLocoConfig(49152,50,0)", kNow);
    EXPECT_EQ(model.Handle("getLocoConfig(49152,50)", kNow).lines[0], "@CV,49152,50,0,");

    // Values a decoder cannot hold, and the read-only identification CVs, stay as they were.
    const char* refused[] = {"setLocoConfig(49152,1,256)", "setLocoConfig(49152,1,-1)",
                             "setLocoConfig(49152,0,5)", "setLocoConfig(49152,1025,5)",
                             "setLocoConfig(49152,8,8)"};
    for (const char* command : refused) {
        const StationReply reply = model.Handle(command, kNow);
        EXPECT_EQ(reply.status, 200) << command;
        EXPECT_EQ(reply.lines.size(), 2u) << command;
    }
    EXPECT_EQ(model.State().cvs.at(1), 42);
    EXPECT_EQ(model.State().cvs.count(0), 0u);
    EXPECT_EQ(model.State().cvs.count(1025), 0u);
    EXPECT_EQ(model.State().cvs.at(8), 13);

    model.SetCv(8, 129);
    EXPECT_EQ(model.Handle("getLocoConfig(49162,8)", kNow).lines[0], "@CV,49162,8,129,");
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
        EXPECT_EQ(model.Handle(c.line, kNow).work, c.work) << c.line;
    }
}

TEST(StationModelTest, NumbersReadLikeAtoi) {
    StationModel model;
    model.Handle("setLocoSpeed( 49155,0x20)", kNow);
    EXPECT_EQ(model.State().locos.at(49155).speed, 0);
    model.Handle("setLocoSpeed(49155,12abc)", kNow);
    EXPECT_EQ(model.State().locos.at(49155).speed, 12);
    model.Handle("setLocoSpeed(99999999999,5)", kNow);
    EXPECT_EQ(model.State().locos.size(), 1u);
}

TEST(StationModelTest, ChangeDescribesTheEffect) {
    StationModel model;
    EXPECT_EQ(model.Handle("setPower(1)", kNow).change, "track power ON");
    EXPECT_EQ(model.Handle("setLocoSpeed(49155,28,2)", kNow).change,
              "loco 3: speed 28/1023 forward, 128 steps; rails: 03 3F 85");
    EXPECT_EQ(model.Handle("setLocoSpeed(49155,28)", kNow).change,
              "loco 3: speed 28/1023 forward, 128 steps (mode left over); rails: 03 3F 85");
    EXPECT_EQ(model.Handle("setLocoFunction(49155,0,1)", kNow).change,
              "loco 3: F0 on; rails: 03 90");
    EXPECT_EQ(model.Handle("setLocoDirection(49155,2)", kNow).change,
              "loco 3: direction reverse, speed 0; rails: 03 3F 00");
    EXPECT_EQ(model.Handle("setTurnout(14340,1)", kNow).change,
              "accessory output 5 (decoder 2, pair 0): coil 1; rails: 82 F9");
    model.Handle("setLocoSpeed(49155,12,2)", kNow);
    model.Handle("setLocoFunction(49155,2,1)", kNow);
    const StationReply write = model.Handle("setLocoConfig(49152,3,11)", kNow);
    EXPECT_EQ(write.change, "CV3 = 11; track power OFF");
    EXPECT_EQ(model.Handle("setLocoSpeed(49155,28)", kNow).change,
              "loco 3: speed 28/1023 reverse, mode 3: decoder reset (mode left over); rails: "
              "03 00 (track power off)");
    EXPECT_EQ(StationModel::Describe(model.State()),
              "track power OFF; loco 3: speed 28/1023 reverse, mode 3: decoder reset F0 F2, "
              "rails 03 00; accessory output 5: coil 1, rails 82 F9; CV3=11");
    EXPECT_EQ(model.Handle("setLocoSpeed(49155,28,255)", kNow).change,
              "loco 3: speed 28/1023 reverse, mode 3: decoder reset (mode 255 leaves it); rails: "
              "03 00 (track power off)");
}

// The station's refresh list as one line: "L3" a locomotive, "A14340:1" an accessory and its
// coil, "*" after an accessory whose packet went out.
std::string List(const SimState& state) {
    std::string text;
    for (const SimEntry& entry : state.list) {
        if (!text.empty()) text += ' ';
        if (entry.kind == SimEntry::Kind::Loco) {
            text += "L" + std::to_string(entry.address - StationModel::kLocoBase);
        } else {
            text += "A" + std::to_string(entry.address) + ":" + std::to_string(entry.coil) +
                    (entry.sent ? "*" : "");
        }
    }
    return text;
}

std::string Loco(int dcc) {
    return std::to_string(StationModel::kLocoBase + dcc);
}

// Locomotives 4 to 22 by their direction: a full list behind the boot entry of locomotive 3.
void FillTheList(StationModel& model, StationModel::TimePoint now) {
    for (int dcc = 4; dcc <= 22; ++dcc)
        model.Handle("setLocoDirection(" + Loco(dcc) + ",1)", now);
}

const char kFullList[] = "L3 L4 L5 L6 L7 L8 L9 L10 L11 L12 L13 L14 L15 L16 L17 L18 L19 L20 L21 L22";

TEST(StationListTest, WhatMakesAnEntry) {
    const struct {
        std::vector<std::string> lines;
        const char* list;
        int speedsWithoutEntry;
    } cases[] = {
        {{}, "L3", 0},
        {{"setLocoDirection(49157,2)"}, "L3 L5", 0},
        {{"setLocoFunction(49157,4,1)"}, "L3 L5", 0},
        {{"setLocoSpeed(49157,100,2)"}, "L3 L5", 1},
        {{"setLocoSpeed(49157,100,2)", "setLocoSpeed(49157,100,2)"}, "L3 L5", 1},
        {{"setTurnout(14340,1)"}, "L3 A14340:1", 0},
        {{"setTurnout(12288,0)"}, "L3 A12288:0", 0},  // a Marklin accessory
        // An entry is made once; what the station drops makes none.
        {{"setLocoDirection(49155,2)", "setLocoFunction(49155,1,1)", "setLocoSpeed(49155,5,2)"},
         "L3",
         0},
        {{"setLocoDirection(49157,2)", "setLocoSpeed(49157,5,2)", "setLocoFunction(49157,1,1)"},
         "L3 L5",
         0},
        {{"setTurnout(16380,1)", "setTurnout(100,1)", "setLocoDirection(49152,1)",
          "setLocoFunction(49157,61,1)", "setLocoSpeed(59391,5,2)", "setPower(1)", "setPing()"},
         "L3",
         0},
        // Entries in the order made; track power off and on keeps them.
        {{"setLocoDirection(49160,1)", "setPower(1)", "setLocoFunction(49157,0,1)", "setPower(0)",
          "setLocoSpeed(49158,5,2)", "getLocoConfig(49152,1)"},
         "L3 L8 L5 L6",
         1},
    };
    for (const auto& c : cases) {
        StationModel model;
        for (const std::string& line : c.lines)
            model.Handle(line, kNow);
        EXPECT_EQ(List(model.State()), c.list) << c.lines.size() << " lines";
        EXPECT_EQ(model.State().speedsWithoutEntry, c.speedsWithoutEntry) << c.list;
    }
}

TEST(StationListTest, ANewEntryIsMadeProperlyExceptBySpeed) {
    const struct {
        const char* line;
        SimLoco loco;  // speed, mode, forward, functions, undefined
        const char* rails;
    } cases[] = {
        {"setLocoDirection(49157,2)", {0, 0, false, 0, false}, "05 40"},
        {"setLocoDirection(49157,0)", {0, 0, true, 0, false}, "05 60"},
        {"setLocoFunction(49157,4,1)", {0, 0, true, 1u << 4, false}, "05 88"},
        {"setLocoFunction(49157,4,0)", {0, 0, true, 0, false}, "05 80"},
        // The firmware's fault: 28 steps whatever m says, a packet nobody can tell.
        {"setLocoSpeed(49157,100,2)", {100, 0, true, 0, true}, "undefined"},
    };
    for (const auto& c : cases) {
        StationModel model;
        // An argument array full of leftovers: a new entry takes none of them.
        model.Handle("setLocoSpeed(49155,1023,1)", kNow);
        const StationReply reply = model.Handle(c.line, kNow);
        EXPECT_EQ(reply.status, 200) << c.line;
        const SimLoco& loco = model.State().locos.at(49157);
        EXPECT_EQ(loco.speed, c.loco.speed) << c.line;
        EXPECT_EQ(loco.mode, c.loco.mode) << c.line;
        EXPECT_EQ(loco.forward, c.loco.forward) << c.line;
        EXPECT_EQ(loco.functions, c.loco.functions) << c.line;
        EXPECT_EQ(loco.undefined, c.loco.undefined) << c.line;
        EXPECT_EQ(model.State().rails, c.rails) << c.line;
        EXPECT_NE(reply.change.find(std::string("rails: ") + c.rails), std::string::npos)
            << reply.change;
    }

    // The undefined packet lasts until the next speed for the locomotive, which is normal.
    StationModel model;
    model.Handle("setLocoSpeed(49157,100,2)", kNow);
    model.Handle("setLocoDirection(49157,2)", kNow);
    model.Handle("setLocoFunction(49157,0,1)", kNow);
    EXPECT_TRUE(model.State().locos.at(49157).undefined);
    EXPECT_NE(StationModel::Describe(model.State())
                  .find("loco 5: speed 0/1023 reverse, 28 steps F0, rails undefined"),
              std::string::npos)
        << StationModel::Describe(model.State());
    model.Handle("setLocoSpeed(49157,100,2)", kNow);
    EXPECT_FALSE(model.State().locos.at(49157).undefined);
    EXPECT_EQ(model.State().rails, "05 3F 0E");
    EXPECT_EQ(model.State().speedsWithoutEntry, 1);
}

// On a full list a new entry is written into the first slot, in place: the locomotive there
// loses its entry and everything the station held for it.
TEST(StationListTest, AFullListOverwritesItsFirstEntry) {
    StationModel model;
    FillTheList(model, kNow);
    ASSERT_EQ(List(model.State()), kFullList);
    ASSERT_TRUE(model.TakeNotes().empty());

    const struct {
        const char* line;
        const char* first;  // the first entry afterwards
        const char* overwritten;
    } steps[] = {
        {"setLocoDirection(49175,1)", "L23", "L3"},
        {"setLocoFunction(49176,0,1)", "L24", "L23"},
        {"setLocoSpeed(49177,5,2)", "L25", "L24"},
        {"setTurnout(14336,1)", "A14336:1", "L25"},
        {"setLocoDirection(49155,1)", "L3", "A14336:1"},
    };
    std::size_t count = 0;
    for (const auto& step : steps) {
        model.Handle(step.line, kNow);
        const SimState& state = model.State();
        EXPECT_EQ(state.list.size(), 20u) << step.line;
        EXPECT_EQ(List(state), step.first + std::string(kFullList).substr(2)) << step.line;
        ASSERT_EQ(state.overwritten.size(), ++count) << step.line;
        SimState only;
        only.list = {state.overwritten.back().entry};
        EXPECT_EQ(List(only), step.overwritten) << step.line;
        EXPECT_EQ(model.TakeNotes().size(), 1u) << step.line;
    }
    // The station forgot every locomotive it overwrote.
    const SimState& state = model.State();
    for (const int dcc : {23, 24, 25})
        EXPECT_EQ(state.locos.count(StationModel::kLocoBase + dcc), 0u) << dcc;
    EXPECT_EQ(state.locos.size(), 20u);
    // An accessory overwritten before its packet went out never reaches the rails.
    EXPECT_EQ(state.overwrittenTurnouts, 1);
    EXPECT_EQ(state.overwrittenRunning, 0);
    EXPECT_EQ(state.speedsWithoutEntry, 1);
}

// A decoder whose entry is overwritten runs on what it last heard; a speed for it then meets
// the firmware's fault.
TEST(StationListTest, ARunningLocomotivePushedOutRunsOn) {
    StationModel model;
    model.Handle("setPower(1)", kNow);
    model.Handle("setLocoSpeed(49155,504,0)", kNow);  // 28 steps, step 14
    FillTheList(model, kNow);
    ASSERT_EQ(model.State().decoders.at(3).step, 14);

    model.Handle("setLocoDirection(49175,1)", kNow);
    const SimState& state = model.State();
    EXPECT_EQ(state.locos.count(49155), 0u);
    ASSERT_EQ(state.overwritten.size(), 1u);
    EXPECT_TRUE(state.overwritten[0].running);
    EXPECT_EQ(state.overwritten[0].by.address, 49175);
    EXPECT_EQ(state.overwrittenRunning, 1);
    const SimDecoder& decoder = state.decoders.at(3);
    EXPECT_TRUE(decoder.Running());
    EXPECT_EQ(decoder.rails, "03 78");
    const std::vector<std::string> notes = model.TakeNotes();
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0],
              "list full: loco 23 overwrites the entry of loco 3, which the station forgets; its "
              "decoder runs on (rails 03 78)");
    EXPECT_NE(StationModel::Describe(state).find("loco 3 runs on without an entry, rails 03 78"),
              std::string::npos);

    // The stop meant for it: the station makes an entry with an undefined packet.
    const StationReply stop = model.Handle("setLocoSpeed(49155,0,0)", kNow);
    EXPECT_EQ(stop.status, 200);
    EXPECT_EQ(state.speedsWithoutEntry, 1);
    EXPECT_FALSE(state.decoders.at(3).defined);
    EXPECT_TRUE(state.decoders.at(3).Running());
    EXPECT_EQ(state.decoders.at(3).rails, "undefined");
    EXPECT_EQ(state.rails, "undefined");
    // It took the first slot from locomotive 4, which stood.
    ASSERT_EQ(state.overwritten.size(), 2u);
    EXPECT_FALSE(state.overwritten[1].running);
    EXPECT_EQ(model.TakeNotes(),
              std::vector<std::string>{"list full: loco 3 overwrites the entry of loco 23, which "
                                       "the station forgets; its decoder stands"});
    // Only the next speed makes it a packet again.
    model.Handle("setLocoSpeed(49155,0,0)", kNow);
    EXPECT_TRUE(state.decoders.at(3).defined);
    EXPECT_FALSE(state.decoders.at(3).Running());
}

TEST(StationListTest, ARoundIsLinearInTheEntries) {
    using std::chrono::microseconds;
    EXPECT_EQ(StationModel::Round(1), microseconds(24000));
    EXPECT_EQ(StationModel::Round(20), microseconds(350000));
    const auto ten = StationModel::Round(10);
    EXPECT_GT(ten, microseconds(175000));
    EXPECT_LT(ten, microseconds(185000));
    EXPECT_LT(StationModel::Round(9), ten);
    EXPECT_GT(StationModel::Round(11), ten);
}

// An accessory's packet reaches the rails after one round, and its entry leaves after two; the
// list closes up behind it.
TEST(StationListTest, AnAccessoryEntryLastsTwoRounds) {
    using std::chrono::microseconds;
    const struct {
        int locos;            // new locomotives before the turnout, behind the boot entry
        std::size_t entries;  // in the list with the turnout
        const char* before;   // the list while the turnout is in it
        const char* after;    // once it left
    } cases[] = {
        {0, 2, "L3 A14340:1", "L3"},
        {1, 3, "L3 L4 A14340:1", "L3 L4"},
        {8, 10, "L3 L4 L5 L6 L7 L8 L9 L10 L11 A14340:1", "L3 L4 L5 L6 L7 L8 L9 L10 L11"},
        // A full list: the turnout takes the first slot; once gone, the list has 19 entries.
        {19, 20, "A14340:1 L4 L5 L6 L7 L8 L9 L10 L11 L12 L13 L14 L15 L16 L17 L18 L19 L20 L21 L22",
         "L4 L5 L6 L7 L8 L9 L10 L11 L12 L13 L14 L15 L16 L17 L18 L19 L20 L21 L22"},
    };
    for (const auto& c : cases) {
        StationModel model;
        model.Handle("setPower(1)", kNow);
        for (int dcc = 4; dcc < 4 + c.locos; ++dcc)
            model.Handle("setLocoDirection(" + Loco(dcc) + ",1)", kNow);
        const auto at = kNow + std::chrono::seconds(1);
        model.Handle("setTurnout(14340,1)", at);
        const auto round = StationModel::Round(c.entries);
        const SimState& state = model.State();
        EXPECT_EQ(List(state), c.before) << c.entries;
        EXPECT_EQ(model.NextDeadline(), at + round) << c.entries;

        model.Tick(at + round - microseconds(1));
        EXPECT_TRUE(state.accessoryDecoders.empty()) << c.entries;
        model.Tick(at + round);
        EXPECT_EQ(state.accessoryDecoders, (std::map<std::int32_t, int>{{4, 1}})) << c.entries;
        EXPECT_EQ(List(state),
                  std::string(c.before).replace(std::string(c.before).find(":1") + 2, 0, "*"))
            << c.entries;
        EXPECT_EQ(model.NextDeadline(), at + 2 * round) << c.entries;

        model.Tick(at + 2 * round - microseconds(1));
        EXPECT_EQ(state.list.size(), c.entries) << c.entries;
        model.Tick(at + 2 * round);
        EXPECT_EQ(List(state), c.after) << c.entries;
        EXPECT_EQ(model.NextDeadline(), StationModel::TimePoint::max()) << c.entries;
        EXPECT_EQ(state.overwrittenTurnouts, 0) << c.entries;
    }

    // A command that comes late catches up with the refresh first.
    StationModel model;
    model.Handle("setTurnout(14340,1)", kNow);
    model.Handle("setTurnout(14341,0)", kNow + std::chrono::seconds(1));
    EXPECT_EQ(List(model.State()), "L3 A14341:0");
}

// On a full list, a turnout's entry overwritten before the refresh reached it never reaches
// the rails; one overwritten after its packet went out did its work.
TEST(StationListTest, AnAccessoryOverwrittenBeforeItsPacketIsLost) {
    using namespace std::chrono_literals;
    const struct {
        std::chrono::milliseconds after;  // from the turnout to the next new entry
        int lost;
        bool heard;
    } cases[] = {{0ms, 1, false}, {349ms, 1, false}, {350ms, 0, true}, {690ms, 0, true}};
    for (const auto& c : cases) {
        StationModel model;
        model.Handle("setPower(1)", kNow);
        FillTheList(model, kNow);
        model.Handle("setTurnout(14340,1)", kNow);
        model.Handle("setLocoDirection(49175,1)", kNow + c.after);
        model.Tick(kNow + 5s);
        const SimState& state = model.State();
        EXPECT_EQ(state.overwrittenTurnouts, c.lost) << c.after.count();
        EXPECT_EQ(state.accessoryDecoders.count(4), c.heard ? 1u : 0u) << c.after.count();
        ASSERT_EQ(state.overwritten.size(), 2u) << c.after.count();  // locomotive 3, the turnout
        EXPECT_EQ(state.overwritten[1].entry.sent, c.heard) << c.after.count();
        EXPECT_EQ(List(state).substr(0, 7), "L23 L4 ") << c.after.count();
        // The station's own memory of the output keeps the command either way.
        EXPECT_EQ(state.accessories.at(4), 1) << c.after.count();
    }
}

// The decoders hear the list only while the track has power, and keep what they heard.
TEST(StationListTest, DecodersHearTheListWhileTheTrackIsOn) {
    using namespace std::chrono_literals;
    StationModel model;
    const SimState& state = model.State();
    model.Handle("setLocoDirection(49157,1)", kNow);
    model.Handle("setLocoSpeed(49157,504,2)", kNow);
    model.Handle("setTurnout(14336,1)", kNow);
    model.Tick(kNow + 1s);
    EXPECT_TRUE(state.decoders.empty());
    EXPECT_TRUE(state.accessoryDecoders.empty());

    model.Handle("setPower(1)", kNow + 1s);
    ASSERT_EQ(state.decoders.size(), 2u);  // locomotive 3's boot entry too
    EXPECT_EQ(state.decoders.at(3).rails, "03 60");
    EXPECT_FALSE(state.decoders.at(3).Running());
    const SimDecoder& five = state.decoders.at(5);
    EXPECT_EQ(five.mode, 2);
    EXPECT_EQ(five.step, 63);
    EXPECT_EQ(five.rails, "05 3F C0");
    EXPECT_TRUE(five.Running());

    model.Handle("setPower(0)", kNow + 2s);
    model.Handle("setLocoSpeed(49157,0,2)", kNow + 2s);
    model.Handle("setLocoFunction(49157,1,1)", kNow + 2s);
    EXPECT_EQ(state.decoders.at(5).step, 63);
    EXPECT_EQ(state.decoders.at(5).functions, 0u);
    // A CV operation switches the track off too.
    model.Handle("setPower(1)", kNow + 3s);
    EXPECT_EQ(state.decoders.at(5).step, 0);
    EXPECT_EQ(state.decoders.at(5).functions, 2u);
    model.Handle("getLocoConfig(49152,1)", kNow + 3s);
    model.Handle("setLocoSpeed(49157,1023,2)", kNow + 3s);
    EXPECT_EQ(state.decoders.at(5).step, 0);

    // A reset empties the list; the decoders keep what they heard, the faults stay counted.
    model.Handle("setPower(1)", kNow + 4s);
    model.Handle("setLocoSpeed(49158,5,2)", kNow + 4s);
    model.Reset();
    EXPECT_EQ(List(state), "L3");
    EXPECT_EQ(state.decoders.at(5).step, 126);
    EXPECT_FALSE(state.decoders.at(6).defined);
    EXPECT_EQ(state.speedsWithoutEntry, 1);
}

// The status line after what the station was told: each case's changes to the fresh line.
TEST(StationStatusTest, TheStatusLineFollowsTheState) {
    const struct {
        const char* what;
        std::vector<std::string> lines;
        std::int32_t supply;                                  // tenths of a volt
        std::vector<std::pair<std::size_t, std::string>> at;  // position, text
    } cases[] = {
        {"fresh", {}, 148, {}},
        {"track on", {"setPower(1)"}, 148, {{0, "Y"}, {2, "1"}}},
        {"track on and off", {"setPower(1)", "setPower(0)"}, 148, {{0, "N"}, {2, "1"}}},
        {"after a CV read the track is off, the line says on",
         {"setPower(1)", "getLocoConfig(49152,1)"},
         148,
         {{0, "Y"}, {2, "1"}}},
        {"after a CV write too",
         {"setPower(1)", "setLocoConfig(49152,3,5)"},
         148,
         {{0, "Y"}, {2, "1"}}},
        {"supply 9.5 V", {}, 95, {{8, "095"}}},
        {"supply 0 V", {}, 0, {{8, "000"}}},
        {"supply 99.9 V", {}, 999, {{8, "999"}}},
        {"supply beyond three digits", {}, 1234, {{8, "999"}}},
        {"output 1 thrown", {"setTurnout(14336,1)"}, 148, {{48, "01"}}},
        {"output 1 straight", {"setTurnout(14336,0)"}, 148, {}},
        {"thrown, then straight", {"setTurnout(14336,1)", "setTurnout(14336,0)"}, 148, {}},
        {"outputs 2 and 4 in one byte",
         {"setTurnout(14337,1)", "setTurnout(14339,1)"},
         148,
         {{48, "0A"}}},
        {"output 8", {"setTurnout(14343,1)"}, 148, {{48, "80"}}},
        {"output 9", {"setTurnout(14344,1)"}, 148, {{50, "01"}}},
        {"output 256, the last one shown", {"setTurnout(14591,1)"}, 148, {{110, "80"}}},
        {"output 257 is not shown", {"setTurnout(14592,1)"}, 148, {}},
    };
    for (const auto& c : cases) {
        StationModel model;
        model.SetSupply(c.supply);
        for (const std::string& line : c.lines)
            model.Handle(line, kNow);
        std::string expected = kFreshStatus;
        for (const auto& [position, text] : c.at)
            expected.replace(position, text.size(), text);
        const std::string line = StationModel::StatusLine(model.State());
        EXPECT_EQ(line, expected) << c.what;
        EXPECT_EQ(model.Handle("setPing()", kNow).lines.at(1), "@DSS," + expected) << c.what;
    }
}

// The main loop's check: the supply and the driver's alarm, whether the track is on or off;
// only with the track on does the station switch it off, silently.
TEST(StationStatusTest, TheCheckTripsTheTrack) {
    const struct {
        const char* what;
        std::int32_t supply;
        bool shortCircuit;
        bool on;  // track on before the check
        int error;
        bool power;  // after the check
        bool pending;
    } cases[] = {
        {"normal supply", 148, false, true, 1, true, false},
        {"9.0 V is enough", 90, false, true, 1, true, false},
        {"8.9 V is too low", 89, false, true, 2, false, false},
        {"20.0 V is not too high", 200, false, true, 1, true, false},
        {"20.1 V is too high", 201, false, true, 4, false, false},
        {"a short with the track on", 148, true, true, 8, false, false},
        {"a short with the track off waits", 148, true, false, 0, false, true},
        {"a low supply with the track off is reported", 80, false, false, 2, false, false},
        {"a short outranks a low supply", 80, true, true, 8, false, false},
    };
    for (const auto& c : cases) {
        StationModel model;
        model.SetSupply(c.supply);
        if (c.on) model.Handle("setPower(1)", kNow);
        if (c.shortCircuit) model.ShortCircuit();
        model.Check();
        const SimState& state = model.State();
        EXPECT_EQ(state.error, c.error) << c.what;
        EXPECT_EQ(state.power, c.power) << c.what;
        EXPECT_EQ(state.reportedPower, c.power) << c.what;
        EXPECT_EQ(state.shortPending, c.pending) << c.what;
        const bool tripped = c.on && !c.power;
        EXPECT_EQ(state.trips, tripped ? 1 : 0) << c.what;
        EXPECT_EQ(model.TakeNotes().size(), tripped ? 1u : 0u) << c.what;
    }

    // Only setPower(1) brings the track back (error 1); a cause still there trips it again.
    StationModel model;
    model.SetSupply(85);
    model.Handle("setPower(1)", kNow);
    model.Check();
    ASSERT_FALSE(model.State().power);
    EXPECT_EQ(model.TakeNotes(),
              std::vector<std::string>{"the station switched the track off by itself: track "
                                       "supply too low (error 2, supply 8.5 V)"});
    model.SetSupply(148);
    model.Check();
    EXPECT_EQ(model.State().error, 2);  // the digit stays until the track is switched on
    EXPECT_EQ(StationModel::Describe(model.State()).substr(0, 48),
              "track power OFF (error 2: track supply too low);");
    model.SetSupply(85);
    model.Handle("setPower(1)", kNow);
    EXPECT_EQ(model.State().error, 1);
    EXPECT_TRUE(model.State().power);
    model.Check();
    EXPECT_FALSE(model.State().power);
    EXPECT_EQ(model.State().trips, 2);

    // A short waits while the track is off, and trips it once it is on.
    StationModel waiting;
    waiting.ShortCircuit();
    waiting.Check();
    waiting.Handle("setPower(1)", kNow);
    waiting.Check();
    EXPECT_FALSE(waiting.State().power);
    EXPECT_EQ(waiting.State().error, 8);
    waiting.Handle("setPower(1)", kNow);
    waiting.Check();
    EXPECT_TRUE(waiting.State().power);  // it was one short
}

TEST(StationStatusTest, TheCounterMovesFromTheSecondCheck) {
    const struct {
        int checks;
        int counter;
    } cases[] = {{0, 0}, {1, 0}, {2, 1}, {100, 99}, {101, 0}, {102, 1}};
    for (const auto& c : cases) {
        StationModel model;
        for (int i = 0; i < c.checks; ++i)
            model.Check();
        EXPECT_EQ(model.State().counter, c.counter) << c.checks;
        EXPECT_EQ(StationModel::StatusLine(model.State()).substr(17, 2),
                  std::string(1, static_cast<char>('0' + c.counter / 10)) +
                      static_cast<char>('0' + c.counter % 10))
            << c.checks;
    }
    // A reset starts it again; the supply, a short waiting and the trips stay with the layout.
    StationModel model;
    model.SetSupply(120);
    model.ShortCircuit();
    model.Check();
    model.Check();
    model.Reset();
    EXPECT_EQ(model.State().counter, 0);
    EXPECT_EQ(model.State().error, 0);
    EXPECT_EQ(model.State().supply, 120);
    EXPECT_TRUE(model.State().shortPending);
}

}  // namespace
