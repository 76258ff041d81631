// Finds tones in a recording: the power of one frequency (Goertzel) in windows of a fixed length.
// The tests play files of distinct pure tones, so which tone sounds tells which file is heard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test_support {

class ToneDetector {
public:
    // A rectangular window weighs every sample alike and times a change to the window; a Hann
    // window keeps a loud tone from spreading over the frequencies around it.
    enum class Shape { Rectangular, Hann };

    // Windows of `window` samples at `rate` Hz; a tone is heard where its power is above
    // `threshold`.
    ToneDetector(double rate, size_t window, double threshold = 0, Shape shape = Shape::Rectangular);

    size_t window() const { return window_; }
    // The power of `freq` in the window that starts at `s`, divided by the window's length
    // squared (a rectangular window: about A²/4 for a sine of amplitude A).
    double power(const int16_t *s, double freq) const;
    // The amplitude of a sine of `freq` that alone would give the window's power.
    double amplitude(const int16_t *s, double freq) const;
    // Whether `freq` is heard in the window that starts at sample `at` of `s`; false where the
    // window does not fit.
    bool heard(const std::vector<int16_t> &s, size_t at, double freq) const;
    // The power of `freq` in each whole window of `s`, one after the other from its start.
    std::vector<double> powers(const std::vector<int16_t> &s, double freq) const;

private:
    // The Goertzel filter's output power over one window, not normalised.
    double goertzel(const int16_t *s, double freq) const;

    double rate_;
    size_t window_;
    double threshold_;
    std::vector<double> weights_;  // empty for the rectangular window
};

}  // namespace test_support
