// The timeline of a render: at the end of the run (after the recording is closed) the trace is
// read back, with the recording's loudness, and written as the data file and the page.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "stub.h"
#include "timeline.h"
#include "trace.h"

extern const unsigned char timeline_page[];

namespace {

std::string g_html, g_data, g_wav;
// The loudness is kept at this resolution: a quarter of a 64 ms buffer.
constexpr double PEAK_MS = 16;

uint32_t le32(const unsigned char *p) {
    return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

// Appends the loudest sample of every PEAK_MS of a 16-bit mono WAV file; false when there is no
// such file.
bool add_peaks(const std::string &path, std::vector<int> *peaks) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<unsigned char> b((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
    if (b.size() < 12 || memcmp(b.data(), "RIFF", 4) != 0 || memcmp(b.data() + 8, "WAVE", 4) != 0)
        return false;
    uint32_t rate = 0;
    for (size_t at = 12; at + 8 <= b.size();) {
        const uint32_t size = le32(&b[at + 4]);
        const size_t body = at + 8, avail = std::min<size_t>(size, b.size() - body);
        if (memcmp(&b[at], "fmt ", 4) == 0 && avail >= 16) rate = le32(&b[body + 4]);
        if (memcmp(&b[at], "data", 4) == 0 && rate > 0) {
            const size_t per = std::max<size_t>(1, (size_t)(rate * PEAK_MS / 1000));
            for (size_t i = 0; i + 1 < avail;) {
                int peak = 0;
                for (size_t k = 0; k < per && i + 1 < avail; k++, i += 2)
                    peak = std::max(peak, std::abs((int)(int16_t)(b[body + i] | b[body + i + 1] << 8)));
                peaks->push_back(peak * 1000 / 32768);
            }
            return true;
        }
        at = body + size + (size & 1);
    }
    return true;
}

bool write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    const bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
    return fclose(f) == 0 && ok;
}

void draw() {
    // A recording continues in FILE-1.wav, FILE-2.wav, ... when the stream rate changes.
    std::vector<int> peaks;
    const size_t dot = g_wav.rfind('.');
    const std::string stem = dot == std::string::npos ? g_wav : g_wav.substr(0, dot);
    const std::string ext = dot == std::string::npos ? "" : g_wav.substr(dot);
    add_peaks(g_wav, &peaks);
    for (int n = 1; add_peaks(stem + "-" + std::to_string(n) + ext, &peaks); n++) {
    }
    nlohmann::json data = timeline_model(trace_read(trace_lines()), peaks, PEAK_MS);
    // The page links each bar to its file: the files' names are relative to the project folder.
    char cwd[4096];
    data["project"] = getcwd(cwd, sizeof cwd) != nullptr ? cwd : ".";
    if (!write_file(g_data, data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n") ||
        !write_file(g_html, timeline_html(data)))
        fprintf(stderr, "%s: cannot write the timeline %s\n", program_invocation_short_name, g_html.c_str());
}

}  // namespace

std::string timeline_data_path(const std::string &html_path) {
    const size_t slash = html_path.rfind('/'), dot = html_path.rfind('.');
    const bool ext = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (ext ? html_path.substr(0, dot) : html_path) + ".json";
}

bool timeline_start(const char *html_path, const char *wav_path, std::string *error) {
    g_html = html_path;
    g_data = timeline_data_path(g_html);
    g_wav = wav_path;
    for (const std::string *p : {&g_html, &g_data}) {
        FILE *f = fopen(p->c_str(), "w");
        if (f == nullptr) {
            *error = "cannot write the timeline '" + *p + "': " + strerror(errno);
            return false;
        }
        fclose(f);
    }
    stub_on_exit(draw);
    return true;
}

std::string timeline_html(const nlohmann::json &data) {
    std::string json = data.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    // Inside a script element "</" could end it early.
    for (size_t at = 0; (at = json.find("</", at)) != std::string::npos; at += 3)
        json.replace(at, 2, "<\\/");
    std::string page = reinterpret_cast<const char *>(timeline_page);
    const std::string mark = "\"@TIMELINE_DATA@\"";
    const size_t at = page.find(mark);
    if (at != std::string::npos) page.replace(at, mark.size(), json);
    return page;
}
