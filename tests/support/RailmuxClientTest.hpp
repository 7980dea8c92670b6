#pragma once

#include "tests/support/RailmuxOnSim.hpp"
#include "tests/support/TcpClient.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// A test with Railmux as a process on a simulated station of its own and one client connected.
class RailmuxClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(railmux_.Start(error)) << error;
        client_ = std::make_unique<TcpClient>(railmux_.Port());
        ASSERT_TRUE(client_->Connected());
    }

    // Every test's traffic keeps the pause the station asks for after each answer, and never
    // sends a speed for a locomotive the station has no entry for (a firmware fault).
    void TearDown() override {
        EXPECT_EQ(railmux_.Sim().PacingViolations(), 0);
        EXPECT_EQ(railmux_.Sim().SpeedsWithoutEntry(), 0);
    }

    DSAir2Simulator& Sim() { return railmux_.Sim(); }

    RailmuxOnSim railmux_;
    std::unique_ptr<TcpClient> client_;
};
