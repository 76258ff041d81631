// The report as text for a terminal: made from the JSON document alone, so that the two
// outputs can never tell different stories.
#include <algorithm>
#include <sstream>

#include "check_private.h"

namespace {

std::string str(const check_json &j, const char *key, const std::string &fallback = "") {
    return j.contains(key) && j[key].is_string() ? j[key].get<std::string>() : fallback;
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
        s += (s.empty() ? "" : ", ") + x.get<std::string>();
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
            out << "  " << l.get<std::string>() << "\n";
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
