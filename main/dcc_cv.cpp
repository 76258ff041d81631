// CV configuration of the DCC layer: start-up, the factory defaults, the side effects of a CV
// write, the function-to-output mapping with direction dependence and dimming, and the
// service callbacks (factory reset, SUSI CV access, identification reads, RailCom, logon).
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

#include "board_drivers.h"
#include "board_time.h"
#include "dcc_hl.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "memory.h"
#include "movement.h"
#include "nvs_hl.h"
#include "outputs.h"
#include "sound_hl.h"

static const char *TAG = "DCC_HL";

static const uint8_t CV_MARKER = 170;  // CV 0 once the defaults have been written
static const uint16_t CV_SPEED_TABLE = 67;
static const uint8_t SPEED_TABLE_LEN = 28;
static const uint16_t CV_MAP_LOW = 280;   // mapping low bytes (outputs 0..7), 2 per function
static const uint16_t CV_MAP_HIGH = 342;  // mapping high bytes (outputs 8..15)
static const uint8_t MAPPED_FUNCTIONS = 31;

// Bit (f mod 32) is set while function f keeps the output on.
static uint32_t outputEnableMask[DCC_OUTPUT_MASKS];
static bool logonErrorState;
static uint32_t last_reset_time;
static bool reset_requested;  // a factory reset request has been seen (last_reset_time is valid)
static esp_timer_handle_t speed_store_timer;
static esp_timer_handle_t susi_timer;

// ---- defaults ----

static const uint8_t SEQUENCE_0[13] = {0xB5, 0xFD, 0x6F, 0xF7, 0xB5, 0xFD, 0x6F,
                                       0xF7, 0xB5, 0xFD, 0x6F, 0xF7, 0xB5};
static const uint8_t SEQUENCE_1[13] = {0xC7, 0x9F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

static void fill(uint8_t *page, uint16_t first, uint16_t last, uint8_t value) {
    for (uint16_t cv = first; cv <= last; cv++)
        page[cv] = value;
}

static void put(uint8_t *page, uint16_t first, std::initializer_list<uint8_t> values) {
    for (uint8_t v : values)
        page[first++] = v;
}

static uint8_t speed_table_default(uint8_t i) {
    return (uint8_t)(i * 128 / 27);
}

// Every default except the function mapping.
static void apply_defaults(uint8_t *page) {
    page[0] = CV_MARKER;
    put(page, 1, {3, 3, 34, 25, 255, 127, 255, 172});
    put(page, 13, {0, 3});
    put(page, 17, {192, 100, 0});
    page[27] = 0;
    put(page, 28, {130, 10});
    put(page, 50, {10, 40, 0, 0, 7, 12, 0, 0, 80, 7, 90});
    put(page, 61, {10, 10, 10, 0});
    for (uint8_t i = 0; i < SPEED_TABLE_LEN; i++)
        page[CV_SPEED_TABLE + i] = speed_table_default(i);
    put(page, 112, {16, 16, 0, 0, 0, 0, 0});
    fill(page, 119, 125, 255);
    fill(page, 126, 132, 0);
    put(page, 133, {100, 100, 20, 50, 1, 10});
    memcpy(page + 139, SEQUENCE_0, sizeof SEQUENCE_0);
    memcpy(page + 152, SEQUENCE_1, sizeof SEQUENCE_1);
    page[165] = 6;
    page[167] = 0;
    put(page, 192, {1, 100, 30, 50});
    put(page, 200, {28, 40, 1, 255, 35, 95, 22, 23, 0, 0, 100, 0});
    fill(page, 212, 218, 0);
    fill(page, 219, 225, 255);
    fill(page, 226, 232, 0);
}

// F0 forward -> output 0, F0 reverse -> output 1, F1..F10 -> outputs 2..11 in both directions.
static void apply_mapping_defaults(uint8_t *page) {
    fill(page, 294, 403, 0);
    put(page, 280, {1, 2, 4, 4, 8, 8, 16, 16, 32, 32, 64, 64, 128, 128});
    put(page, 356, {1, 1, 2, 2, 4, 4, 8, 8});
}

void DCC_WriteAllCV(uint8_t value) {
    ESP_LOGW(TAG, "Reset all CV[%u]", value);
    uint8_t *buf = (uint8_t *)malloc(1024);
    if (buf == nullptr) {
        ESP_LOGE(TAG, "Could not allocate CVBuf");
        return;
    }
    Memory_ReadPage(buf, MEMORY_PAGE_SIZE);
    if (value == 1) apply_defaults(buf);
    if (value == 1 || value == 2) {
        apply_mapping_defaults(buf);
        soundHL_forget_function_volumes();
    }
    Memory_WritePage(buf, MEMORY_PAGE_SIZE);
    const uint8_t slot = buf[202];
    free(buf);
    if (value == 1) {
        nvsHL_set_file_update_flags(FILE_UPDATE_ALL);
        if (slot != 0) soundHL_load_slot(slot - 1u, 1);
    }
}

// ---- start-up ----

static void load_output_config(void) {
    for (uint8_t i = 0; i < 7; i++) {
        Outputs_SetMaxDuty(i, Memory_LoadU8((uint16_t)(119 + i)));
        Outputs_SetMinDuty(i, Memory_LoadU8((uint16_t)(126 + i)));
        Outputs_SetType(i, Memory_LoadU8((uint16_t)(112 + i)));
    }
    // Output numbers 12 and 13 have CVs but no output: the outputs module ignores them.
    for (uint8_t i = 0; i < 7; i++) {
        Outputs_SetMaxDuty((uint8_t)(7 + i), Memory_LoadU8((uint16_t)(219 + i)));
        Outputs_SetMinDuty((uint8_t)(7 + i), Memory_LoadU8((uint16_t)(226 + i)));
        Outputs_SetType((uint8_t)(7 + i), Memory_LoadU8((uint16_t)(212 + i)));
    }
}

// Output types: outputs 0..6 from CV 112.., outputs 7..11 from CV 212...
static void load_output_types(void) {
    for (uint8_t out = 0; out < DCC_OUTPUT_COUNT; out++) {
        Outputs_SetType(out, Memory_LoadU8((uint16_t)(out < 7 ? 112 + out : 205 + out)));
    }
}

static void stateChangeHandler(uint32_t state) {
    (void)state;
}

void loadSavedStates(void) {
    Outputs_LoadStates(0, stateChangeHandler);
}

static esp_timer_handle_t start_timer(esp_timer_handle_t old, esp_timer_cb_t cb, const char *name) {
    if (old != nullptr) {
        esp_timer_stop(old);
        esp_timer_delete(old);
    }
    esp_timer_create_args_t args = {};
    args.callback = cb;
    args.name = name;
    esp_timer_handle_t timer = nullptr;
    if (esp_timer_create(&args, &timer) != ESP_OK) return nullptr;
    esp_timer_start_periodic(timer, 100000);
    return timer;
}

void DCC_Init(void) {
    dcc_reset_command_state();
    for (auto &m : outputEnableMask)
        m = 0;
    logonErrorState = false;
    reset_requested = false;
    last_reset_time = 0;

    if (Memory_LoadU8(0) != CV_MARKER) DCC_WriteAllCV(1);

    Memory_Start();
    if (Memory_LoadU8(210) == 0) {
        Memory_SaveU8(210, 100);
        Memory_SaveU8(211, 0);
    }
    if (Memory_LoadU8(94) == 0) {
        for (uint8_t i = 0; i < SPEED_TABLE_LEN; i++)
            Memory_SaveU8((uint16_t)(CV_SPEED_TABLE + i), speed_table_default(i));
    }
    if (Memory_LoadU8(194) == 0) {
        Memory_SaveU8(194, 30);
        Memory_SaveU8(195, 50);
    }
    Memory_Finish();

    load_output_config();
    Outputs_SetCustomSequence(0, Memory_GetPtr(139));
    Outputs_SetCustomSequence(1, Memory_GetPtr(152));
    Outputs_SetCallbackPeriod(Memory_LoadU8(138));
    Outputs_SetBlinkPeriod(0, Memory_LoadU8(133));
    Outputs_SetBlinkPeriod(1, Memory_LoadU8(134));
    Outputs_SetLampSwitchingTime(0, Memory_LoadU8(135));
    Outputs_SetLampSwitchingTime(1, Memory_LoadU8(136));
    Outputs_SetOnTime(Memory_LoadU8(137));

    nvsHL_get_speed_and_dir(&lastStoredSpeed, &CurrentDirection);
    dcc_take_stored_direction();

    loadSavedStates();

    if (isSusiEnabled()) {
        SUSI_Init();
        susi_timer = start_timer(susi_timer, susi_handler, "susi_tick");
    } else if (susi_timer != nullptr) {
        esp_timer_stop(susi_timer);
        esp_timer_delete(susi_timer);
        susi_timer = nullptr;
    }
    speed_store_timer = start_timer(speed_store_timer, speed_store_handler, "speed_tick");

    NmraDcc_init(172, 255, 1);
    NmraDcc_Callback.notifyDccFunc = notifyDccFunc;
    NmraDcc_Callback.notifyDccSpeed = notifyDccSpeed;
    NmraDcc_Callback.notifyCVAck = notifyCVAck;
    NmraDcc_Callback.notifyCVChange = DCC_ChangeCV;
    NmraDcc_Callback.notifySusiCVWrite = notifySusiCVWrite;
    NmraDcc_Callback.notifySusiCVVerify = notifySusiCVVerify;
    NmraDcc_Callback.notifyCVResetFactoryDefault = notifyCVResetFactoryDefault;
    NmraDcc_Callback.notifyDccReset = notifyDccReset;
    NmraDcc_Callback.notifyModeChange = notifyModeChange;
    NmraDcc_Callback.notifyRailcomCh1 = notifyRailcomCh1;
    NmraDcc_Callback.notifyRailcomCh2 = notifyRailcomCh2;
    NmraDcc_Callback.notifyLogonError = notifyLogonError;
    NmraDcc_Callback.notifyIndexedRead = notifyIndexedRead;
    NmraDcc_Callback.notifyIndexedWrite4 = notifyIndexedWrite4;
    ADCHL_SetABCCallback(notifyABC);
}

// ---- output mapping ----

void getConfig(uint8_t function, uint16_t *config, uint16_t *configReverse) {
    *config = 0;
    *configReverse = 0;
    if (function >= DCC_FUNCTION_COUNT) return;
    const uint16_t d = CurrentDirection == 1 ? 0 : 1;
    const uint16_t base = (uint16_t)(2 * function);
    *config = (uint16_t)(Memory_LoadU8((uint16_t)(CV_MAP_HIGH + base + d)) << 8 |
                         Memory_LoadU8((uint16_t)(CV_MAP_LOW + base + d)));
    *configReverse = (uint16_t)(Memory_LoadU8((uint16_t)(CV_MAP_HIGH + base + 1 - d)) << 8 |
                                Memory_LoadU8((uint16_t)(CV_MAP_LOW + base + 1 - d)));
}

void OutputEnable(uint8_t id, uint8_t function) {
    if (id >= DCC_OUTPUT_MASKS) return;
    if (outputEnableMask[id] == 0) Outputs_SetMax(id);
    outputEnableMask[id] |= 1u << (function % 32);
}

void OutputDisable(uint8_t id, uint8_t function) {
    if (id >= DCC_OUTPUT_MASKS) return;
    outputEnableMask[id] &= ~(1u << (function % 32));
    if (outputEnableMask[id] == 0) Outputs_SetMin(id);
}

uint32_t DCC_GetOutputEnableMask(uint8_t id) {
    return id < DCC_OUTPUT_MASKS ? outputEnableMask[id] : 0;
}

void outputsMappingHandler(uint8_t function) {
    uint16_t config, configReverse;
    getConfig(function, &config, &configReverse);
    if (config == 0 && configReverse == 0) return;
    const bool on = dcc_effective_state(function);
    for (uint8_t out = 0; out < DCC_OUTPUT_COUNT; out++) {
        const uint16_t bit = (uint16_t)(1u << out);
        if (config & bit) {
            if (on) {
                OutputEnable(out, function);
            } else {
                OutputDisable(out, function);
            }
        } else if ((configReverse & bit) && on) {
            OutputDisable(out, function);
        }
    }
}

void directionChanged(uint8_t function) {
    if (!dcc_effective_state(function)) return;
    uint16_t config, configReverse;  // new direction, old direction
    getConfig(function, &config, &configReverse);
    for (uint8_t out = 0; out < DCC_OUTPUT_COUNT; out++) {
        const uint16_t bit = (uint16_t)(1u << out);
        if (!((config ^ configReverse) & bit)) continue;
        if (configReverse & bit) OutputDisable(out, function);
        if (config & bit) OutputEnable(out, function);
    }
}

void outputDimmingHandler(uint8_t output, uint8_t value) {
    if (output >= DCC_OUTPUT_COUNT) return;
    if (value == 0) value = Memory_LoadU8((uint16_t)(output < 7 ? 119 + output : 212 + output));
    Outputs_SetMaxDuty(output, value);
}

void functionDimmingHandler(uint8_t function, uint8_t value) {
    uint16_t config, configReverse;
    getConfig(function, &config, &configReverse);
    for (uint8_t out = 0; out < DCC_OUTPUT_COUNT; out++) {
        if ((config | configReverse) & (1u << out)) outputDimmingHandler(out, value);
    }
}

void updateOutputEnableMask(uint8_t bank, uint16_t mapCV, uint8_t value) {
    const uint8_t f = (uint8_t)(mapCV / 2);
    if (f >= MAPPED_FUNCTIONS) return;
    const uint8_t first = bank == 0 ? 0 : 8;
    const uint8_t last = bank == 0 ? 7 : DCC_OUTPUT_COUNT - 1;
    for (uint8_t out = first; out <= last; out++) {
        if (!(value & (1u << (out - first)))) outputEnableMask[out] &= ~(1u << (f % 32));
    }
}

void dcc_reinit_outputs(void) {
    load_output_types();
    for (uint8_t out = 0; out < DCC_OUTPUT_COUNT; out++)
        Outputs_SetMin(out);
    for (auto &m : outputEnableMask)
        m = 0;
    for (uint8_t f = 0; f < DCC_FUNCTION_COUNT - 1; f++)
        outputsMappingHandler(f);
}

// ---- service callbacks ----

void notifyDccReset(uint8_t hardReset) {
    if (hardReset != 0) return;
    ESP_LOGI(TAG, "DCC RESET");
    Engine_EStop();
    logonErrorState = false;
    dcc_reinit_outputs();
}

void notifyCVResetFactoryDefault(uint8_t Value) {
    if (Value == 171) {
        nvsHL_set_hw_flags(1);
        return;
    }
    // Requests repeated within 500 ms are one request; each ignored one restarts the window.
    // The window only exists after a first request, so one right after start-up is honoured.
    const uint32_t now = Time();
    if (reset_requested && now - last_reset_time < 501) {
        last_reset_time = now;
        return;
    }
    DCC_WriteAllCV(Value);
    last_reset_time = now;
    reset_requested = true;
}

void notifyCVAck(void) {
    DCDriver_PowerAck(6);
}

uint8_t notifySusiCVVerify(uint16_t CV, uint8_t Value) {
    if (!isSusiEnabled()) return 0;
    ESP_LOGI(TAG, "SUSI Verify CV%u=%u", CV, Value);
    SUSI_VerifyCV(CV, Value);
    return Value;
}

uint8_t notifySusiCVWrite(uint16_t CV, uint8_t Value) {
    if (!isSusiEnabled()) return 0;
    ESP_LOGI(TAG, "SUSI Write CV%u=%u", CV, Value);
    SUSI_WriteCV(CV, Value);
    return Value;
}

uint8_t getRcomPlusLocoType(short_gui_t *gui) {
    switch (gui->symbol) {
        case 0:
            return 32;
        case 1:
            return 64;
        case 2:
            return 128;
        default:
            return 0;
    }
}

uint8_t notifyIndexedRead(uint8_t cv31, uint8_t cv32, uint8_t cv) {
    // Indexed CVs count from 1: a 0 names nothing (and would index before the records).
    if (cv == 0) return 0;
    const unsigned i = cv - 1u;
    if (cv31 == 1 && cv32 == 0) {
        if (i == 0) return getRcomPlusLocoType(&short_gui);
        if (i == 3) return 2;
        if (i >= 4 && i < 4 + sizeof loco_info.name) return (uint8_t)loco_info.name[i - 4];
        return 0;
    }
    if (cv31 == 1 && cv32 == 1) {
        if (i >= 2 * MAX_FUNCTIONS) return 0;
        const uint16_t e = loco_info.functions[i / 2];
        if (cv & 1) return (e & 0x1000) ? 0x80 : 0;
        return (uint8_t)(e & 0xFF);
    }
    if (cv31 == 2 && cv32 == 2) {
        if (i == 0) return sizeof(short_gui_t);
        if (cv - 2u < sizeof(short_gui_t)) return ((const uint8_t *)&short_gui)[cv - 2];
        return 0;
    }
    if (cv31 == 2 && cv32 == 4) {
        if (i == 0) return 2 * MAX_FUNCTIONS;
        const unsigned k = (cv - 2u) / 2;
        if (!(cv & 1)) return (uint8_t)k;
        if (k < MAX_FUNCTIONS) {
            const uint8_t code = (uint8_t)(loco_info.functions[k] & 0xFF);
            return code > 1 ? (uint8_t)(code - 2) : 0;
        }
        return 0;
    }
    return 0;
}

bool notifyIndexedWrite4(uint8_t cv31, uint8_t cv32, uint8_t cv, uint8_t *values) {
    (void)cv31;
    (void)cv32;
    (void)cv;
    (void)values;
    return false;
}

// The cut-out notifications are forwarded to the RailCom transmitter; they report false
// ("nothing sent by this layer"), since the transmitter answers for itself.
bool notifyRailcomCh1(uint16_t Address, RcomMsgType_t MsgType) {
    RailcomTx_CutoutCh1Notification(Address, MsgType);
    return false;
}

bool notifyRailcomCh2(uint16_t CV, RcomMsgType_t MsgType) {
    RailcomTx_CutoutCh2Notification(CV, MsgType);
    return false;
}

void notifyLogonError(bool state) {
    if (state && !logonErrorState) {
        // Every light on as a signal; servos keep their position.
        for (uint8_t out = 0; out < DCC_OUTPUT_COUNT; out++) {
            if (Outputs_GetType(out) == 9) continue;
            Outputs_SetType(out, 1);
            Outputs_SetMax(out);
        }
    } else if (!state && logonErrorState) {
        load_output_types();
        loadSavedStates();
    }
    logonErrorState = state;
}
