// The drive sound in words: the levels of each drive function with their sounds, the single
// sounds (START, STOP, drive-off, TURBO, ...) with when they play, and the warnings for gaps.
#include "check_private.h"

namespace check_report_parts {

check_json drive_section(builder &b) {
    const slot_rom_t &s = b.snap.slot_rom;
    check_json list = check_json::array();
    const uint32_t start_delay = (uint32_t)b.snap.cv[63] * 100;
    for (int d = 0; d < s.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++) {
        const drive_function_rom_t &D = s.drive_functions[d];
        const check_drive_units &u = b.snap.units[d];
        const bool load = D.variant == DRIVE_VARIANT_LOAD;
        const std::string F = "F" + std::to_string(D.fid);
        check_json j = {{"key", D.fid}, {"follows", load ? "load" : "speed"}};
        std::vector<std::string> lines;
        check_json levels = check_json::array();
        for (int k = 0; k < D.items_len && k < MAX_SPEED_ITEMS; k++) {
            const function_rom_t &it = D.items[k].item;
            check_json l = {{"label", b.level_label(d, k)},
                            {"from_pct", pct(u, D.items[k].min)},
                            {"to_pct", pct(u, (uint16_t)D.items[k].max)}};
            std::vector<std::string> parts;
            for (int p = 1; p < 4; p++) {
                const int id = it.ids[p];
                if (id >= 0) {
                    l[lower(slot_role_name(slot_role_kind::place, p))] = b.track_ref(id);
                    parts.push_back(std::string(slot_role_name(slot_role_kind::place, p)) + " " +
                                    b.name_of(id));
                } else if (p == FUNCTION_LOOP && id < -1) {
                    const int c = -2 - id;
                    check_json partsj = check_json::array();
                    std::vector<std::string> names;
                    if (c < s.complex_loops_len && c < MAX_COMPLEX_LOOPS) {
                        for (int n = 0; n < MAX_COMPLEX_LOOP_PARTS; n++) {
                            if (s.complex_loops[c].ids[n] < 0) continue;
                            partsj.push_back(b.track_ref(s.complex_loops[c].ids[n]));
                            names.push_back(b.name_of(s.complex_loops[c].ids[n]));
                        }
                    }
                    l["complex_loop"] = partsj;
                    parts.push_back("complex LOOP of " + std::to_string(names.size()) + " parts (" +
                                    join(names, ", ") + ")");
                }
            }
            if (it.ids[FUNCTION_LOOP] == -1)
                b.findings.warn("no-loop-level",
                                it.ids[FUNCTION_ON] >= 0    ? b.name_of(it.ids[FUNCTION_ON])
                                : it.ids[FUNCTION_OFF] >= 0 ? b.name_of(it.ids[FUNCTION_OFF])
                                                            : F,
                                F + " level " + b.level_label(d, k) + " has no LOOP: while the " +
                                    (load ? "load" : "speed") +
                                    " stays in that band the engine sound is silent");
            const bool idle = D.items[k].min == 0;
            lines.push_back((idle ? std::string(load ? "no load " : "standing ") : std::string("level ")) +
                            b.level_label(d, k) + ": " + (parts.empty() ? "nothing" : join(parts, ", ")));
            levels.push_back(l);
        }
        j["levels"] = levels;
        if (D.items_len > 0 && D.drv_off_id < 0)
            b.findings.warn(
                "no-drive-off", F,
                F + " has no drive-off sound: its first running level has no OFF file (the decoder "
                    "logs \"Could not configure DRV OFF file\")");
        // When a falling speed (or load) reaches the value; past the top it is the first fall.
        auto speed_words = [&](uint32_t value) {
            const uint32_t p = pct(u, value);
            if (p > 100) return std::string(load ? "as soon as the load falls" : "as soon as braking begins");
            return std::string(load ? "when the load falls to " : "when braking reaches ") +
                   std::to_string(p) + " %";
        };
        if (D.start_id >= 0) {
            const int32_t at = (int32_t)b.snap.tracks[D.start_id].delay_ms + (int32_t)start_delay;
            check_json st = b.track_ref(D.start_id);
            st["delay_ms"] = b.snap.tracks[D.start_id].delay_ms;
            st["start_delay_ms"] = start_delay;
            st["plays_after_ms"] = at;
            j["start"] = st;
            const std::string against = "its delay " + std::to_string(b.snap.tracks[D.start_id].delay_ms) +
                                        " ms against the start delay of " + std::to_string(start_delay) +
                                        " ms, CV 63 = " + std::to_string(b.snap.cv[63]);
            lines.push_back("START " + b.name_of(D.start_id) +
                            (at < 0 ? ": never plays (" + against + ")"
                                    : ": plays " + std::to_string(at) +
                                          " ms after a start from standstill (" + against + ")"));
            if (at < 0)
                b.findings.warn("start-never", b.name_of(D.start_id),
                                "its delay reaches before the start delay of " + std::to_string(start_delay) +
                                    " ms (CV 63): the START sound never plays");
        }
        if (D.stop_id >= 0) {
            check_json st = b.track_ref(D.stop_id);
            st["from_pct"] = pct(u, D.stop_speed);
            j["stop"] = st;
            lines.push_back("STOP " + b.name_of(D.stop_id) + ": starts " + speed_words(D.stop_speed) +
                            ", timed to end at standstill");
        }
        if (D.drv_off_id >= 0) {
            check_json st = b.track_ref(D.drv_off_id);
            st["from_pct"] = pct(u, D.drv_off_speed);
            j["drive_off"] = st;
            lines.push_back("drive-off " + b.name_of(D.drv_off_id) + ": " + speed_words(D.drv_off_speed));
        }
        if (D.turbo_id >= 0) {
            check_json st = b.track_ref(D.turbo_id);
            st["from_pct"] = pct(u, D.turbo_min_speed);
            j["turbo"] = st;
            lines.push_back("TURBO " + b.name_of(D.turbo_id) + ": while accelerating above " +
                            std::to_string(pct(u, D.turbo_min_speed)) + " %");
        }
        if (D.accel_id >= 0 || D.decel_id >= 0) {
            if (D.accel_id >= 0) j["accel"] = b.track_ref(D.accel_id);
            if (D.decel_id >= 0) j["decel"] = b.track_ref(D.decel_id);
            lines.push_back("whole-range transitions: " +
                            std::string(D.accel_id >= 0 ? "ACCEL " + b.name_of(D.accel_id) : "no ACCEL") +
                            ", " + (D.decel_id >= 0 ? "DECEL " + b.name_of(D.decel_id) : "no DECEL") +
                            " (the levels' ON and OFF sounds are not used)");
        }
        auto bands = [&](const accel_item_t *items, int n, const char *key, const char *word) {
            check_json a = check_json::array();
            std::vector<std::string> t;
            for (int k = 0; k < n && k < MAX_ACCEL_ITEMS; k++) {
                const uint32_t lo = pct(u, items[k].min);
                const uint32_t hi = k + 1 < n ? pct(u, items[k + 1].min) : 100;
                check_json e = b.track_ref(items[k].id);
                e["from_pct"] = lo;
                e["to_pct"] = hi;
                a.push_back(e);
                t.push_back(std::to_string(lo) + "-" + std::to_string(hi) + " % " + b.name_of(items[k].id));
            }
            if (!a.empty()) {
                j[key] = a;
                lines.push_back(std::string(word) + " by speed band: " + join(t, ", "));
            }
        };
        bands(D.acc_items, D.acc_items_len, "accel_bands", "ACCEL");
        bands(D.dcl_items, D.dcl_items_len, "decel_bands", "DECEL");
        auto variants = [&](const int8_t *ids, const char *key, const char *word, const char *when) {
            check_json a = check_json::array();
            std::vector<std::string> t;
            for (int v = 0; v < MAX_ACCELON_VARIANTS && ids[v] != -1; v++) {
                a.push_back(b.track_ref(ids[v]));
                t.push_back(b.name_of(ids[v]));
            }
            if (a.empty()) return;
            j[key] = a;
            lines.push_back(std::string(word) + ": " + (a.size() > 1 ? "one of " : "") + join(t, ", ") + " " +
                            when + (a.size() > 1 ? ", picked at random" : ""));
        };
        variants(D.accelon_ids, "accelon", "ACCELON", "when acceleration begins");
        variants(D.decelon_ids, "decelon", "DECELON", "when braking begins");
        auto single = [&](int id, const char *key, const std::string &words) {
            if (id < 0) return;
            j[key] = b.track_ref(id);
            lines.push_back(words + " " + b.name_of(id));
        };
        single(D.loopd_id, "loopd", "LOOPD (while slowing down):");
        single(D.dir_id, "dir", "DIR (on a change of direction):");
        single(D.estop_id, "estop", "ESTOP (emergency stop):");
        j["lines"] = lines;
        list.push_back(j);
    }
    return list;
}

}  // namespace check_report_parts
