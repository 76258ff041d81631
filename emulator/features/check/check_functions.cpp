// The functions in words: each key's chain of sounds, its variants or its announcements, with
// the warnings for a key that is silent while it is on.
#include <set>

#include "check_private.h"

namespace check_report_parts {

namespace {

check_json chain(const builder &b, const function_rom_t &f, std::string *text) {
    check_json j = check_json::object();
    std::vector<std::string> parts;
    for (int p = 1; p < 4; p++) {
        const int id = f.ids[p];
        if (id < 0) continue;
        j[lower(slot_role_name(slot_role_kind::place, p))] = b.track_ref(id);
        const bool once = p == FUNCTION_ON && b.snap.tracks[id].type == PLAY_TYPE_ONESHOT;
        const std::string len = b.snap.info[id].ok ? " " + check_seconds(b.snap.info[id].length_ms) : "";
        parts.push_back(
            (once ? std::string("plays once") : std::string(slot_role_name(slot_role_kind::place, p))) + len);
    }
    *text = join(parts, " → ");
    return j;
}

// A function with an OFF sound but no LOOP is silent while it is on.
void check_silent(builder &b, const function_rom_t &f, const std::string &who) {
    if (f.ids[FUNCTION_OFF] < 0 || f.ids[FUNCTION_LOOP] != -1) return;
    const std::string where = b.name_of(f.ids[FUNCTION_OFF]);
    if (f.ids[FUNCTION_ON] >= 0) {
        b.findings.warn("silent-while-on", where,
                        who +
                            " has ON and OFF sounds but no LOOP: after the ON sound it is silent until "
                            "switched off");
    } else {
        b.findings.warn("silent-while-on", where,
                        who +
                            " has only an OFF sound: switching it on plays nothing, the OFF sound comes when "
                            "it is switched off");
    }
}

bool is_drive_key(const slot_rom_t &s, int f) {
    for (int d = 0; d < s.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++)
        if (s.drive_functions[d].fid == f) return true;
    return false;
}

}  // namespace

check_json functions_section(builder &b) {
    const slot_rom_t &s = b.snap.slot_rom;
    check_json list = check_json::array();
    std::set<int> done;
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        if (b.sound_keys.count(f) == 0 || done.count(f) != 0) continue;
        check_json j = {{"key", f}};
        std::string text;
        const multi_function_t *M = nullptr;
        for (int m = 0; m < s.multi_functions_len && m < MAX_MULTI_FUNCTIONS; m++)
            if (s.multi_functions[m].func_id == f) M = &s.multi_functions[m];
        const info_function_t *I = nullptr;
        for (int i = 0; i < s.info_functions_len && i < MAX_INFO_FUNCTIONS; i++)
            if (s.info_functions[i].fid == f) I = &s.info_functions[i];
        if (is_drive_key(s, f)) {
            j["kind"] = "drive";
            std::string plain;
            check_json c = chain(b, s.functions[f], &plain);
            if (!c.empty()) j["key_sounds"] = c;
            text = "engine sound (see Drive sound)" + (plain.empty() ? "" : "; the key itself: " + plain);
        } else if (I != nullptr) {
            j["kind"] = "announcements";
            j["keys"] = {f, f + 1};
            check_json entries = check_json::array();
            int count = 0;
            for (int k = 0; k + 1 < MAX_INFO_ENTRIES && k < I->len; k += 2) {
                check_json e = {{"number", k / 2 + 1}};
                if (I->ids[k] >= 0) e["next"] = b.track_ref(I->ids[k]);
                if (I->ids[k + 1] >= 0) e["info"] = b.track_ref(I->ids[k + 1]);
                if (I->ids[k] >= 0 || I->ids[k + 1] >= 0) count = k / 2 + 1;
                entries.push_back(e);
            }
            j["entries"] = entries;
            int nexts = 0;
            for (int k = 0; k < I->len && k < MAX_INFO_ENTRIES; k += 2)
                nexts += I->ids[k] >= 0 ? 1 : 0;
            text = "announcements 1.." + std::to_string(count) + " (F" + std::to_string(f) +
                   " steps forward, F" + std::to_string(f + 1) + " back)" +
                   (nexts > 0 ? ", " + std::to_string(nexts) + " with their \"next\" entries" : "");
            done.insert(f + 1);
        } else if (M != nullptr) {
            j["kind"] = "variants";
            check_json vars = check_json::array();
            std::vector<std::string> texts;
            for (int v = 0; v < M->len && v < MAX_MULTI_VARIANTS; v++) {
                std::string vt;
                check_json c = chain(b, M->variants[v], &vt);
                c["variant"] = slot_role_letter(v);
                vars.push_back(c);
                texts.push_back(slot_role_letter(v) + ": " + (vt.empty() ? "nothing" : vt));
                check_silent(b, M->variants[v], "F" + std::to_string(f) + " variant " + slot_role_letter(v));
            }
            j["variants"] = vars;
            text = std::to_string(M->len) + " variants picked at random (" + join(texts, "; ") + ")";
        } else {
            j["kind"] = "plain";
            std::string c_text;
            check_json c = chain(b, s.functions[f], &c_text);
            for (auto &[k, v] : c.items())
                j[k] = v;
            text = c_text.empty() ? "no sound of its own" : c_text;
            check_silent(b, s.functions[f], "F" + std::to_string(f));
        }
        j["text"] = text;
        list.push_back(j);
        done.insert(f);
    }
    return list;
}

}  // namespace check_report_parts
