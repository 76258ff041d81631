#include "slot_roles.h"

#include <climits>

std::vector<slot_role> slot_roles(const slot_rom_t &s, const track_rom_t *tracks) {
    std::vector<slot_role> roles;
    auto add = [&](int id, int key, slot_role_kind kind, int owner = 0, int index = 0, int place = 0) {
        if (id < 0 || id >= MAX_TRACKS) return;
        slot_role r{id, key, kind};
        r.owner = owner;
        r.index = index;
        r.place = place;
        r.once =
            kind == slot_role_kind::place && place == FUNCTION_ON && tracks[id].type == PLAY_TYPE_ONESHOT;
        roles.push_back(r);
    };
    for (int f = 0; f < MAX_FUNCTIONS; f++)
        for (int p = 1; p < 4; p++)
            add(s.functions[f].ids[p], f, slot_role_kind::place, 0, 0, p);
    for (int m = 0; m < s.multi_functions_len && m < MAX_MULTI_FUNCTIONS; m++) {
        const multi_function_t &M = s.multi_functions[m];
        for (int v = 0; v < MAX_MULTI_VARIANTS; v++)
            for (int p = 1; p < 4; p++)
                add(M.variants[v].ids[p], M.func_id, slot_role_kind::variant, m, v, p);
    }
    for (int d = 0; d < s.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++) {
        const drive_function_rom_t &D = s.drive_functions[d];
        const int F = D.fid;
        for (int k = 0; k < D.items_len && k < MAX_SPEED_ITEMS; k++)
            for (int p = 1; p < 4; p++)
                add(D.items[k].item.ids[p], F, slot_role_kind::level, d, k, p);
        add(D.start_id, F, slot_role_kind::start, d);
        add(D.stop_id, F, slot_role_kind::stop, d);
        add(D.estop_id, F, slot_role_kind::estop, d);
        add(D.dir_id, F, slot_role_kind::dir, d);
        add(D.accel_id, F, slot_role_kind::accel, d);
        add(D.decel_id, F, slot_role_kind::decel, d);
        add(D.drv_off_id, F, slot_role_kind::drive_off, d);
        add(D.turbo_id, F, slot_role_kind::turbo, d);
        add(D.loopd_id, F, slot_role_kind::loopd, d);
        for (int v = 0; v < MAX_ACCELON_VARIANTS; v++) {
            add(D.accelon_ids[v], F, slot_role_kind::accelon, d, v);
            add(D.decelon_ids[v], F, slot_role_kind::decelon, d, v);
        }
        for (int k = 0; k < D.acc_items_len && k < MAX_ACCEL_ITEMS; k++)
            add(D.acc_items[k].id, F, slot_role_kind::accel_band, d, k);
        for (int k = 0; k < D.dcl_items_len && k < MAX_ACCEL_ITEMS; k++)
            add(D.dcl_items[k].id, F, slot_role_kind::decel_band, d, k);
    }
    for (int c = 0; c < s.complex_loops_len && c < MAX_COMPLEX_LOOPS; c++) {
        const complex_loop_t &C = s.complex_loops[c];
        for (int n = 0; n < MAX_COMPLEX_LOOP_PARTS; n++) {
            add(C.ids[n], C.fid, slot_role_kind::loop_part, c, n);
            add(C.ids_dcl[n], C.fid, slot_role_kind::loopd_part, c, n);
        }
    }
    for (int i = 0; i < s.info_functions_len && i < MAX_INFO_FUNCTIONS; i++) {
        const info_function_t &I = s.info_functions[i];
        for (int k = 0; k < MAX_INFO_ENTRIES; k++)
            add(I.ids[k], I.fid, k % 2 ? slot_role_kind::info : slot_role_kind::info_next, i, k);
    }
    return roles;
}

slot_role_group slot_role_group_of(slot_role_kind kind) {
    switch (kind) {
        case slot_role_kind::place:
            return slot_role_group::key;
        case slot_role_kind::variant:
            return slot_role_group::variants;
        case slot_role_kind::loop_part:
        case slot_role_kind::loopd_part:
            return slot_role_group::complex_loop;
        case slot_role_kind::info_next:
        case slot_role_kind::info:
            return slot_role_group::announcements;
        default:
            return slot_role_group::drive;
    }
}

const char *slot_role_name(slot_role_kind kind, int place) {
    static const char *const places[] = {"", "ON", "LOOP", "OFF"};
    // In the order of slot_role_kind; the first three are places.
    static const char *const names[] = {"",      "",      "",       "START", "STOP",     "ESTOP",   "DIR",
                                        "ACCEL", "DECEL", "DRVOFF", "TURBO", "LOOPD",    "ACCELON", "DECELON",
                                        "ACCEL", "DECEL", "LOOP",   "LOOPD", "INFONEXT", "INFO"};
    static_assert(sizeof names / sizeof names[0] == (size_t)slot_role_kind::info + 1,
                  "a name for every kind");
    if (kind == slot_role_kind::place || kind == slot_role_kind::variant || kind == slot_role_kind::level)
        return place >= 0 && place < 4 ? places[place] : "";
    return names[(size_t)kind];
}

std::string slot_role_letter(int index) {
    return std::string(1, (char)('A' + index));
}

namespace {

const char *type_name(play_type_t t) {
    static const char *const names[] = {"once",    "ON",      "OFF",   "LOOP",     "LOOPD", "ACCEL",
                                        "ACCELON", "DECELON", "DECEL", "START",    "STOP",  "ESTOP",
                                        "REPEAT",  "REPEATD", "INFO",  "INFONEXT", "DIR",   "TURBO"};
    return t >= 0 && t <= PLAY_TYPE_TURBO ? names[t] : "";
}

// A track is named by one role, the first in this order: a drive function's, a loop of
// parts', a variant's, an announcement's, a key's own place.
int precedence(slot_role_group g) {
    // In the order of slot_role_group: key, variants, drive, complex_loop, announcements.
    static const int order[] = {4, 2, 0, 1, 3};
    return order[(size_t)g];
}

}  // namespace

std::string slot_role_text(const slot_role &r) {
    const std::string name = slot_role_name(r.kind, r.place);
    switch (r.kind) {
        case slot_role_kind::place:
            return r.once ? "once" : name;
        case slot_role_kind::variant:
            return name + " " + slot_role_letter(r.index);
        case slot_role_kind::level:
            return "level " + std::to_string(r.index + 1) + " " + name;
        case slot_role_kind::drive_off:
            return "drive-off";
        case slot_role_kind::accelon:
        case slot_role_kind::decelon:
            return name + " " + slot_role_letter(r.index);
        case slot_role_kind::accel_band:
        case slot_role_kind::decel_band:
            return name + " band " + std::to_string(r.index + 1);
        case slot_role_kind::loop_part:
        case slot_role_kind::loopd_part:
            return name + " part " + std::to_string(r.index + 1);
        case slot_role_kind::info_next:
        case slot_role_kind::info:
            return name + " " + std::to_string(r.index / 2 + 1);
        default:
            return name;
    }
}

void slot_track_roles(const slot_rom_t &s, const track_rom_t *tracks, std::string roles[MAX_TRACKS]) {
    int best[MAX_TRACKS];
    for (int i = 0; i < MAX_TRACKS; i++) {
        roles[i].clear();
        best[i] = INT_MAX;
    }
    for (const slot_role &r : slot_roles(s, tracks)) {
        const int rank = precedence(slot_role_group_of(r.kind));
        if (rank >= best[r.track]) continue;
        best[r.track] = rank;
        roles[r.track] = slot_role_text(r);
    }
    // Whatever the records do not place (a loaded file whose place another took) keeps the
    // role its name gave it.
    for (int i = 0; i < MAX_TRACKS; i++)
        if (roles[i].empty() && tracks[i].filepath[0] != 0) roles[i] = type_name(tracks[i].type);
}
