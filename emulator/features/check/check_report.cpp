// The report of one slot load: every folder entry with what became of it, the functions and
// the drive sound in words, and the warnings for what is likely a mistake; its parts are built
// by the files named in check_private.h.
#include <cstring>

#include "check_private.h"

using namespace check_report_parts;

namespace {

std::string result_of(const check_snapshot &snap) {
    if (!snap.folder_ok) return "folder missing";
    if (!snap.requested) return "not requested";
    if (!snap.finished) return "load did not end";
    const std::string n = std::to_string(snap.slot);
    for (const check_log_line &l : snap.log) {
        if (l.text == "Slot " + n + " loaded successfully")
            return snap.loaded ? "loaded successfully" : "not loaded";
        if (l.text == "Slot " + n + " loaded with errors")
            return snap.loaded ? "loaded with errors" : "not loaded";
    }
    return "not loaded";
}

}  // namespace

check_json check_build_report(const check_snapshot &snap) {
    builder b(snap);
    b.collect_roles();
    b.attribute_messages();

    check_json report;
    report["slot"] = snap.slot;
    report["folder"] = snap.folder;
    report["result"] = result_of(snap);
    report["sample_rate"] = snap.loaded ? snap.slot_rom.sample_rate : 0;
    if (snap.loco.type != 255)
        report["vehicle"] = {
            {"type", snap.loco.type},
            {"name", std::string(snap.loco.name, strnlen(snap.loco.name, sizeof snap.loco.name))}};
    if (!snap.folder_ok)
        b.findings.error("no-folder", snap.folder, "the folder " + snap.folder + " cannot be opened");
    else if (report["result"] == "not loaded")
        b.findings.error(
            "nothing-loaded", snap.folder,
            "no audio file of the slot could be loaded: the decoder stays silent with this slot");
    else if (report["result"] == "not requested")
        b.findings.error("load-refused", snap.folder,
                         "the decoder did not take the load request (is another slot load running?)");
    else if (report["result"] == "load did not end")
        b.findings.error("load-hangs", snap.folder, "the slot load did not end within a minute");

    // Which folder entry each track came from.
    std::vector<int> track_of_entry(snap.listing.size(), -1);
    for (size_t e = 0; e < snap.listing.size(); e++)
        for (int i = 0; i < MAX_TRACKS; i++)
            if (snap.tracks[i].filepath[0] != 0 && path_of(snap.tracks[i]) == snap.folder + snap.listing[e])
                track_of_entry[e] = i;

    report["files"] = file_entries(b, track_of_entry);
    check_case_twins(b);
    report["functions"] = functions_section(b);
    report["drive"] = drive_section(b);
    check_text_files(snap, report, b.findings);
    for (const std::string &sub : snap.subfolders)
        report["subfolders"].push_back(sub);

    report["warnings"] = b.findings.warnings;
    report["errors"] = b.findings.errors;
    int functions = 0;
    for (const check_json &f : report["functions"])
        functions += f.contains("keys") ? 2 : 1;
    report["summary"] = {{"files", snap.listing.size()},
                         {"functions", functions},
                         {"warnings", b.findings.warnings.size()},
                         {"errors", b.findings.errors.size()}};
    report["exit_status"] = !b.findings.errors.empty()     ? CHECK_ERRORS
                            : !b.findings.warnings.empty() ? CHECK_WARNINGS
                                                           : CHECK_CLEAN;
    return report;
}
