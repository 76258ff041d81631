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

void DCC_ChangeCV(uint16_t CV, uint8_t Value) {
    ESP_LOGI(TAG, "CV%u=%u", CV, Value);
    if (CV >= 119 && CV <= 125) {
        Outputs_SetMaxDuty((uint8_t)(CV - 119), Value);
    } else if (CV >= 126 && CV <= 132) {
        Outputs_SetMinDuty((uint8_t)(CV - 126), Value);
    } else if (CV >= 112 && CV <= 118) {
        Outputs_SetType((uint8_t)(CV - 112), Value);
    } else if (CV >= 280 && CV <= 341) {
        updateOutputEnableMask(0, (uint16_t)(CV - 280), Value);
    } else if (CV >= 219 && CV <= 225) {
        Outputs_SetMaxDuty((uint8_t)(CV - 212), Value);
    } else if (CV >= 226 && CV <= 232) {
        Outputs_SetMinDuty((uint8_t)(CV - 219), Value);
    } else if (CV >= 212 && CV <= 218) {
        Outputs_SetType((uint8_t)(CV - 205), Value);
    } else if (CV >= 342 && CV <= 403) {
        updateOutputEnableMask(1, (uint16_t)(CV - 342), Value);
    } else if (CV == 133 || CV == 134) {
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
