// Function outputs. One handler tick per callback period (10 ms by default) runs every output
// in turn: its mode sets the target duty, the duty ramps (with dimming) or jumps to it, a
// finished switch updates the state word, servos settle, and the output's own position moves.
// The two blink generators advance after all outputs.
#include "outputs.h"

#include <stdlib.h>

#include "callback.h"
#include "memory.h"

static const int SWITCH_NONE = 0;
static const int SWITCH_ON = 1;
static const int SWITCH_OFF = -1;
static const int SWITCH_TYPE_SET = 127;
static const uint16_t FULL_RANGE = 255 * 16;  // lamp ramps work in 1/16 duty units
static const uint16_t POSITION_END = 1000;    // output position range: 100 sequence steps of 10 ticks
static const uint16_t TYPE_POSITION_STOPS = 0x100;

static outconf_t outconf[OUTPUTS_COUNT];
static const outDriver_t *outDriver;
static uint8_t callbackPeriodMS = 10;
static uint16_t lampSwitchingTime[2];
static uint16_t blinkTime[2];
static uint16_t blinkDuty[2];
static uint16_t blinkMaxTicks[2];
static uint16_t blinkTicks[2];
static uint16_t blinkPos[2];
static uint16_t pulseTime;
static uint16_t pulseTicks;
// Pattern pointers usually point into the CV page, which other threads may write: every read
// goes through Memory_PeekU8.
static const uint8_t *customSequence[2];
static bool servoContinuous;
static uint8_t preServoTimeoutTicks = 3;
static uint32_t currentState;
static stateChangeCallback stateChangeCallbackPtr;

static bool valid_out(uint8_t out) {
    return out < OUTPUTS_COUNT;
}
static bool switch_pending(const outconf_t &o) {
    return o.switch_dir == SWITCH_ON || o.switch_dir == SWITCH_OFF;
}
static uint8_t mode_of(const outconf_t &o) {
    return o.type & 0x0F;
}
static uint8_t dimming_of(const outconf_t &o) {
    return (o.type >> 4) & 0x0F;
}

static void set_state_bit(uint8_t out, bool on) {
    uint32_t word = on ? (currentState | (1u << out)) : (currentState & ~(1u << out));
    if (word == currentState) return;
    currentState = word;
    if (stateChangeCallbackPtr != nullptr) stateChangeCallbackPtr(word);
}

static void SetDuty(uint8_t out, uint8_t duty) {
    outconf_t &o = outconf[out];
    if (o.servoMode) o.servoTimeout = 30;
    if (outDriver == nullptr || o.driver.id >= OUTPUTS_DRIVER_COUNT) return;
    const outDriver_t &drv = outDriver[o.driver.id];
    if (drv.pSet == nullptr) return;
    const bool hw = drv.type == DRIVER_HARDWAREPWM;
    uint16_t value;
    if (o.servoMode) {
        // Servo pulse widths follow the current duty, not the argument.
        value = hw ? (uint16_t)(900 + ((o.currduty * 1200 + 127) >> 8))
                   : (uint16_t)(45 + ((o.currduty * 60 + 127) >> 8));
    } else if (hw) {
        value = duty == 255 ? 1000 : (uint16_t)(duty * 1000 / 256);
    } else {
        value = duty;
    }
    drv.pSet(o.driver.pos, value);
}

static void send_raw(uint8_t out, uint16_t value) {
    const outconf_t &o = outconf[out];
    if (outDriver == nullptr || o.driver.id >= OUTPUTS_DRIVER_COUNT) return;
    if (outDriver[o.driver.id].pSet != nullptr) outDriver[o.driver.id].pSet(o.driver.pos, value);
}

static void recalculateBlink(uint8_t g) {
    blinkMaxTicks[g] = (uint16_t)(2u * blinkTime[g] / callbackPeriodMS);
    blinkTicks[g] = (uint16_t)((uint32_t)blinkMaxTicks[g] * blinkDuty[g] / 100);
}

static void RecalculateLampSteps(void) {
    for (auto &o : outconf) {
        uint8_t sel = dimming_of(o);
        uint16_t ticks = (uint16_t)(500 / callbackPeriodMS);
        if ((sel == 1 || sel == 2) && lampSwitchingTime[sel - 1] != 0)
            ticks = lampSwitchingTime[sel - 1] / callbackPeriodMS;
        // A lamp switching time shorter than one callback period leaves no tick to spread the
        // ramp over: the whole range is then one step, so the lamp switches in one handler tick.
        o.lamp_step = ticks == 0 ? FULL_RANGE : (uint16_t)(FULL_RANGE / ticks);
    }
}

static bool sequence_bit(const uint8_t *pattern, uint16_t position) {
    uint16_t step = position / 10;
    if (step > 99) step = 99;  // a pattern holds 100 steps (13 bytes)
    return (Memory_PeekU8(pattern + step / 8) >> (step % 8)) & 1;
}

static void update_target(outconf_t &o) {
    const uint8_t mode = mode_of(o);
    switch (mode) {
        case 0:
        case 9:
            if (o.switch_dir == SWITCH_ON) o.targetduty = o.maxduty;
            break;
        case 1:
        case 2:
        case 3:
        case 4: {
            const uint8_t g = (mode - 1) / 2;
            const bool inverted = mode == 2 || mode == 4;
            if (blinkPos[g] == 0) o.targetduty = inverted ? o.minduty : o.maxduty;
            if (blinkPos[g] == blinkTicks[g]) o.targetduty = inverted ? o.maxduty : o.minduty;
            break;
        }
        case 5: {
            if (o.switch_dir == SWITCH_ON) o.targetduty = o.maxduty;
            // The position stops at 1000, so an on-time beyond that range ends the pulse there
            // instead of never.
            const uint16_t end = pulseTicks < POSITION_END ? pulseTicks : POSITION_END;
            if (o.blinkPos == end) o.switch_dir = SWITCH_OFF;
            break;
        }
        case 6:
        case 7: {
            const uint8_t *pattern = customSequence[mode - 6];
            if (pattern == nullptr) break;
            const bool bit = sequence_bit(pattern, o.blinkPos);
            if (bit != o.lastSeqState || o.blinkPos / 10 == 0) {
                o.targetduty = bit ? o.maxduty : o.minduty;
                o.lastSeqState = bit;
            }
            break;
        }
        default:
            break;
    }
    if (o.switch_dir == SWITCH_OFF) o.targetduty = o.minduty;
}

static void ramp(uint8_t out) {
    outconf_t &o = outconf[out];
    const int d = o.targetduty > o.currduty ? 1 : -1;
    const int distance = abs((int)o.targetduty - (int)o.currduty);
    if (dimming_of(o) != 0 && distance > o.lamp_step / 16) {
        o.shiftedduty = (uint16_t)(o.shiftedduty + d * o.lamp_step);
        o.currduty = (uint8_t)(o.shiftedduty / 16);
    } else {
        o.currduty = o.targetduty;
        o.shiftedduty = (uint16_t)(o.targetduty * 16);
    }
    SetDuty(out, o.currduty);
}

static void BlinkHandler(void) {
    for (uint8_t out = 0; out < OUTPUTS_COUNT; out++) {
        outconf_t &o = outconf[out];
        if (o.enable) {
            update_target(o);
            if (o.currduty != o.targetduty) ramp(out);
            if (switch_pending(o) && o.currduty == o.targetduty && !o.servoMode) {
                if (o.switch_dir == SWITCH_OFF) {
                    o.enable = false;
                    set_state_bit(out, false);
                } else {
                    set_state_bit(out, true);
                }
                o.switch_dir = SWITCH_NONE;
            }
        }
        if (o.servoMode && o.servoTimeout > 0) {
            o.servoTimeout--;
            if (o.servoTimeout == preServoTimeoutTicks && !servoContinuous) send_raw(out, 0);
            if (o.servoTimeout == 0) {
                if (o.switch_dir == SWITCH_OFF) {
                    set_state_bit(out, false);
                    if (!servoContinuous) o.enable = false;
                    o.switch_dir = SWITCH_NONE;
                } else if (o.switch_dir == SWITCH_ON) {
                    set_state_bit(out, true);
                    o.switch_dir = SWITCH_NONE;
                }
            }
        }
        if (o.blinkPos < POSITION_END) o.blinkPos++;
        if (o.blinkPos >= POSITION_END && !(o.type & TYPE_POSITION_STOPS)) o.blinkPos = 0;
    }
    for (uint8_t g = 0; g < 2; g++) {
        // ">=": a shortened period never leaves the position beyond its end.
        blinkPos[g] = blinkPos[g] >= blinkMaxTicks[g] ? 0 : (uint16_t)(blinkPos[g] + 1);
    }
    Callback_SetDelay(BLINK_INDEX, callbackPeriodMS);
}

void Outputs_Init(const outDriver_t *outputsDriver, const outDriverConf_t *outputsDriverMap) {
    outDriver = outputsDriver;
    for (uint8_t i = 0; i < OUTPUTS_COUNT; i++) {
        outconf[i] = outconf_t{};
        if (outputsDriverMap != nullptr) outconf[i].driver = outputsDriverMap[i];
    }
    callbackPeriodMS = 10;
    for (uint8_t g = 0; g < 2; g++) {
        lampSwitchingTime[g] = blinkTime[g] = blinkDuty[g] = 0;
        blinkMaxTicks[g] = blinkTicks[g] = blinkPos[g] = 0;
        customSequence[g] = nullptr;
    }
    pulseTime = pulseTicks = 0;
    servoContinuous = false;
    preServoTimeoutTicks = 3;
    currentState = 0;
    stateChangeCallbackPtr = nullptr;
    RecalculateLampSteps();
    if (outDriver != nullptr) {
        for (uint8_t d = 0; d < OUTPUTS_DRIVER_COUNT; d++) {
            if (outDriver[d].pInit != nullptr) outDriver[d].pInit();
        }
    }
    Callback_SetHandler(BLINK_INDEX, BlinkHandler);
    Callback_SetDelay(BLINK_INDEX, callbackPeriodMS);
}

void Outputs_Enable(void) {
    if (outDriver == nullptr) return;
    for (uint8_t d = 0; d < OUTPUTS_DRIVER_COUNT; d++) {
        if (outDriver[d].pEnable != nullptr) outDriver[d].pEnable();
    }
}

void Outputs_DisableWithState(bool state) {
    if (outDriver == nullptr) return;
    for (uint8_t d = 0; d < OUTPUTS_DRIVER_COUNT; d++) {
        if (outDriver[d].pDisableWithState != nullptr) outDriver[d].pDisableWithState(state);
    }
}

void Outputs_LoadStates(uint32_t initState, stateChangeCallback callback) {
    Outputs_LoadStatesWMask(initState, 0xFFFFFFFFu, callback);
}

void Outputs_LoadStatesWMask(uint32_t initState, uint32_t mask, stateChangeCallback callback) {
    stateChangeCallbackPtr = callback;
    currentState = initState;
    for (uint8_t out = 0; out < OUTPUTS_COUNT; out++) {
        if (!(mask & (1u << out))) continue;
        outconf_t &o = outconf[out];
        if (initState & (1u << out)) {
            o.enable = true;
            o.targetduty = o.maxduty;
        } else {
            o.targetduty = o.minduty;
        }
        o.currduty = o.targetduty;
        o.shiftedduty = (uint16_t)(o.targetduty * 16);
        SetDuty(out, o.currduty);
    }
}

void OutEnable(uint8_t out, bool force) {
    if (!valid_out(out)) return;
    outconf_t &o = outconf[out];
    if (o.enable && !force) return;
    o.enable = true;
    o.blinkPos = 0;
}

void Outputs_SetMax(uint8_t out) {
    if (!valid_out(out)) return;
    outconf_t &o = outconf[out];
    if ((currentState & (1u << out)) && !switch_pending(o)) return;
    o.switch_dir = SWITCH_ON;
    OutEnable(out, false);
}

void Outputs_SetMin(uint8_t out) {
    if (!valid_out(out)) return;
    outconf_t &o = outconf[out];
    if (!(currentState & (1u << out)) && !switch_pending(o)) return;
    o.switch_dir = SWITCH_OFF;
    OutEnable(out, false);
}

void Outputs_SetDuty(uint8_t out, uint8_t duty) {
    if (!valid_out(out)) return;
    outconf_t &o = outconf[out];
    o.enable = true;
    o.targetduty = duty;
    o.switch_dir = SWITCH_NONE;
}

void Outputs_SetDutyFast(uint8_t out, uint8_t duty) {
    if (!valid_out(out)) return;
    outconf_t &o = outconf[out];
    o.enable = true;
    o.targetduty = o.currduty = duty;
    o.shiftedduty = (uint16_t)(duty * 16);
    SetDuty(out, duty);
}

void Outputs_SetMaxDuty(uint8_t out, uint8_t duty) {
    if (!valid_out(out)) return;
    outconf_t &o = outconf[out];
    const uint8_t old = o.maxduty;
    o.maxduty = duty;
    if (o.targetduty == old || o.targetduty > duty) o.targetduty = duty;
}

void Outputs_SetMinDuty(uint8_t out, uint8_t duty) {
    if (!valid_out(out)) return;
    outconf_t &o = outconf[out];
    const uint8_t old = o.minduty;
    o.minduty = duty;
    if (o.targetduty == old || o.targetduty < duty) o.targetduty = duty;
}

uint8_t Outputs_GetMaxDuty(uint8_t out) {
    return valid_out(out) ? outconf[out].maxduty : 0;
}
uint8_t Outputs_GetMinDuty(uint8_t out) {
    return valid_out(out) ? outconf[out].minduty : 0;
}

bool Outputs_Pause(uint8_t out) {
    if (!valid_out(out)) return false;
    outconf_t &o = outconf[out];
    if (!switch_pending(o)) return false;
    o.switch_dir = SWITCH_NONE;
    o.targetduty = o.currduty;
    SetDuty(out, o.currduty);
    return true;
}

bool Outputs_GetState(uint8_t out) {
    return valid_out(out) && (currentState & (1u << out));
}

void Outputs_SetType(uint8_t out, uint8_t type) {
    if (!valid_out(out)) return;
    outconf_t &o = outconf[out];
    o.type = type;
    o.switch_dir = SWITCH_TYPE_SET;
    if (mode_of(o) == 5) o.type = 0x105;  // pulse: no dimming, position stops at its end
    o.servoMode = mode_of(o) == 9;
    if (dimming_of(o) != 0) RecalculateLampSteps();
}

uint8_t Outputs_GetType(uint8_t out) {
    return valid_out(out) ? mode_of(outconf[out]) : 0;
}
uint8_t Outputs_GetRawType(uint8_t out) {
    return valid_out(out) ? (uint8_t)(outconf[out].type & 0xFF) : 0;
}

void Outputs_SetLampSwitchingTime(uint8_t id, uint16_t ms_div10) {
    if (id > 1) return;
    lampSwitchingTime[id] = (uint16_t)(10 * ms_div10);
    RecalculateLampSteps();
}

uint16_t Outputs_GetLampSwitchingTime(uint8_t id) {
    return id > 1 ? 0 : lampSwitchingTime[id] / 10;
}

void Outputs_SetBlinkPeriod(uint8_t id, uint16_t ms_div10) {
    if (id > 1) return;
    if (blinkDuty[id] == 0) blinkDuty[id] = 50;
    blinkTime[id] = (uint16_t)(10 * ms_div10);
    recalculateBlink(id);
}

void Outputs_SetBlinkDuty(uint8_t id, uint8_t duty) {
    if (id > 1) return;
    blinkDuty[id] = duty;
    recalculateBlink(id);
}

void Outputs_SetCustomSequence(uint8_t id, const uint8_t *data) {
    if (id > 1) return;
    customSequence[id] = data;
}

void Outputs_SetOnTime(uint16_t ms_div10) {
    pulseTime = (uint16_t)(10 * ms_div10);
    pulseTicks = pulseTime / callbackPeriodMS;
}

uint8_t Outputs_GetOnTime(void) {
    return (uint8_t)(callbackPeriodMS * pulseTicks / 10);
}

void Outputs_SetCallbackPeriod(uint16_t ms) {
    if (ms < 2 || ms > 100) return;
    callbackPeriodMS = (uint8_t)ms;
    pulseTicks = pulseTime / callbackPeriodMS;
    RecalculateLampSteps();
    recalculateBlink(0);
    recalculateBlink(1);
    preServoTimeoutTicks = (uint8_t)(30 / callbackPeriodMS);
}

void Outputs_SetServoContinuous(bool enable) {
    servoContinuous = enable;
}

const outconf_t *Outputs_GetConf(uint8_t out) {
    return valid_out(out) ? &outconf[out] : nullptr;
}
uint32_t Outputs_GetStateWord(void) {
    return currentState;
}
