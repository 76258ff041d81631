// The console grammar, checked through the values it hands on: the function toggles and CV
// writes it makes (recorded by fakes of the DCC layer) and the speed it leaves for the tick.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "console.h"
#include "decoder.h"
#include "emulator.h"
#include "esp_log.h"
#include "memory.h"
#include "test_support.h"

// Fakes of the DCC layer's two console entry points.
static std::vector<int> g_toggles;
static std::vector<std::pair<int, int>> g_cv_writes;
void DCC_ChangeFunction(uint8_t id) {
    g_toggles.push_back(id);
}
void DCC_ChangeCV(uint16_t CV, uint8_t Value) {
    g_cv_writes.push_back({CV, Value});
}

namespace {

struct Effect {
    std::vector<int> toggles;
    std::vector<std::pair<int, int>> cv_writes;
    int8_t speed;  // low byte of the console speed, as the tick passes it on
};

Effect run(const char *line) {
    g_toggles.clear();
    g_cv_writes.clear();
    decoder_set_speed(1);
    console_handle_line(line);
    return {g_toggles, g_cv_writes, (int8_t)(decoder_speed() & 0xFF)};
}

TEST(Console, GrammarRows) {
    struct Case {
        const char *line;
        std::vector<int> toggles;
        std::vector<std::pair<int, int>> cvs;
        int8_t speed;
    };
    const Case cases[] = {
        {"12", {12}, {}, 1},
        {"f12", {12}, {}, 1},
        {"F0", {0}, {}, 1},
        {"m5", {5, 5}, {}, 1},
        {"M5 trailing text", {5, 5}, {}, 1},
        {"f", {}, {}, 1},
        {"f300", {}, {}, 1},  // no function that big: ignored, never wrapped to F44
        {"s100", {}, {}, 101},
        {"s0", {}, {}, 1},
        {"S 50", {}, {}, 51},
        {"s101", {}, {}, 1},
        {"s", {}, {}, 1},
        {"s-1", {}, {}, 0},   // speed 0 in the other direction: an emergency stop
        {"s-5", {}, {}, -4},  // magnitude 4, direction flag set by the DCC layer
        {"s-102", {}, {}, -101},
        {"s-103", {}, {}, 1},  // would wrap: ignored like s101
        {"s99999999999", {}, {}, 1},
        {"s-4294967295", {}, {}, 1},
        {"estop", {}, {}, 0},
        {"xestopx", {}, {}, 0},
        {"Estop", {}, {}, 1},
        {"cv3=20", {}, {{3, 20}}, 1},
        {"CV29=6", {}, {{29, 6}}, 1},
        {"cv7=300", {}, {{7, 44}}, 1},
        {"cv511=1", {}, {{511, 1}}, 1},
        {"cv512=1", {}, {}, 1},
        {"cv1", {}, {}, 1},
        {"c3=4", {}, {}, 1},
        {"hello", {}, {}, 1},
        {"", {}, {}, 1},
    };
    for (const Case &c : cases) {
        Effect e = run(c.line);
        EXPECT_EQ(e.toggles, c.toggles) << c.line;
        EXPECT_EQ(e.cv_writes, c.cvs) << c.line;
        EXPECT_EQ(e.speed, c.speed) << c.line;
    }
}

TEST(Console, CvWriteStoresTheValueBeforeTellingTheDccLayer) {
    run("cv202=2");
    EXPECT_EQ(Memory_LoadU8(202), 2);
    ASSERT_EQ(g_cv_writes.size(), 1u);
    EXPECT_EQ(g_cv_writes[0], std::make_pair(202, 2));
}

// "cv<n>?" answers with the value as the firmware reads it and writes nothing; "cv8=8" is the
// factory-reset request, not a value for CV 8.
TEST(Console, CvReadAndFactoryReset) {
    esp_log_level_set("DCC_HL", ESP_LOG_INFO);
    LogCapture log;
    run("cv3=20");
    Effect e = run("cv3?");
    EXPECT_TRUE(e.cv_writes.empty());
    EXPECT_EQ(log.count("DCC_HL: CV3=20"), 1) << log.dump();
    run("cv512?");
    run("cv3 ?");
    EXPECT_EQ(log.count("CV512"), 0);
    EXPECT_EQ(log.count("DCC_HL: CV3="), 1) << log.dump();

    e = run("cv8=8");
    EXPECT_TRUE(e.cv_writes.empty());
    EXPECT_TRUE(log.contains("Reset all CV[1]")) << log.dump();
    EXPECT_EQ(Memory_LoadU8(3), 34);
    EXPECT_EQ(Memory_LoadU8(8), 172);
}

TEST(Console, DigitLinesBeforeEstopAndOverLongLinesLoseTheirTail) {
    // A line starting with a digit is a function number even if it contains "estop".
    Effect e = run("7 estop");
    EXPECT_EQ(e.toggles, std::vector<int>{7});
    EXPECT_EQ(e.speed, 1);

    // 99 characters fit the buffer; the tail of a longer line must not run as a command.
    std::string input = "f1" + std::string(97, ' ') + "f2\nf3\n";
    FILE *in = fmemopen(input.data(), input.size(), "r");
    ASSERT_NE(in, nullptr);
    g_toggles.clear();
    console_run(in);  // returns at the end of input instead of retrying
    fclose(in);
    EXPECT_EQ(g_toggles, (std::vector<int>{1, 3}));
}

}  // namespace
