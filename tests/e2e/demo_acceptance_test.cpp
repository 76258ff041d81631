// Acceptance: the bundled demo project driven through its tour, as a newcomer would. The log
// lines must come in order, and the recording must hold sound where the locomotive sounds and
// silence before and after.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <fstream>

#include "render.h"

namespace {

double rms(const std::vector<int16_t> &s, size_t from, size_t to) {
    double sum = 0;
    to = std::min(to, s.size());
    if (to <= from) return 0;
    for (size_t i = from; i < to; i++)
        sum += (double)s[i] * s[i];
    return std::sqrt(sum / (double)(to - from));
}

TEST(DemoAcceptance, TheTourThroughBothSlots) {
    TempFolder dir;
    std::filesystem::copy(std::string(TEST_SOURCE_DIR) + "/demo", dir.path(),
                          std::filesystem::copy_options::recursive);
    // The tour that the README offers as the first script: engine start, a run up to full
    // speed, horn, bell, an announcement, braking to a stand, the electric of slot 2 and back,
    // engine off; rendered in simulated time.
    std::ifstream in(dir.path() / "tour.txt");
    const std::string script((std::istreambuf_iterator<char>(in)), {});
    const Render r = render(dir.path(), script);
    ASSERT_EQ(r.status, 0) << r.dump();

    // The demo's own files load without a single complaint, and nothing goes wrong on the way.
    for (const auto &l : r.lines) {
        bool expected_warning = l.find("Reset all CV") != std::string::npos ||
                                l.find("sound is discarded") != std::string::npos ||
                                l.find("Stored slot id is different") != std::string::npos ||
                                l.find("FILE_IO: Applied CV") != std::string::npos;
        EXPECT_FALSE((l.rfind("E (", 0) == 0 || l.rfind("W (", 0) == 0) && !expected_warning) << l;
    }
    // The electric's CV file makes it a heavier train when the switch loads slot 2.
    EXPECT_EQ(r.count("Applied CV196=25"), 1) << r.dump();
    EXPECT_EQ(r.count("Engine load accel=20 decel=40"), 1) << r.dump();

    // The key lines come in this order.
    const std::vector<std::string> order = {"Slot 1 loaded successfully",
                                            "(START)",
                                            "(TURBO)",
                                            "(INFONEXT)",
                                            "(DECELON)",
                                            "(STOP)",
                                            "Slot 2 loaded successfully",
                                            "Slot 1 loaded successfully",
                                            "Drive functions state changed to 0"};
    size_t at = 0;
    for (const auto &text : order) {
        while (at < r.lines.size() && r.lines[at].find(text) == std::string::npos)
            at++;
        EXPECT_LT(at, r.lines.size()) << "missing or out of order: " << text << "\n" << r.dump();
        at++;
    }

    // The recording: silence before F1, sound while the engine runs, silence at the end.
    const size_t second = 32000;
    ASSERT_GT(r.audio.size(), 100 * second);
    EXPECT_LT(rms(r.audio, 0, second), 5.0) << "silence before the engine starts";
    size_t loud = 0, windows = 0;
    for (size_t p = 3 * second; p + second / 10 < r.audio.size() - 6 * second; p += second / 10) {
        windows++;
        loud += rms(r.audio, p, p + second / 10) > 200.0 ? 1 : 0;
    }
    EXPECT_GT(loud, windows * 9 / 10) << "the engine sounds through most of the run";
    EXPECT_LT(rms(r.audio, r.audio.size() - second, r.audio.size()), 5.0) << "silence at the end";
}

}  // namespace
