// Helpers shared by the fuzz targets of the network protocols: one session of the real command
// station, over the decoder started without its sound engine, fed the input in reads of the
// sizes the input's first byte picks, with the command budget refilled as the server does.
#pragma once

#include <cstdint>
#include <string>

#include "emulator.h"
#include "fuzz_file_io.h"
#include "station.h"

inline station &fuzz_station() {
    fuzz_quiet_log();
    static bool started = (emulator_init_decoder(), true);
    (void)started;
    static station st;
    return st;
}

// Feeds `data` (after its first byte, which picks the size of the reads) to `session` the way
// the server does, telling it what changed after each read.
template <class Session>
void fuzz_feed(Session &session, station &st, const uint8_t *data, size_t size, int64_t now_ms) {
    if (size == 0) return;
    const size_t read = data[0] % 32 + 1;
    std::string pending;
    for (size_t at = 1; at < size || !pending.empty();) {
        if (pending.empty()) {
            const size_t n = size - at < read ? size - at : read;
            pending.assign((const char *)data + at, n);
            at += n;
        }
        if (!session.budget_left()) session.refill();
        st.refresh();
        pending.erase(0, session.feed(pending.data(), pending.size(), now_ms));
        session.tell_changes(st.take_changes(), true);
        if (st.take_power_change()) session.tell_power(true);
        if (st.take_roster_change()) session.tell_roster();
        if (session.close) break;
        now_ms += 7;
    }
}
