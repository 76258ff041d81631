// Fuzz target: what a DCC-EX client sends (JMRI, Engine Driver), taken by a session of the
// real command station, whose commands reach the real decoder. Every reply must be a whole
// frame of the protocol's size.
#include <cstring>

#include "dccex.h"
#include "fuzz_net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    station &st = fuzz_station();
    dccex_session session(st);
    fuzz_feed(session, st, data, size, 0);
    for (size_t at = 0; at < session.out.size();) {
        const size_t end = session.out.find('\n', at);
        FUZZ_CHECK(end != std::string::npos);
        FUZZ_CHECK(session.out[at] == '<' && session.out[end - 1] == '>');
        FUZZ_CHECK(end - at <= 256);
        at = end + 1;
    }
    for (int i = 0; i < 20; i++)
        tick();
    st.set_power(true);
    return 0;
}
