// Line sinks: lines in their parts, the newest sink first, and a sink that keeps its lines.
#include <gtest/gtest.h>

#include <vector>

#include "log.h"
#include "test_support.h"

TEST(LogSink, SplitLinesNewestFirstAndKept) {
    esp_log_level_set("*", ESP_LOG_INFO);
    LogCapture output;
    std::vector<std::string> seen;
    const log_sink_id a = log_sink_add([&](const log_line &l) { seen.push_back("a " + l.text); });
    const log_sink_id b =
        log_sink_add([&](const log_line &l) { seen.push_back("b " + l.tag + " " + l.text); },
                     log_sink_mode::keep_own_thread);
    ESP_LOGW("SINK", "one %d", 1);
    log_sink_remove(b);
    ESP_LOGE("SINK", "two");
    log_sink_remove(a);
    ESP_LOGI("SINK", "three");
    EXPECT_EQ(seen, (std::vector<std::string>{"b SINK one 1", "a two"}));
    ASSERT_EQ(output.lines().size(), 2u) << output.dump();
    EXPECT_NE(output.lines()[0].find("SINK: two"), std::string::npos);

    log_line l;
    EXPECT_TRUE(log_parse_line("W (12) TAG: a: b", &l));
    EXPECT_EQ(l.level, 'W');
    EXPECT_EQ(l.ms, 12);
    EXPECT_EQ(l.text, "a: b");
    EXPECT_FALSE(log_parse_line("W (x) TAG: a", &l));
    EXPECT_EQ(l.text, "W (x) TAG: a");
}
