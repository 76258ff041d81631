// Pictures of a render (--timeline FILE.html): every sound of a drive on one time axis, drawn
// from the render's trace, and the comparison of two renders (--diff A.json B.json). The data
// file's format is described in the README ("Seeing a drive"). Off by default.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "trace_read.h"

// Checks that `html_path` and the data file beside it (the same name ending in .json) can be
// written, and draws them when the render ends, from the trace (start it too) and the recording
// `wav_path`; false with a message in `error`.
bool timeline_start(const char *html_path, const char *wav_path, std::string *error);

// The data file's path for a timeline's: "take.html" -> "take.json".
std::string timeline_data_path(const std::string &html_path);

// The drive as data: each play of a track with the moments it was asked for, first and last
// heard and cut, and its gains; the throttle, the keys, the commands and the log over time; the
// recording's loudness (`peaks`: the loudest sample of every `peak_ms`, 0..1000).
nlohmann::json timeline_model(const std::vector<trace_event> &trace, const std::vector<int> &peaks,
                              double peak_ms);

// The page showing `data` (one drive, or two with their differences).
std::string timeline_html(const nlohmann::json &data);

// The differences between two drives' data, as lines of text naming each changed track by its
// file, and as data for the page; `error` is set for data that is not a drive's.
struct timeline_difference {
    std::string file,
        what;  // what: "later", "earlier", "gone", "new", "longer", "shorter", "louder", "softer"
    double t = 0, until = 0;  // in the first drive (the second for "new")
    double by = 0;            // ms, or dB for the gains
    std::string text;
};
std::vector<timeline_difference> timeline_compare(const nlohmann::json &a, const nlohmann::json &b,
                                                  std::string *error);

// emulator --diff A.json B.json [--timeline diff.html]: prints the differences; 0 when there is
// none, 1 when there are, 2 for input that cannot be read.
int timeline_diff_main(const char *program, const char *a, const char *b, const char *html);
