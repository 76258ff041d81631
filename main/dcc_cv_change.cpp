// Side effects of a CV write. In a file of its own, like the console's function toggle, so
// that a program may supply its own version of the console's two entry points (test doubles of
// the console grammar) without clashing with the rest of the layer.
#include "board_drivers.h"
#include "dcc_hl.h"
#include "esp_log.h"
#include "memory.h"
#include "nvs_hl.h"
#include "outputs.h"
#include "sound_hl.h"

static const char *TAG = "DCC_HL";

#define OUTPUTS_PER_BANK 7
#define MAP_CVS_PER_BANK 62

// The outputs come in two banks of seven, each with the same layout of CVs: seven type CVs from
// `type_cv`, then seven of maximum and seven of minimum duty, and the bank's mapping CVs from
// `map_cv`. Outputs 0..6 start at CV 112 and 280, outputs 7..13 at CV 212 and 342. False when
// `CV` is none of the bank's.
static bool change_output_cv(uint16_t CV, uint8_t Value, uint8_t bank, uint16_t type_cv, uint16_t map_cv) {
    const unsigned first = bank * OUTPUTS_PER_BANK;
    const unsigned max_cv = type_cv + OUTPUTS_PER_BANK, min_cv = max_cv + OUTPUTS_PER_BANK;
    if (CV >= type_cv && CV < max_cv) {
        Outputs_SetType((uint8_t)(first + CV - type_cv), Value);
    } else if (CV >= max_cv && CV < min_cv) {
        Outputs_SetMaxDuty((uint8_t)(first + CV - max_cv), Value);
    } else if (CV >= min_cv && CV < min_cv + OUTPUTS_PER_BANK) {
        Outputs_SetMinDuty((uint8_t)(first + CV - min_cv), Value);
    } else if (CV >= map_cv && CV < map_cv + MAP_CVS_PER_BANK) {
        updateOutputEnableMask(bank, (uint16_t)(CV - map_cv), Value);
    } else {
        return false;
    }
    return true;
}

void DCC_ChangeCV(uint16_t CV, uint8_t Value) {
    ESP_LOGI(TAG, "CV%u=%u", CV, Value);
    if (change_output_cv(CV, Value, 0, 112, 280) || change_output_cv(CV, Value, 1, 212, 342)) return;
    if (CV == 133 || CV == 134) {
        Outputs_SetBlinkPeriod((uint8_t)(CV - 133), Value);
    } else if (CV == 135 || CV == 136) {
        Outputs_SetLampSwitchingTime((uint8_t)(CV - 135), Value);
    } else if (CV == 137) {
        Outputs_SetOnTime(Value);
    } else if (CV == 138) {
        Outputs_SetCallbackPeriod(Value);
    } else if ((CV >= 2 && CV <= 6) || (CV >= 50 && CV <= 60)) {
        EngineLoadConfig();
    } else if (CV == 202) {
        nvsHL_set_file_update_flags(FILE_UPDATE_ALL);
        // Slots are numbered from 1. A 0 names no slot: the loader then unloads the current one,
        // which is how an author silences a slot.
        soundHL_load_slot(Value - 1u, 1);
    } else if (CV == 203) {
        soundHL_set_volume(Value);
    } else if (CV == 192) {
        Memory_SaveU8(193, soundHL_get_function_volume(Value));
    } else if (CV == 193) {
        soundHL_set_function_volume(Memory_LoadU8(192), Value);
    } else if (CV == 211) {
        ADCHL_SetVirtualCapacitance((uint16_t)(Value * 10));
    } else if (CV == 194 || CV == 195) {
        soundHL_load_params_changed();
    }
}
