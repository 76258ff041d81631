#include "tone_detector.h"

#include <algorithm>
#include <cmath>

namespace test_support {

ToneDetector::ToneDetector(double rate, size_t window, double threshold, Shape shape)
    : rate_(rate), window_(window), threshold_(threshold) {
    if (shape == Shape::Hann) {
        for (size_t i = 0; i < window; i++)
            weights_.push_back(0.5 - 0.5 * std::cos(2 * M_PI * (double)i / (double)(window - 1)));
    }
}

double ToneDetector::goertzel(const int16_t *s, double freq) const {
    const double c = 2.0 * std::cos(2.0 * M_PI * freq / rate_);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < window_; i++) {
        const double x = weights_.empty() ? (double)s[i] : s[i] * weights_[i];
        const double s0 = x + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

double ToneDetector::power(const int16_t *s, double freq) const {
    return goertzel(s, freq) / ((double)window_ * (double)window_);
}

double ToneDetector::amplitude(const int16_t *s, double freq) const {
    // The window's weights sum to half its length (Hann) or to its length (rectangular).
    const double gain = weights_.empty() ? 2 : 4;
    return gain * std::sqrt(std::max(goertzel(s, freq), 0.0)) / (double)window_;
}

bool ToneDetector::heard(const std::vector<int16_t> &s, size_t at, double freq) const {
    return at + window_ <= s.size() && power(&s[at], freq) > threshold_;
}

std::vector<double> ToneDetector::powers(const std::vector<int16_t> &s, double freq) const {
    std::vector<double> out;
    for (size_t p = 0; p + window_ <= s.size(); p += window_)
        out.push_back(power(&s[p], freq));
    return out;
}

}  // namespace test_support
