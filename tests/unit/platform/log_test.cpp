// Levelled logging: the start-up levels, the tag cache and its eviction, "*" semantics.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "esp_log.h"
#include "log.h"
#include "test_support.h"

namespace {

class Logging : public ::testing::Test {
protected:
    void SetUp() override { esp_log_level_set("*", ESP_LOG_INFO); }
    void TearDown() override { esp_log_level_set("*", ESP_LOG_INFO); }
};

TEST_F(Logging, StartupLevelsPrintInformationOfTheChosenTagsOnly) {
    esp_log_level_set("*", ESP_LOG_WARN);
    for (const char *tag : {"SOUND_HL", "DCC_HL", "AUDIO_TRACK", "LOGICS"})
        esp_log_level_set(tag, ESP_LOG_INFO);
    LogCapture log;
    ESP_LOGI("DCC_HL", "New speed %x", 0x7f);
    ESP_LOGI("MIXER", "file info id=%d, ch=%d", 1, 1);
    ESP_LOGW("MIXER", "Cut wav buffer id=%u, buf_len=%u", 1u, 2u);
    ESP_LOGE("FILE_IO", "Could not open file %s", "x");
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u) << log.dump();
    EXPECT_NE(lines[0].find("I ("), std::string::npos);
    EXPECT_NE(lines[0].find(") DCC_HL: New speed 7f"), std::string::npos);
    EXPECT_EQ(lines[1].rfind("W (", 0), 0u);
    EXPECT_NE(lines[1].find("MIXER: Cut wav buffer id=1, buf_len=2"), std::string::npos);
    EXPECT_EQ(lines[2].rfind("E (", 0), 0u);
}

TEST_F(Logging, LevelSetByTextReachesEveryPointerToThatText) {
    static const char tag_a[] = "TWIN";
    static const char tag_b[] = "TWIN";
    ASSERT_NE((const void *)tag_a, (const void *)tag_b);
    LogCapture log;
    ESP_LOGI(tag_a, "a1");
    ESP_LOGI(tag_b, "b1");
    EXPECT_EQ(log_cache_entry_count(), 2u) << "two pointers, two cache entries";
    esp_log_level_set("TWIN", ESP_LOG_WARN);
    ESP_LOGI(tag_a, "a2");
    ESP_LOGI(tag_b, "b2");
    EXPECT_EQ(log.count("a2") + log.count("b2"), 0) << log.dump();
    EXPECT_EQ(log.count("a1") + log.count("b1"), 2);
}

TEST_F(Logging, StarResetsEveryExplicitLevel) {
    esp_log_level_set("LOUD", ESP_LOG_INFO);
    esp_log_level_set("*", ESP_LOG_NONE);
    LogCapture log;
    ESP_LOGE("LOUD", "silenced");
    ESP_LOGE("OTHER", "silenced");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(esp_log_level_get("LOUD"), ESP_LOG_NONE);
}

TEST_F(Logging, FullCacheEvictsTheLeastRecentlyUsedTag) {
    // 32 distinct tag pointers; the cache holds 31.
    static char tags[32][8];
    for (int i = 0; i < 32; i++)
        snprintf(tags[i], sizeof tags[i], "T%02d", i);
    for (int i = 0; i < 31; i++)
        esp_log_level_get(tags[i]);
    EXPECT_EQ(log_cache_entry_count(), 31u);
    uint32_t misses = log_cache_misses();
    // With a full cache a hit renews the entry: touch tag 0 so that tag 1 becomes the oldest.
    esp_log_level_get(tags[0]);
    EXPECT_EQ(log_cache_misses(), misses);
    esp_log_level_get(tags[31]);  // evicts the oldest: tag 1
    EXPECT_EQ(log_cache_misses(), misses + 1);
    esp_log_level_get(tags[0]);
    EXPECT_EQ(log_cache_misses(), misses + 1) << "tag 0 was renewed and stays cached";
    esp_log_level_get(tags[1]);
    EXPECT_EQ(log_cache_misses(), misses + 2) << "tag 1 was evicted";
}

int g_calls;
int counting_vprintf(const char *, va_list) {
    g_calls++;
    return 0;
}

TEST_F(Logging, SetVprintfReturnsThePreviousWriter) {
    vprintf_like_t first = esp_log_set_vprintf(counting_vprintf);
    EXPECT_EQ(first, &log_stdout_vprintf);
    g_calls = 0;
    ESP_LOGI("X", "one");
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(esp_log_set_vprintf(first), &counting_vprintf);
}

}  // namespace
