#include "serial/DevicePath.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace {

// A throw-away directory tree standing in for "/": dev/ with a few devices, an ambiguous pair,
// and a by-id style symbolic link.
class DeviceTree : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/device_path_testXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        MakeDir("/dev");
        MakeDir("/dev/serial");
        MakeDir("/dev/serial/by-id");
        for (const char* name : {"ttyUSB0", "ttyACM0", "ttyS0", "ttyAB", "TTYAB", "COM0"}) {
            MakeFile(std::string("/dev/") + name);
        }
        ASSERT_EQ(::symlink("../../ttyUSB0",
                            (root + "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0").c_str()),
                  0);
    }

    void TearDown() override {
        std::error_code ignored;
        if (!root.empty()) std::filesystem::remove_all(root, ignored);
    }

    void MakeDir(const std::string& path) { ASSERT_EQ(::mkdir((root + path).c_str(), 0700), 0); }
    void MakeFile(const std::string& path) {
        int fd = ::open((root + path).c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }

    std::string root;
};

struct PathCase {
    const char* name;
    const char* expected;  // below the root
};

TEST_F(DeviceTree, ResolvesNamesAsTheUserTypedThem) {
    const PathCase cases[] = {
        // Paths: exactly as typed, whatever exists beside them in another case.
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0",
         "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0"},
        {"/dev/ttyAB", "/dev/ttyAB"},
        {"/dev/TTYAB", "/dev/TTYAB"},
        {"/DEV/TTYUSB0", "/DEV/TTYUSB0"},
        {"/dev/ttyab", "/dev/ttyab"},
        {"/dev/TTYUSB9", "/dev/TTYUSB9"},
        // COMn is the n-th on-board port, whether or not it exists, in any case.
        {"COM1", "/dev/ttyS0"},
        {"COM3", "/dev/ttyS2"},
        {"COM10", "/dev/ttyS9"},
        {"com2", "/dev/ttyS1"},
        // Any other bare name is looked up in /dev: as written when it exists, else ignoring case
        // where that finds one entry only.
        {"COM0", "/dev/COM0"},
        {"COMX", "/dev/COMX"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"ttyusb0", "/dev/ttyUSB0"},
        {"TTYACM0", "/dev/ttyACM0"},
        {"TTYUSB7", "/dev/TTYUSB7"},
        {"ttyAB", "/dev/ttyAB"},
        {"TTYAB", "/dev/TTYAB"},
        {"ttyab", "/dev/ttyab"},
        {"SERIAL/BY-ID/USB-FTDI_FT232R_A1-IF00-PORT0",
         "/dev/serial/by-id/usb-FTDI_FT232R_A1-if00-port0"},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(DevicePathUnder(root, c.name), root + c.expected) << c.name;
    }
}

TEST_F(DeviceTree, RootWithTrailingSlashGivesTheSamePaths) {
    EXPECT_EQ(DevicePathUnder(root + "/", "/dev/ttyUSB0"), root + "/dev/ttyUSB0");
    EXPECT_EQ(DevicePathUnder(root + "/", "COM1"), root + "/dev/ttyS0");
}

TEST(DevicePath, UsesTheRealRoot) {
    EXPECT_EQ(DevicePath("/dev/null"), "/dev/null");
    EXPECT_EQ(DevicePath("/DEV/NULL"), "/DEV/NULL");
    EXPECT_EQ(DevicePath("NULL"), "/dev/null");
    EXPECT_EQ(DevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(DevicePath(""), "");
}

}  // namespace
