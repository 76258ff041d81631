// CV configuration: defaults, the side effects of CV writes, the function-to-output mapping and
// the service callbacks.
#include "dcc_fixture.h"

namespace {

struct Row {
    uint16_t cv;
    uint8_t value;
};

// The factory values, a few rows per CV group.
const Row kDefaults[] = {
    {0, 170},    {1, 3},      {2, 3},      {3, 34},    {4, 25},    {5, 255},    {6, 127},    {7, 255},
    {8, 172},    {13, 0},     {14, 3},     {17, 192},  {18, 100},  {19, 0},     {28, 130},   {29, 10},
    {50, 10},    {51, 40},    {54, 7},     {55, 12},   {58, 80},   {59, 7},     {60, 90},    {61, 10},
    {62, 10},    {63, 10},    {64, 0},     {67, 0},    {68, 4},    {69, 9},     {80, 61},    {93, 123},
    {94, 128},   {112, 16},   {113, 16},   {114, 0},   {119, 255}, {125, 255},  {126, 0},    {133, 100},
    {134, 100},  {135, 20},   {136, 50},   {137, 1},   {138, 10},  {139, 0xB5}, {142, 0xF7}, {151, 0xB5},
    {152, 0xC7}, {153, 0x9F}, {164, 0xFF}, {165, 6},   {192, 1},   {193, 100},  {194, 30},   {195, 50},
    {200, 28},   {201, 40},   {202, 1},    {203, 255}, {204, 35},  {205, 95},   {206, 22},   {207, 23},
    {208, 0},    {210, 100},  {211, 0},    {219, 255}, {225, 255}, {226, 0},    {280, 1},    {281, 2},
    {282, 4},    {283, 4},    {292, 128},  {293, 128}, {294, 0},   {355, 0},    {356, 1},    {357, 1},
    {362, 8},    {363, 8},    {364, 0},    {403, 0},
};

class FreshDecoder : public Decoder {
protected:
    // Leftovers on the page: defaults are written over them.
    void preset() override {
        Memory_SaveU8(196, 77);
        Memory_SaveU8(300, 9);
        Memory_SaveU8(3, 99);
    }
};

TEST_F(FreshDecoder, StartUpWritesTheDefaultsOverAnUnmarkedPage) {
    EXPECT_EQ(log.count("Reset all CV[1]"), 1) << log.dump();
    for (const Row &r : kDefaults)
        EXPECT_EQ(Memory_LoadU8(r.cv), r.value) << "CV " << r.cv;
    EXPECT_EQ(Memory_LoadU8(196), 77) << "CVs without a default keep their value";
    EXPECT_EQ(Memory_LoadU8(300), 0) << "mapping bytes beyond F6 are cleared";
    // The full rewrite arms the slot's CV file and forgets the per-function volumes.
    EXPECT_EQ(fake_nvs.u8("file_update"), 255);
    // Start-up loads the motor rates from the defaults.
    EXPECT_EQ(EngineParams.Accel, 7680u);
    EXPECT_EQ(EngineParams.Decel, 10240u);
    EXPECT_EQ(EngineParams.MaxSpeed, 65280u);
    EXPECT_EQ(Outputs_GetRawType(0), 16);
    EXPECT_EQ(Outputs_GetMaxDuty(11), 255);
}

class MarkedDecoder : public Decoder {
protected:
    void preset() override {
        Memory_SaveU8(0, 170);
        Memory_SaveU8(3, 99);
        fake_nvs.values["function_vol"] = {1, 2, 3};
    }
};

TEST_F(MarkedDecoder, MarkedPageKeepsItsValuesAndGetsMissingTables) {
    EXPECT_EQ(log.count("Reset all CV["), 0);
    EXPECT_EQ(Memory_LoadU8(3), 99);
    EXPECT_EQ(Memory_LoadU8(210), 100);
    EXPECT_EQ(Memory_LoadU8(94), 128);
    EXPECT_EQ(Memory_LoadU8(80), 61);
    EXPECT_EQ(Memory_LoadU8(194), 30);
    EXPECT_EQ(Memory_LoadU8(195), 50);
    EXPECT_EQ(EngineParams.Accel, (1020u / 99) * 256);

    // Mapping-only reset: the mapping comes back, the rest stays.
    Memory_SaveU8(280, 0);
    Memory_SaveU8(320, 5);
    DCC_WriteAllCV(2);
    EXPECT_TRUE(log.contains("Reset all CV[2]"));
    EXPECT_EQ(Memory_LoadU8(280), 1);
    EXPECT_EQ(Memory_LoadU8(320), 0);
    EXPECT_EQ(Memory_LoadU8(3), 99);
    EXPECT_FALSE(fake_nvs.has("function_vol"));
    EXPECT_FALSE(fake_nvs.has("file_update"));

    // Other values rewrite the page unchanged.
    DCC_WriteAllCV(7);
    EXPECT_EQ(Memory_LoadU8(3), 99);
    EXPECT_EQ(Memory_LoadU8(0), 170);
}

TEST_F(Decoder, MotorCvWritesReloadTheRates) {
    write_cv(3, 20);
    EXPECT_TRUE(log.contains("CV3=20"));
    EXPECT_EQ(EngineParams.Accel, 13056u);
    write_cv(4, 0);
    EXPECT_EQ(EngineParams.Decel, 65280u);
    write_cv(5, 0);
    EXPECT_EQ(EngineParams.MaxSpeed, 65280u);
    write_cv(6, 100);
    EXPECT_EQ(EngineParams.NomSpeed, 25600u);
}

TEST_F(Decoder, OutputCvWritesReachOnlyTheirOutput) {
    write_cv(120, 100);
    EXPECT_EQ(Outputs_GetMaxDuty(1), 100);
    for (uint8_t out : {0, 2, 3, 4, 5, 6, 7, 11})
        EXPECT_EQ(Outputs_GetMaxDuty(out), 255) << int(out);

    write_cv(221, 60);  // output 9
    EXPECT_EQ(Outputs_GetMaxDuty(9), 60);
    write_cv(228, 5);  // output 9 minimum
    EXPECT_EQ(Outputs_GetMinDuty(9), 5);
    write_cv(216, 3);  // output 11 type
    EXPECT_EQ(Outputs_GetType(11), 3);
    write_cv(114, 5);  // output 2: pulse
    EXPECT_EQ(Outputs_GetRawType(2), 5);

    // Output numbers 12 and 13 have CVs but no output: nothing else changes.
    write_cv(224, 1);
    write_cv(225, 2);
    write_cv(231, 3);
    write_cv(217, 9);
    write_cv(218, 9);
    EXPECT_EQ(Outputs_GetMaxDuty(11), 255);
    EXPECT_EQ(Outputs_GetType(11), 3);
    EXPECT_EQ(Outputs_GetMaxDuty(12), 0);
}

TEST_F(Decoder, SlotVolumeAndLoadCvWrites) {
    write_cv(202, 2);
    EXPECT_TRUE(log.contains("CV202=2"));
    EXPECT_EQ(fake_nvs.u8("file_update"), 255);
    write_cv(202, 0);  // names no slot (the loader then unloads; there is no sound engine here)
    EXPECT_TRUE(log.contains("CV202=0"));

    function_volume[5] = 70;
    write_cv(192, 5);
    EXPECT_EQ(Memory_LoadU8(193), 70);
    write_cv(193, 40);
    EXPECT_EQ(function_volume[5], 40);

    write_cv(194, 12);
    EXPECT_EQ(engine_load_accel, 12);
}

TEST_F(Decoder, F0LightsFollowTheDirection) {
    ASSERT_EQ(DCC_GetCurrentDirection(), -1);
    DCC_ChangeFunction(0);
    run_ms(300);
    EXPECT_FALSE(Outputs_GetState(0));
    EXPECT_TRUE(Outputs_GetState(1));
    EXPECT_EQ(DCC_GetOutputEnableMask(1), 1u);

    DCC_MotorDirHandler(5000);  // the motor reports direction 1
    EXPECT_EQ(DCC_GetCurrentDirection(), 1);
    run_ms(300);
    EXPECT_TRUE(Outputs_GetState(0));
    EXPECT_FALSE(Outputs_GetState(1));
    EXPECT_EQ(DCC_GetOutputEnableMask(0), 1u);
    EXPECT_EQ(DCC_GetOutputEnableMask(1), 0u);

    DCC_ChangeFunction(0);
    run_ms(300);
    EXPECT_FALSE(Outputs_GetState(0));
    EXPECT_FALSE(Outputs_GetState(1));
}

TEST_F(Decoder, SharedOutputStaysOnWhileAnyFunctionHoldsIt) {
    write_cv(284, 4);  // F2 also drives output 2 (F1's output)
    write_cv(285, 4);
    DCC_ChangeFunction(1);
    DCC_ChangeFunction(2);
    run_ms(50);
    EXPECT_EQ(DCC_GetOutputEnableMask(2), 0b110u);
    DCC_ChangeFunction(1);
    run_ms(50);
    EXPECT_TRUE(Outputs_GetState(2));
    DCC_ChangeFunction(2);
    run_ms(50);
    EXPECT_FALSE(Outputs_GetState(2));

    // A mapping write drops the function's hold without switching the output.
    DCC_ChangeFunction(1);
    run_ms(50);
    write_cv(282, 0);
    EXPECT_EQ(DCC_GetOutputEnableMask(2), 0u);
    EXPECT_TRUE(Outputs_GetState(2));
    write_cv(283, 0);  // both directions unmapped: the next change of F1 leaves output 2 alone
    DCC_ChangeFunction(1);
    run_ms(50);
    EXPECT_TRUE(Outputs_GetState(2));
}

TEST_F(Decoder, DimmingSetsTheMaximumOfMappedOutputs) {
    DCC_SetFunctionDimm(1, 50);  // F1 -> output 2
    EXPECT_EQ(Outputs_GetMaxDuty(2), 127);
    DCC_SetFunctionDimm(1, 0);  // back to the configured maximum
    EXPECT_EQ(Outputs_GetMaxDuty(2), 255);
    DCC_SetOutputDimm(8, 200);  // percentages above 100 are full scale, not wrapped
    EXPECT_EQ(Outputs_GetMaxDuty(8), 255);
    DCC_SetOutputDimm(8, 10);
    EXPECT_EQ(Outputs_GetMaxDuty(8), 25);
    DCC_SetOutputDimm(12, 10);  // no such output
    DCC_SetFunctionDimm(69, 10);
}

TEST_F(Decoder, FactoryResetRequestsWithinHalfASecondCountOnce) {
    log.clear();
    write_cv(3, 50);
    run_ms(100);
    notifyCVResetFactoryDefault(171);  // hardware flag only
    EXPECT_EQ(fake_nvs.u8("hw_flags"), 1);
    EXPECT_EQ(Memory_LoadU8(3), 50);

    notifyCVResetFactoryDefault(1);
    EXPECT_EQ(Memory_LoadU8(3), 34);
    write_cv(3, 50);
    run_ms(300);
    notifyCVResetFactoryDefault(1);  // 300 ms later: ignored
    run_ms(300);
    notifyCVResetFactoryDefault(1);  // 300 ms after the ignored one: ignored too
    EXPECT_EQ(Memory_LoadU8(3), 50);
    run_ms(501);
    notifyCVResetFactoryDefault(1);
    EXPECT_EQ(Memory_LoadU8(3), 34);
    EXPECT_EQ(log.count("Reset all CV[1]"), 2);
}

TEST_F(Decoder, IdentificationReads) {
    const loco_info_t saved_info = loco_info;
    const short_gui_t saved_gui = short_gui;
    memset(&loco_info, 0, sizeof loco_info);
    strcpy(loco_info.name, "BR218");
    loco_info.functions[3] = 0x1000 | 7;
    short_gui = short_gui_t{};
    memcpy(short_gui.name, "BR218   ", 8);
    short_gui.symbol = 1;

    // Per index page (CV 31, CV 32), the value read at each CV number. CV numbers count from 1:
    // a 0 reads nothing, whatever the page.
    struct Page {
        uint8_t cv31, cv32;
        std::vector<std::pair<uint8_t, uint8_t>> reads;
    };
    const Page pages[] = {
        {2, 2, {{1, 19}, {2, 'B'}, {20, 0}, {0, 0}}},
        {1, 0, {{1, 64}, {2, 0}, {4, 2}, {5, 'B'}, {9, '8'}, {36, 0}, {0, 0}}},
        {1, 1, {{7, 0x80}, {8, 7}, {255, 0}, {0, 0}}},
        {2, 4, {{1, 138}, {8, 3}, {9, 5}, {255, 0}, {0, 0}}},
        {3, 3, {{1, 0}}},
    };
    for (const Page &p : pages) {
        for (auto [cv, expected] : p.reads)
            EXPECT_EQ(notifyIndexedRead(p.cv31, p.cv32, cv), expected)
                << int(p.cv31) << "/" << int(p.cv32) << "/" << int(cv);
    }
    uint8_t values[4] = {};
    EXPECT_FALSE(notifyIndexedWrite4(2, 2, 1, values));
    short_gui.symbol = 2;
    EXPECT_EQ(getRcomPlusLocoType(&short_gui), 128);
    short_gui.symbol = 5;
    EXPECT_EQ(getRcomPlusLocoType(&short_gui), 0);

    loco_info = saved_info;
    short_gui = saved_gui;
}

TEST_F(Decoder, ServiceCallbacks) {
    EXPECT_EQ(notifySusiCVWrite(900, 7), 0) << "SUSI disabled";
    EXPECT_EQ(notifySusiCVVerify(900, 7), 0);
    write_cv(64, 1);
    EXPECT_EQ(notifySusiCVWrite(900, 7), 7);
    EXPECT_EQ(notifySusiCVVerify(901, 8), 8);
    EXPECT_TRUE(log.contains("SUSI Write CV900=7"));
    EXPECT_TRUE(log.contains("SUSI Verify CV901=8"));

    EXPECT_FALSE(notifyRailcomCh1(3, RCOM_MSG_ADR));
    EXPECT_FALSE(notifyRailcomCh2(3, RCOM_MSG_POM));
}

TEST_F(Decoder, LogonErrorLightsEverythingAndRestores) {
    write_cv(121, 255);
    write_cv(118, 9);  // output 6 is a servo: left alone
    notifyLogonError(true);
    for (uint8_t out = 0; out < 12; out++) {
        if (out == 6) continue;
        EXPECT_EQ(Outputs_GetType(out), 1) << int(out);
    }
    EXPECT_EQ(Outputs_GetType(6), 9);
    notifyLogonError(false);
    EXPECT_EQ(Outputs_GetRawType(0), 16);
    EXPECT_EQ(Outputs_GetRawType(2), 0);
    EXPECT_EQ(Outputs_GetType(6), 9);
    EXPECT_EQ(Outputs_GetStateWord(), 0u);
}

TEST_F(Decoder, ResetPacketStopsAndReappliesTheMapping) {
    DCC_ChangeFunction(1);
    run_ms(50);
    ASSERT_TRUE(Outputs_GetState(2));
    notifyDccReset(1);  // hard reset: ignored
    EXPECT_FALSE(log.contains("DCC RESET"));
    notifyDccReset(0);
    EXPECT_TRUE(log.contains("DCC RESET"));
    EXPECT_TRUE(EngineParams.ImmediateStop);
    EXPECT_EQ(DCC_GetOutputEnableMask(2), 2u) << "F1 is still on and holds output 2 again";
    run_ms(50);
    EXPECT_TRUE(Outputs_GetState(2));
}

}  // namespace
