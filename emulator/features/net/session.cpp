// What the protocols' sessions share.
#include "session.h"

#include "esp_log.h"

static const char *TAG = "NET";

std::string net_session::driving() const {
    std::string text;
    for (int a : driving_)
        text += (text.empty() ? "" : ", ") + std::to_string(a);
    return text;
}

void net_session::warn_too_long(const char *what, size_t limit) {
    if (warned_too_long_) return;
    warned_too_long_ = true;
    ESP_LOGW(TAG, "%s client %s: dropped a %s longer than %zu bytes (and drops any more silently)",
             protocol(), name.c_str(), what, limit);
}

bool net_number(std::string_view text, long *value) {
    size_t i = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) i = 1;
    if (i == text.size() || text.size() - i > 9) return false;
    long v = 0;
    for (; i < text.size(); i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    *value = negative ? -v : v;
    return true;
}

std::vector<std::string_view> net_words(std::string_view text) {
    std::vector<std::string_view> words;
    size_t i = 0;
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (i < text.size()) {
        while (i < text.size() && blank(text[i]))
            i++;
        const size_t start = i;
        while (i < text.size() && !blank(text[i]))
            i++;
        if (i > start) words.push_back(text.substr(start, i - start));
    }
    return words;
}

std::string net_clean(std::string_view text, std::string_view forbidden) {
    std::string clean;
    for (char c : text)
        if ((unsigned char)c >= 0x20 && c != 0x7F && forbidden.find(c) == std::string_view::npos) clean += c;
    return clean;
}
