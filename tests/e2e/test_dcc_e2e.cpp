// The decoder control end to end: the real emulator in an empty folder, driven by console lines.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "emulator_process.h"

namespace {

using std::chrono::seconds;

// The "last=" value of a "Saving current speed X last=Y" line.
int last_of(const std::string &line) {
    const auto pos = line.find("last=");
    return pos == std::string::npos ? -1 : atoi(line.c_str() + pos + 5);
}

// The emulator in an empty folder.
class DccE2e : public ::testing::Test {
protected:
    TempFolder dir;
    EmulatorProcess emu{dir.path()};
};

TEST_F(DccE2e, StartUpWritesTheDefaultCvs) {
    EXPECT_GE(emu.wait_for("Reset all CV[1]", seconds(10)), 0) << emu.dump();
    emu.stop();
}

TEST_F(DccE2e, ConsoleSpeedFunctionAndCvLines) {
    ASSERT_GE(emu.wait_for("New speed 1", seconds(10)), 0) << emu.dump();
    emu.send("s100");
    EXPECT_GE(emu.wait_for("New speed 7f", seconds(10)), 0) << emu.dump();

    emu.send("f1");
    emu.send("f1");
    EXPECT_GE(emu.wait_for("Function 1 Changed to 0", seconds(10)), 0) << emu.dump();
    EXPECT_EQ(emu.count("Function 1 Changed to 1"), 0) << "leaving the reset state is not logged";

    emu.send("cv3=20");
    EXPECT_GE(emu.wait_for("CV3=20", seconds(10)), 0) << emu.dump();
    emu.send("cv512=1");  // beyond the CV page: ignored
    emu.send("cv4=7");
    EXPECT_GE(emu.wait_for("CV4=7", seconds(10)), 0) << emu.dump();
    EXPECT_EQ(emu.count("CV512"), 0);
    emu.stop();
}

TEST_F(DccE2e, EstopWhileMovingStopsAtOnce) {
    ASSERT_GE(emu.wait_for("New speed 1", seconds(10)), 0) << emu.dump();
    emu.send("s100");
    // The speed is stored at every change of 51 steps: wait until it has passed 102.
    int saved = emu.wait_for("Saving current speed", seconds(30));
    ASSERT_GE(saved, 0) << emu.dump();
    saved = emu.wait_for("Saving current speed", seconds(30), saved + 1);
    ASSERT_GE(saved, 0) << emu.dump();

    emu.send("xestopx");
    const int estop = emu.wait_for("New speed 0", seconds(10), saved + 1);
    ASSERT_GE(estop, 0) << emu.dump();
    // A ramped stop would store intermediate speeds; an emergency stop goes from full motion
    // straight to a stored 0.
    const int next = emu.wait_for("Saving current speed", seconds(10), estop + 1);
    ASSERT_GE(next, 0) << emu.dump();
    const std::string line = emu.lines()[next].text;
    EXPECT_NE(line.find("Saving current speed 0 last="), std::string::npos) << emu.dump();
    EXPECT_GE(last_of(line), 102) << emu.dump();
    emu.stop();
}

}  // namespace
