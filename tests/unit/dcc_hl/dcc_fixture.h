// A started decoder (the host's own start-up) on the manual clock, with an in-memory store.
#pragma once

#include <gtest/gtest.h>

#include <cstring>

#include "callback.h"
#include "dcc_hl.h"
#include "decoder.h"
#include "emulator.h"
#include "fake_nvs.h"
#include "memory.h"
#include "movement.h"
#include "outputs.h"
#include "sound_hl.h"
#include "test_support.h"

class Decoder : public ::testing::Test {
protected:
    void SetUp() override {
        Memory_ResetForTest();
        Callback_SetDefaults();
        memset(functions, 0, sizeof functions);
        memset(function_volume, 0, sizeof function_volume);
        MillisecondCounter.store(0);
        decoder_set_speed(1);
        preset();
        emulator_init_decoder();
    }
    // Runs before start-up: tests put stored values or CVs in place here.
    virtual void preset() {}

    // Runs n firmware milliseconds.
    void run_ms(int n) {
        for (int i = 0; i < n; i++) {
            clock.advance_ms(1);
            tick();
        }
    }
    // Writes a CV as the console does.
    void write_cv(uint16_t cv, uint8_t value) {
        Memory_SaveU8(cv, value);
        DCC_ChangeCV(cv, value);
    }
    // The first log line containing `text`, or "".
    std::string line_with(const std::string &text) const {
        for (const auto &line : log.lines())
            if (line.find(text) != std::string::npos) return line;
        return "";
    }
    // Console speed line s<n> (n may be negative).
    void console_speed(int n) { decoder_set_speed((uint32_t)(n + 1)); }

    test_support::FakeNvs fake_nvs;  // installed before SetUp: preset() may store values
    ManualClock clock;
    LogCapture log;
};
