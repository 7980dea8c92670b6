#include "app/OpenFailureReason.hpp"

#include "serial/NSerialPort.hpp"
#include "tests/support/OpenRawPtyPair.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

struct PermissionCase {
    const char* name;
    DeviceAccess access;
    const char* expected;
};

DeviceAccess Device(const char* owner, const char* group, unsigned groupId, unsigned mode,
                    bool userInGroup, bool sessionInGroup) {
    DeviceAccess access;
    access.path = "/dev/ttyUSB0";
    access.owner = owner;
    access.group = group;
    access.groupId = groupId;
    access.mode = mode;
    access.user = "alice";
    access.userInGroup = userInGroup;
    access.sessionInGroup = sessionInGroup;
    return access;
}

const char kDenied[] = "  Could not open /dev/ttyUSB0: Permission denied. ";
const char kUdev[] =
    "which gives no group of users access: install the udev rule that hands the station to the "
    "group 'dialout' (README, \"Permissions\"), then join that group.\n";

TEST(PermissionReason, NamesAGroupOnlyWhenThatGroupMayUseTheDevice) {
    const PermissionCase cases[] = {
        {"dialout, not joined", Device("root", "dialout", 20, 0660, false, false),
         "Join the group 'dialout' (sudo usermod -aG dialout alice) and log in again.\n"},
        {"uucp, as some distributions have it", Device("root", "uucp", 14, 0660, false, false),
         "Join the group 'uucp' (sudo usermod -aG uucp alice) and log in again.\n"},
        {"joined since this login", Device("root", "dialout", 20, 0660, true, false),
         "alice is in the group 'dialout', but this login session is not yet: log in again (or "
         "start a shell with newgrp dialout).\n"},
        {"in the group and still refused", Device("root", "dialout", 20, 0660, true, true),
         "It belongs to root:dialout with mode 0660, and this session is in the group "
         "'dialout'.\n"},
        {"root only", Device("root", "root", 0, 0600, false, false),
         "It belongs to root:root with mode 0600, "},
        {"root's group is not one to join", Device("root", "root", 0, 0660, false, false),
         "It belongs to root:root with mode 0660, "},
        {"group may only read", Device("root", "dialout", 20, 0640, false, false),
         "It belongs to root:dialout with mode 0640, "},
    };
    for (const PermissionCase& c : cases) {
        std::string expected = std::string(kDenied) + c.expected;
        if (expected.back() != '\n') expected += kUdev;
        EXPECT_EQ(PermissionReason(c.access), expected) << c.name;
    }
}

struct ReasonCase {
    const char* name;
    std::string tried;
    std::string expectedStart;
};

TEST(OpenFailureReason, SaysWhatThePathTriedIs) {
    char file[] = "/tmp/railmux_reason_testXXXXXX";
    const int fd = ::mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const ReasonCase cases[] = {
        // The path as the user typed it, or as a bare name was looked up in /dev.
        {"missing", "/dev/no-such-railmux-device",
         "  Could not open /dev/no-such-railmux-device: No such file or directory. "},
        {"missing bare name", "/dev/ttyRailmux9",
         "  Could not open /dev/ttyRailmux9: No such file or directory. "},
        {"opens, but no terminal", "/dev/null",
         "  /dev/null opened, but it is not a serial device. "},
        {"a plain file", file,
         std::string("  ") + file + " opened, but it is not a serial device. "},
        {"a directory", "/tmp", "  /tmp opened, but it is not a serial device. "},
    };
    for (const ReasonCase& c : cases) {
        const std::string reason =
            OpenFailureReason(NDSDCC::OpenFailure::DeviceNotOpened, c.tried, "");
        EXPECT_EQ(reason.rfind(c.expectedStart, 0), 0u) << c.name << ": " << reason;
        EXPECT_EQ(reason.back(), '\n') << c.name;
    }
    ::unlink(file);
}

TEST(OpenFailureReason, DeviceInUseNamesTheProcessThatHoldsIt) {
    int master = -1, device = -1;
    std::string name;
    ASSERT_TRUE(OpenRawPtyPair(master, device, name));
    {
        NSerialPort holder;
        ASSERT_TRUE(holder.Open(name));
        const std::string reason =
            OpenFailureReason(NDSDCC::OpenFailure::DeviceNotOpened, name, "");
        EXPECT_EQ(reason.rfind("  " + name + " is in use by ", 0), 0u) << reason;
        EXPECT_NE(reason.find(" (pid " + std::to_string(::getpid()) + ")"), std::string::npos)
            << reason;
    }
    // Given up with the port: the same probe no longer finds it busy.
    const std::string reason = OpenFailureReason(NDSDCC::OpenFailure::DeviceNotOpened, name, "");
    EXPECT_EQ(reason.find("in use"), std::string::npos) << reason;
    ::close(master);
    ::close(device);
}

}  // namespace
