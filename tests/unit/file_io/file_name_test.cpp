// The audio file-name grammar, decoded without a folder.
#include <string>
#include <tuple>

#include "file_io.h"
#include "gtest/gtest.h"

namespace {

struct NameCase {
    const char *stem;  // file name without its extension
    int func_id;
    play_type_t type;
    int variant;
    int speed, load, end_speed, delay;
    uint32_t period;
};

constexpr play_type_t ONESHOT = PLAY_TYPE_ONESHOT, ON = PLAY_TYPE_ON, OFF = PLAY_TYPE_OFF,
                      LOOP = PLAY_TYPE_LOOP, LOOPD = PLAY_TYPE_LOOPD, REPEAT = PLAY_TYPE_REPEAT,
                      REPEATD = PLAY_TYPE_REPEATD;

// The worked examples as stored track entries are in folder_scan_test.cpp; these are the rest of
// the token table, precedence, signs and numbers that do not fit.
TEST(FileNameGrammar, TokensDecodeToTheirValues) {
    const NameCase cases[] = {
        // stem                       func type                  var  spd load end delay period
        {"F4e_loop", 4, LOOP, 4, -1, -1, -1, 0, 0},
        {"FA_ON", 0, ON, 0, -1, -1, -1, 0, 0},  // empty number is function 0
        {"F_ON", 0, ON, -1, -1, -1, -1, 0, 0},
        {"F7-X_ON", 7, ON, -1, -1, -1, -1, 0, 0},  // a non-letter ends the number, no variant
        {"F255_ON", 255, ON, -1, -1, -1, -1, 0, 0},
        {"F1_ACCEL", 1, PLAY_TYPE_ACCEL, -1, -1, -1, -1, 0, 0},
        {"F1_DECEL", 1, PLAY_TYPE_DECEL, -1, -1, -1, -1, 0, 0},
        {"F1_DECELON", 1, PLAY_TYPE_DECELON, -1, -1, -1, -1, 0, 0},
        {"F1_STOP", 1, PLAY_TYPE_STOP, -1, -1, -1, -1, 0, 0},
        {"F1_ESTOP", 1, PLAY_TYPE_ESTOP, -1, -1, -1, -1, 0, 0},  // not an end speed
        {"F1_LOOPD3", 1, LOOPD, -1, -1, -1, -1, 0, 0},
        {"F1_XLOOP", 1, LOOP, -1, -1, -1, -1, 0, 0},  // contains LOOP
        {"F1_turbo", 1, PLAY_TYPE_TURBO, -1, -1, -1, -1, 0, 0},
        {"F1_ON_OFF", 1, OFF, -1, -1, -1, -1, 0, 0},  // a later token overrides
        {"F1_S-5_ON", 1, ON, -1, -5, -1, -1, 0, 0},   // a sign is accepted
        {"F1_S127_M0", 1, ONESHOT, -1, 127, 0, -1, 0, 0},
        {"F1_S20_S30", 1, ONESHOT, -1, 30, -1, -1, 0, 0},
        {"F1_D-20", 1, ONESHOT, -1, -1, -1, -1, -20, 0},
        {"F1_DX", 1, ONESHOT, -1, -1, -1, -1, 0, 0},
        // Period and the REPEAT rule: only a speed (not a load) with a period makes a loop a part.
        {"F1_S10_PX_LOOP", 1, REPEAT, -1, 10, -1, -1, 0, 1},
        {"F1_P_LOOP", 1, LOOP, -1, -1, -1, -1, 0, 0},
        {"F1_P500_ON_S10", 1, ON, -1, 10, -1, -1, 0, 500},
        {"F1_P4294967295", 1, ONESHOT, -1, -1, -1, -1, 0, 4294967295u},
        // Numbers that do not fit their field are absent, never wrapped.
        {"F1_S128_ON", 1, ON, -1, -1, -1, -1, 0, 0},
        {"F1_S-129_ON", 1, ON, -1, -1, -1, -1, 0, 0},
        {"F1_S20_S300", 1, ONESHOT, -1, 20, -1, -1, 0, 0},
        {"F1_M200_LOOP", 1, LOOP, -1, -1, -1, -1, 0, 0},
        {"F1_D40000_START", 1, PLAY_TYPE_START, -1, -1, -1, -1, 0, 0},
        {"F1_D-40000", 1, ONESHOT, -1, -1, -1, -1, 0, 0},
        {"F1_S10_P-5_LOOP", 1, LOOP, -1, 10, -1, -1, 0, 0},
        {"F1_S10_P4294967296_LOOP", 1, LOOP, -1, 10, -1, -1, 0, 0},
        {"F1_S99999999999999999999999_ON", 1, ON, -1, -1, -1, -1, 0, 0},
        // Empty tokens and stray separators are ignored.
        {"F1__ON_", 1, ON, -1, -1, -1, -1, 0, 0},
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.stem);
        fileIO_name_info_t info;
        ASSERT_TRUE(fileIO_decodeFileName(c.stem, &info));
        EXPECT_EQ(std::tuple(info.func_id, info.type, info.variant_id, info.speed, info.load, info.end_speed,
                             info.delay_ms, info.period_ms),
                  std::tuple(c.func_id, c.type, c.variant, c.speed, c.load, c.end_speed, c.delay, c.period));
    }
}

TEST(FileNameGrammar, NamesWithoutAFittingFunctionAreRefused) {
    // F300 must not become F44, nor F-1 become F255.
    for (const char *stem :
         {"X1_ON", "", "_F1_ON", "ON_F1", "F300_ON", "F256", "F-1_ON", "F99999999999999999999_ON"}) {
        SCOPED_TRACE(stem);
        fileIO_name_info_t info;
        EXPECT_FALSE(fileIO_decodeFileName(stem, &info));
    }
    fileIO_name_info_t info;
    EXPECT_FALSE(fileIO_decodeFileName(nullptr, &info));
}

TEST(FileNameGrammar, VeryLongNamesDecodeWithoutOverrun) {
    std::string stem = "F12_" + std::string(5000, 'S') + "_S40_" + std::string(3000, '_') + "LOOP";
    fileIO_name_info_t info;
    ASSERT_TRUE(fileIO_decodeFileName(stem.c_str(), &info));
    EXPECT_EQ(info.func_id, 12);
    EXPECT_EQ(info.speed, 40);
    EXPECT_EQ(info.type, PLAY_TYPE_LOOP);
}

}  // namespace
