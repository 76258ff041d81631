// The report as text for a terminal: made from the JSON document alone, so that the two
// outputs can never tell different stories.
#include <algorithm>
#include <sstream>

#include "check_private.h"

namespace {

// The length of the well-formed UTF-8 sequence at s[i]; 0 when there is none.
size_t utf8_length(const std::string &s, size_t i) {
    const unsigned char c = (unsigned char)s[i];
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;  // the second byte's range
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;  // no over-long forms
        hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; k++) {
        const unsigned char b = (unsigned char)s[i + k];
        if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
    }
    return n;
}

// A name or line of the project as the terminal should show it: control characters (C0, DEL
// and the C1 range, which some terminals obey) and bytes that are not UTF-8 (a name written in
// Latin-1, say) as \xHH. Nothing of a project can then move the cursor, retitle the window or
// begin a report line of its own.
std::string shown(const std::string &s) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_length(s, i);
        const unsigned char c = (unsigned char)s[i];
        const bool control =
            n == 1 ? c < 0x20 || c == 0x7F : n == 2 && c == 0xC2 && (unsigned char)s[i + 1] < 0xA0;
        if (n != 0 && !control) {
            out.append(s, i, n);
            i += n;
            continue;
        }
        for (size_t k = 0; k < std::max<size_t>(n, 1); k++, i++) {
            out += "\\x";
            out += hex[(unsigned char)s[i] >> 4];
            out += hex[(unsigned char)s[i] & 15];
        }
    }
    return out;
}

std::string str(const check_json &j, const char *key, const std::string &fallback = "") {
    return j.contains(key) && j[key].is_string() ? shown(j[key].get<std::string>()) : fallback;
}

std::string pad(const std::string &s, size_t width) {
    // Width in characters, not bytes: the arrows and the like are several bytes each.
    size_t chars = 0;
    for (unsigned char c : s)
        chars += (c & 0xC0) != 0x80 ? 1 : 0;
    return chars >= width ? s + " " : s + std::string(width - chars, ' ');
}

std::string list(const check_json &a) {
    std::string s;
    for (const check_json &x : a)
        s += (s.empty() ? "" : ", ") + shown(x.get<std::string>());
    return s.empty() ? "-" : s;
}

void findings(std::ostringstream &out, const check_json &items, const char *title) {
    if (items.empty()) return;
    out << "\n" << title << "\n";
    for (const check_json &w : items) {
        out << "  " << str(w, "file");
        if (w.contains("line")) out << " line " << w["line"].get<int>();
        out << ": " << str(w, "message") << "\n";
    }
}

}  // namespace

std::string check_report_text(const check_json &r) {
    std::ostringstream out;
    out << "Project check of slot " << r["slot"].get<int>() << " (" << str(r, "folder") << ")";
    if (r.contains("vehicle")) out << ": " << str(r["vehicle"], "name");
    out << "\n";
    out << "The slot " << str(r, "result");
    if (r.value("sample_rate", 0u) != 0) out << ", " << r["sample_rate"].get<unsigned>() << " Hz";
    out << ".\n";

    if (r.contains("files") && !r["files"].empty()) {
        size_t width = 0;
        for (const check_json &f : r["files"])
            width = std::max(width, str(f, "name").size());
        out << "\nFiles\n";
        for (const check_json &f : r["files"]) {
            out << "  " << pad(str(f, "name"), width + 1);
            const std::string status = str(f, "status");
            if (status == "used") {
                out << pad(list(f["roles"]), 34);
                if (f.contains("format"))
                    out << f["format"].get<std::string>()
                        << (f["channels"].get<int>() == 1 ? " mono " : " stereo ")
                        << f["sample_rate"].get<unsigned>() << " Hz "
                        << check_seconds(f["length_ms"].get<uint32_t>());
                out << "  track " << f["track"].get<int>();
                if (f.contains("loop_pass_ms") && f["loop_pass_ms"] != f["length_ms"])
                    out << ", a loop pass plays " << f["loop_pass_ms"].get<uint32_t>() << " of "
                        << f["length_ms"].get<uint32_t>() << " ms";
            } else if (status == "read") {
                out << str(f, "text_kind");
            } else {
                out << status;
                if (f.contains("text_kind")) out << " " << str(f, "text_kind");
                if (f.contains("track")) out << " (track " << f["track"].get<int>() << ")";
                if (f.contains("reason")) out << ": " << str(f, "reason");
            }
            out << "\n";
        }
    }

    if (r.contains("functions") && !r["functions"].empty()) {
        out << "\nFunctions\n";
        for (const check_json &f : r["functions"]) {
            std::string key = "F" + std::to_string(f["key"].get<int>());
            if (f.contains("keys")) key += "/F" + std::to_string(f["keys"][1].get<int>());
            out << "  " << pad(key, 8) << str(f, "text") << "\n";
        }
    }

    for (const check_json &d : r.value("drive", check_json::array())) {
        out << "\nDrive sound F" << d["key"].get<int>() << " (follows the " << str(d, "follows") << ")\n";
        for (const check_json &l : d["lines"])
            out << "  " << shown(l.get<std::string>()) << "\n";
    }

    const check_json texts = r.value("text_files", check_json::object());
    for (const check_json &s : texts.value("logic", check_json::array())) {
        out << "\nLogic conditions (" << str(s, "file") << ")\n";
        for (const check_json &c : s["conditions"])
            out << "  line " << c["line"].get<int>() << "  " << str(c, "text") << "\n      "
                << str(c, "sentence") << "\n";
        for (const check_json &c : s["rejected"])
            out << "  line " << c["line"].get<int>() << "  " << str(c, "text")
                << "\n      rejected: " << str(c, "reason") << "\n";
    }
    for (const check_json &s : texts.value("cv", check_json::array())) {
        out << "\nCV file (" << str(s, "file") << "): "
            << (s["applied"].get<bool>() ? "applied at this load" : "not applied at this load; it would set")
            << "\n";
        for (const check_json &v : s["values"]) {
            out << "  CV " << v["cv"].get<int>() << " = " << v["value"].get<int>();
            if (v.contains("written"))
                out << " (written as " << v["written"].get<int>() << ", low 8 bits kept)";
            if (v.contains("meaning")) out << "  " << str(v, "meaning");
            out << "\n";
        }
    }
    if (texts.contains("output_mapping")) {
        const check_json &m = texts["output_mapping"];
        out << "\nOutput mapping (" << str(m, "source") << ")\n";
        out << "  key   forward              reverse\n";
        for (const check_json &row : m["rows"])
            out << "  " << pad("F" + std::to_string(row["key"].get<int>()), 6)
                << pad(list(row["forward"]), 21) << list(row["reverse"]) << "\n";
    }

    findings(out, r.value("warnings", check_json::array()), "Warnings");
    findings(out, r.value("errors", check_json::array()), "Errors");

    const check_json &s = r["summary"];
    out << "\n"
        << s["files"].get<int>() << " files, " << s["functions"].get<int>() << " functions, "
        << s["warnings"].get<int>() << " warnings, " << s["errors"].get<int>() << " errors\n";
    return out.str();
}
