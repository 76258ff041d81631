// The command station behind the network servers, over the decoder's DCC layer (started
// without its sound engine): the rounding of steps to the console's percent, and the WiThrottle
// heartbeat, with the clock given by the test.
#include <gtest/gtest.h>

#include "emulator.h"
#include "withrottle.h"

namespace {

station &started() {
    static bool once = (emulator_init_decoder(), true);
    (void)once;
    static station st;
    return st;
}

TEST(NetStation, EveryStepGoesOutAsTheNearestPercentAndReadsBackAsSent) {
    station &st = started();
    for (int step = 1; step <= NET_STEPS; step++) {
        const int p = net_step_to_percent(step);
        EXPECT_GE(p, 1);
        EXPECT_LE(std::abs(p * NET_STEPS - step * 100), NET_STEPS / 2) << step;  // the nearest
        st.set_speed(st.decoder_address(), step, step % 2 == 0);
        EXPECT_EQ(st.state(st.decoder_address()).step, step);
    }
    EXPECT_EQ(net_step_to_percent(NET_STEPS), 100);
    // A speed set elsewhere (the console's 50 %, reverse) reads back as the nearest step.
    decoder_set_speed(51);
    EXPECT_EQ(st.state(st.decoder_address()).step, 63);
    EXPECT_FALSE(st.state(st.decoder_address()).forward);
}

TEST(NetStation, AClientSilentForTwiceTheHeartbeatHasItsLocosStopped) {
    station &st = started();
    withrottle_session ed(st, 0);
    const std::string acquire = "NEngine Driver\nM0+S3<;>S3\n*+\nM0A*<;>V40\n";
    ed.feed(acquire.data(), acquire.size(), 0);
    st.take_changes();
    EXPECT_EQ(st.state(3).step, 40);
    ed.tick(2000 * WITHROTTLE_HEARTBEAT_S);
    EXPECT_EQ(st.state(3).step, 40) << "stopped before its time";
    ed.out.clear();
    ed.tick(2000 * WITHROTTLE_HEARTBEAT_S + 1);
    ed.tell_changes(st.take_changes(), false);
    EXPECT_EQ(decoder_speed(), 0u);
    EXPECT_NE(ed.out.find("M0AS3<;>V-1\n"), std::string::npos) << ed.out;
    // Once heard from again, it is watched afresh; "*-" ends the watch.
    const std::string again = "M0A*<;>V10\n*-\n";
    ed.feed(again.data(), again.size(), 30000);
    ed.tick(1000000);
    EXPECT_EQ(st.state(3).step, 10);
}

}  // namespace
