// Fuzz target: what a WiThrottle client sends (Engine Driver, WiThrottle apps), taken by a
// session of the real command station, whose commands reach the real decoder; the clock moves
// past the heartbeat's limit on the way. Every reply must be one line of the protocol's.
#include "fuzz_net.h"
#include "withrottle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    station &st = fuzz_station();
    withrottle_session session(st, 0);
    fuzz_feed(session, st, data, size, 0);
    session.tick(60000);
    session.tell_changes(st.take_changes(), false);
    for (size_t at = 0; at < session.out.size();) {
        const size_t end = session.out.find('\n', at);
        FUZZ_CHECK(end != std::string::npos && end > at);
        FUZZ_CHECK(session.out.find('\r', at) > end);
        at = end + 1;
    }
    for (int i = 0; i < 20; i++)
        tick();
    st.set_power(true);
    return 0;
}
