// Two drives compared track by track: the plays of each file are paired in time order, and what
// moved by more than a buffer (what a listener could tell apart) is reported.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "timeline.h"

using nlohmann::json;

namespace {

struct play {
    std::string file;
    int key = -1;
    double start = 0, end = 0;
    double stop = INFINITY;                       // when it was cut (its fade-out begins)
    std::vector<std::pair<double, double>> gain;  // [t, percent]
};

// The heard plays of a drive's data; false when it is not a timeline's data.
bool read_plays(const json &d, std::vector<play> *out, double *buffer_ms) {
    if (!d.is_object() || !d.contains("format") || !d["format"].is_string() ||
        d["format"].get<std::string>().rfind("dcc-sound-emu timeline", 0) != 0 || !d.contains("plays") ||
        !d["plays"].is_array())
        return false;
    // A buffer of 1 ms to 10 s: anything else is not a render's, and would make the comparison
    // of gains below step forever.
    const json b = d.contains("buffer_ms") ? d["buffer_ms"] : json(64.0);
    if (!b.is_number() || !(b.get<double>() >= 1 && b.get<double>() <= 10000)) return false;
    *buffer_ms = std::max(*buffer_ms, b.get<double>());
    for (const json &p : d["plays"]) {
        auto number = [&](const char *k) {
            return p.contains(k) && p[k].is_number() && std::isfinite(p[k].get<double>());
        };
        if (!p.is_object() || !p.contains("file") || !p["file"].is_string() || !number("start") ||
            !number("end"))
            return false;
        if (p.contains("heard") && p["heard"].is_boolean() && !p["heard"].get<bool>()) continue;
        const int key = p.contains("key") && p["key"].is_number_integer() ? p["key"].get<int>() : -1;
        play q{p["file"].get<std::string>(), key,      p["start"].get<double>(),
               p["end"].get<double>(),       INFINITY, {}};
        if (number("stop")) q.stop = p["stop"].get<double>();
        if (p.contains("gain") && p["gain"].is_array())
            for (const json &g : p["gain"])
                if (g.is_array() && g.size() == 2 && g[0].is_number() && g[1].is_number())
                    q.gain.emplace_back(g[0].get<double>(), g[1].get<double>());
        out->push_back(std::move(q));
    }
    return true;
}

// The gain `dt` ms into a play, in percent.
double gain_at(const play &p, double dt) {
    const double t = p.start + dt;
    const auto &g = p.gain;
    if (g.empty()) return 0;
    const auto at =
        std::upper_bound(g.begin(), g.end(), t, [](double v, const auto &x) { return v < x.first; });
    if (at == g.begin()) return g.front().second;
    if (at == g.end()) return g.back().second;
    const auto &[t0, g0] = *(at - 1);
    const auto &[t1, g1] = *at;
    return t1 <= t0 ? g1 : g0 + (g1 - g0) * (t - t0) / (t1 - t0);
}

// Pairs the plays of one file in time order, leaving out as few as it can: a play left out
// costs as much as a start two seconds away.
std::vector<std::pair<int, int>> pair_plays(const std::vector<const play *> &a,
                                            const std::vector<const play *> &b) {
    constexpr double GAP = 2000;
    const size_t n = a.size(), m = b.size();
    // More plays of one file than a drive has: paired one by one rather than with a table that
    // would not fit in memory.
    if (n * m > 4000000) {
        std::vector<std::pair<int, int>> out;
        for (size_t i = 0; i < std::max(n, m); i++)
            out.emplace_back(i < n ? (int)i : -1, i < m ? (int)i : -1);
        return out;
    }
    std::vector<std::vector<double>> cost(n + 1, std::vector<double>(m + 1, 0));
    for (size_t i = 0; i <= n; i++)
        for (size_t j = 0; j <= m; j++) {
            if (i == 0 || j == 0) {
                cost[i][j] = GAP * (double)(i + j);
                continue;
            }
            cost[i][j] = std::min({cost[i - 1][j] + GAP, cost[i][j - 1] + GAP,
                                   cost[i - 1][j - 1] + std::fabs(a[i - 1]->start - b[j - 1]->start)});
        }
    std::vector<std::pair<int, int>> out;  // -1 for a play without a partner
    for (size_t i = n, j = m; i > 0 || j > 0;) {
        if (i > 0 && j > 0 &&
            cost[i][j] == cost[i - 1][j - 1] + std::fabs(a[i - 1]->start - b[j - 1]->start)) {
            out.emplace_back((int)--i, (int)--j);
        } else if (i > 0 && cost[i][j] == cost[i - 1][j] + GAP) {
            out.emplace_back((int)--i, -1);
        } else {
            out.emplace_back(-1, (int)--j);
        }
    }
    std::reverse(out.begin(), out.end());
    return out;
}

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

bool read_json(const char *path, json *out, std::string *error) {
    std::ifstream in(path);
    if (!in) {
        *error = std::string("cannot read '") + path + "'";
        return false;
    }
    *out = json::parse(in, nullptr, false);
    if (out->is_discarded()) {
        *error = std::string("'") + path + "' is not JSON";
        return false;
    }
    return true;
}

}  // namespace

std::vector<timeline_difference> timeline_compare(const json &a, const json &b, std::string *error) {
    std::vector<play> pa, pb;
    double buf = 0;
    if (!read_plays(a, &pa, &buf) || !read_plays(b, &pb, &buf)) {
        *error = "not the data of a timeline (--timeline writes it beside the page, as FILE.json)";
        return {};
    }
    std::map<std::string, std::pair<std::vector<const play *>, std::vector<const play *>>> by_file;
    for (const play &p : pa)
        by_file[p.file].first.push_back(&p);
    for (const play &p : pb)
        by_file[p.file].second.push_back(&p);
    // What each paired play of the first drive became, by the end of the first, to tell a track
    // that starts later because the one before it ends later.
    std::vector<std::pair<const play *, const play *>> partner;
    for (auto &[file, sides] : by_file)
        for (auto [i, j] : pair_plays(sides.first, sides.second))
            if (i >= 0 && j >= 0) partner.emplace_back(sides.first[i], sides.second[j]);
    std::sort(partner.begin(), partner.end(), [](auto &x, auto &y) { return x.first->end < y.first->end; });
    // A track that follows another (a LOOP after its ON) starts while the one before still
    // sounds: it is asked for ahead of that one's end, and the two cross-fade. A drive sounds
    // at most a hundred tracks at once; data with more is looked at no further.
    auto moved_end_before = [&](const play &p, double shift) -> std::string {
        auto it = std::lower_bound(partner.begin(), partner.end(), p.start - buf,
                                   [](auto &x, double t) { return x.first->end < t; });
        for (int looked = 0; it != partner.end() && looked < 1000; ++it, looked++) {
            const auto [q, r] = *it;
            if (q != &p && q->start < p.start && std::fabs((r->end - q->end) - shift) <= buf &&
                std::fabs(r->end - q->end) > buf)
                return q->file;
        }
        return "";
    };
    // Differences of one kind for one file are told once, with the count and the largest.
    struct group {
        timeline_difference d;
        int count = 0, of = 0;
        std::string after;
    };
    std::map<std::pair<std::string, std::string>, group> groups;
    std::vector<std::pair<std::string, std::string>> order;
    auto note = [&](const std::string &file, const char *what, double t, double until, double by, int of,
                    const std::string &after = "") {
        auto [it, added] = groups.try_emplace({file, what});
        if (added) order.push_back({file, what});
        group &g = it->second;
        g.of = of;
        if (g.count++ == 0 || std::fabs(by) > std::fabs(g.d.by)) {
            g.d = {file, what, t, until, by, ""};
            if (!after.empty()) g.after = after;
        }
    };
    for (auto &[file, sides] : by_file) {
        const int of = (int)std::max(sides.first.size(), sides.second.size());
        for (auto [i, j] : pair_plays(sides.first, sides.second)) {
            if (j < 0) {
                note(file, "gone", sides.first[i]->start, sides.first[i]->end, 0, of);
                continue;
            }
            const play &q = *sides.second[j];
            if (i < 0) {
                note(file, "new", q.start, q.end, 0, of);
                continue;
            }
            const play &p = *sides.first[i];
            const double ds = q.start - p.start, de = q.end - p.end;
            // A play that starts later and ends as before (a LOOP cut by its key) is told once,
            // by its start.
            if (std::fabs(ds) > buf)
                note(file, ds > 0 ? "later" : "earlier", p.start, p.end, ds, of, moved_end_before(p, ds));
            if (std::fabs(de) > buf && std::fabs(de - ds) > buf)
                note(file, de > ds ? "longer" : "shorter", p.start, p.end, de - ds, of);
            // Gains, a buffer apart over the time both play, aligned on their starts; a
            // difference counts where it lasts two buffers or more. A fade-out after a cut
            // differs from a play going on at full gain, but that is the cut's difference (told
            // above by the ends), not the gain's: only the time before either was cut counts.
            const double len =
                std::min({p.end - p.start, q.end - q.start, p.stop - p.start, q.stop - q.start});
            double worst = 0, from = -1, to = -1, run_from = -1;
            int run = 0;
            const double step = std::max(buf, len / 100000);
            for (double dt = step / 2; dt < len; dt += step) {
                const double ga = gain_at(p, dt), gb = gain_at(q, dt);
                const double db = 20 * std::log10(std::max(gb, 0.1) / std::max(ga, 0.1));
                const bool audible = std::max(ga, gb) >= 1;
                if (!audible || std::fabs(db) <= 1) {
                    run = 0;
                    continue;
                }
                if (run++ == 0) run_from = p.start + dt - step / 2;
                if (run >= 2 && std::fabs(db) > std::fabs(worst)) {
                    worst = db;
                    from = run_from;
                }
                if (run >= 2) to = p.start + dt + step / 2;
            }
            if (worst != 0) note(file, worst > 0 ? "louder" : "softer", from, to, worst, of);
        }
    }
    std::vector<timeline_difference> out;
    for (const auto &k : order) {
        group &g = groups[k];
        timeline_difference d = g.d;
        const std::string plays =
            g.of > 1 ? fmt(" (%d of %d plays, the most at %.2f s)", g.count, g.of, d.t / 1000)
                     : fmt(" (at %.2f s)", d.t / 1000);
        const std::string &w = d.what;
        if (w == "gone") d.text = d.file + ": no longer plays" + plays;
        if (w == "new") d.text = d.file + ": newly plays" + plays;
        if (w == "later" || w == "earlier")
            d.text = d.file + fmt(": starts %s by %.0f ms", w.c_str(), std::fabs(d.by)) + plays +
                     (g.after.empty() ? "" : ", as " + g.after + " before it ends " + w);
        if (w == "longer" || w == "shorter")
            d.text = d.file + fmt(": plays %s by %.0f ms", w.c_str(), std::fabs(d.by)) + plays;
        if (w == "louder" || w == "softer")
            d.text = d.file +
                     fmt(": %s by %.1f dB from %.2f s to %.2f s", w.c_str(), std::fabs(d.by), d.t / 1000,
                         d.until / 1000) +
                     (g.of > 1 ? fmt(" (%d of %d plays)", g.count, g.of) : "");
        out.push_back(std::move(d));
    }
    std::stable_sort(out.begin(), out.end(), [](auto &x, auto &y) { return x.t < y.t; });
    return out;
}

int timeline_diff_main(const char *program, const char *a_path, const char *b_path, const char *html) {
    json a, b;
    std::string error;
    if (!read_json(a_path, &a, &error) || !read_json(b_path, &b, &error)) {
        fprintf(stderr, "%s: --diff: %s\n", program, error.c_str());
        return 2;
    }
    const auto diffs = timeline_compare(a, b, &error);
    if (!error.empty()) {
        fprintf(stderr, "%s: --diff: %s\n", program, error.c_str());
        return 2;
    }
    for (const timeline_difference &d : diffs)
        printf("%s\n", d.text.c_str());
    if (diffs.empty()) printf("No differences: every track starts, ends and sounds as before.\n");
    if (html != nullptr) {
        json marks = json::array();
        for (const timeline_difference &d : diffs)
            marks.push_back(
                {{"file", d.file}, {"what", d.what}, {"t", d.t}, {"until", d.until}, {"text", d.text}});
        const json page = {{"drives", {a, b}}, {"names", {a_path, b_path}}, {"differences", marks}};
        std::ofstream out(html);
        out << timeline_html(page);
        if (!out.flush()) {
            fprintf(stderr, "%s: cannot write the timeline %s\n", program, html);
            return 2;
        }
    }
    return diffs.empty() ? 0 : 1;
}
