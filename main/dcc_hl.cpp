// DCC commands: function debouncing and effective state, speed packets with their repeat
// check, direction handling, emergency stop, start delay, speed curve and shunting, the stored
// speed, SUSI forwarding, reset, analogue mode and ABC braking. The configuration side (CV
// defaults and side effects, output mapping, identification reads) is in dcc_cv.cpp.
//
// On the host the console (function toggles) and the tick (speed every 10 ms) are the command
// sources; both call in under the firmware lock. The packet-level callbacks are registered in
// the DCC library's table although nothing on the host decodes packets.
#include <stdlib.h>

#include "board_drivers.h"
#include "board_time.h"
#include "dcc_hl.h"
#include "esp_log.h"
#include "memory.h"
#include "movement.h"
#include "nvs_hl.h"
#include "sound_hl.h"

static const char *TAG = "DCC_HL";

// Commanded state with a one-step debounce: 0 off, 1 half-way (one packet seen), 2 on.
static int8_t newFunctionState[DCC_FUNCTION_COUNT];
// Accepted state: 0 off, 1 on, DCC_FUNCTION_RESET before any command.
static uint8_t FunctionState[DCC_FUNCTION_COUNT];
// Effective state: the accepted state unless the sound engine blocks the function.
static bool FunctionStateInternal[DCC_FUNCTION_COUNT];

// Until storage says otherwise the decoder travels in direction -1, the direction a store that
// holds no value yields as well.
int8_t CurrentDirection = -1;
static int8_t lastDirection;
static int16_t lastSpeed = -1;  // -1: no command applied yet
uint8_t lastStoredSpeed;
static bool storeDirection;
static bool MotorStop;
static uint32_t MotorStopTime;  // 0 = no start (or reversal stop) pending
static uint16_t lastSpdVar;
static bool DirChangedInMove;
static bool abcArmed;
static bool InAnalogMode;
static bool lastAnalogMode;
static uint8_t lastShuntingMode = 255;  // forces the first evaluation
static uint8_t susiCounter;

static bool valid_function(uint8_t f) {
    return f < DCC_FUNCTION_COUNT;
}

// Rate per 10 ms step for a CV giving the time of a full-scale change in quarter seconds.
static uint32_t rate_from_cv(uint8_t cv) {
    return cv != 0 ? (1020u / cv) * 256u : 65280u;
}

void dcc_reset_command_state(void) {
    for (uint8_t f = 0; f < DCC_FUNCTION_COUNT; f++) {
        newFunctionState[f] = 0;
        FunctionState[f] = DCC_FUNCTION_RESET;
        FunctionStateInternal[f] = false;
    }
    CurrentDirection = -1;
    lastDirection = 0;
    lastSpeed = -1;
    lastStoredSpeed = 0;
    storeDirection = false;
    MotorStop = false;
    MotorStopTime = 0;
    lastSpdVar = 0;
    DirChangedInMove = false;
    abcArmed = false;
    InAnalogMode = false;
    lastAnalogMode = false;
    lastShuntingMode = 255;
    susiCounter = 0;
}

void dcc_take_stored_direction(void) {
    if (CurrentDirection != 0) lastDirection = CurrentDirection;
}

bool dcc_effective_state(uint8_t f) {
    return valid_function(f) && FunctionStateInternal[f];
}

// ---- SUSI ----

static uint8_t susi_group(uint8_t group) {
    const bool *s = FunctionStateInternal;
    if (group == 0) return (uint8_t)(s[0] << 4 | s[1] | s[2] << 1 | s[3] << 2 | s[4] << 3);
    uint8_t value = 0;
    for (uint8_t b = 0; b < 8; b++)
        value |= (uint8_t)(s[5 + b] << b);
    return value;
}

static void susi_send_target_speed(void) {
    if (lastSpeed < 0) return;
    SUSI_UpdateTargetSpeed((uint8_t)((lastSpeed / 2) | (lastDirection == 1 ? 0x80 : 0)));
}

static void susi_send_real_speed(void) {
    const int32_t speed = abs(EngineParams.CurSpeed / 512);
    SUSI_UpdateRealSpeed((uint8_t)(speed | (CurrentDirection == 1 ? 0x80 : 0)));
}

void susi_handler(void *arg) {
    (void)arg;
    if (susiCounter == 0) {
        SUSI_UpdateFunctions(0, susi_group(0));
        SUSI_UpdateFunctions(1, susi_group(1));
        susi_send_target_speed();
    }
    susi_send_real_speed();
    susiCounter = (uint8_t)((susiCounter + 1) % 5);
}

// ---- functions ----

// Applies the accepted state of f to its effective state, SUSI, the outputs and the rates.
static void outputsfunctionChanged(uint8_t f) {
    if (f == Memory_LoadU8(200) || !soundHL_is_function_blocked(f)) {
        FunctionStateInternal[f] = FunctionState[f] == 1;
    } else {
        FunctionStateInternal[f] = soundHL_get_function_state((int8_t)f);
    }
    if (isSusiEnabled()) {
        if (f < 5) {
            SUSI_UpdateFunctions(0, susi_group(0));
        } else if (f < 13) {
            SUSI_UpdateFunctions(1, susi_group(1));
        }
    }
    outputsMappingHandler(f);
    const bool sh = isShuntingMode();
    if (sh != lastShuntingMode) {
        EngineParams.Accel = rate_from_cv(Memory_LoadU8(sh ? 61 : 3));
        EngineParams.Decel = rate_from_cv(Memory_LoadU8(sh ? 62 : 4));
        soundHL_update_stop_speeds();
        lastShuntingMode = sh;
    }
}

static void functionChanged(uint8_t f) {
    const bool s = newFunctionState[f] != 0;
    // Half-way: the change waits for its confirming packet (except out of the reset state).
    if (newFunctionState[f] == 1 && FunctionState[f] != DCC_FUNCTION_RESET) return;
    if (s == (FunctionState[f] == 1)) return;
    if (FunctionState[f] != DCC_FUNCTION_RESET) ESP_LOGI(TAG, "Function %u Changed to %u", f, (unsigned)s);
    FunctionState[f] = s;
    outputsfunctionChanged(f);
    soundHL_function_changed(f, FunctionStateInternal[f]);
}

static void updateFunctionState(uint8_t id, bool bit) {
    if (bit) {
        if (newFunctionState[id] < 2) newFunctionState[id]++;
    } else {
        if (newFunctionState[id] > 0) newFunctionState[id]--;
    }
}

void dcc_function_changed(uint8_t f) {
    if (valid_function(f)) functionChanged(f);
}

void dcc_set_new_function_state(uint8_t f, bool on) {
    if (valid_function(f)) newFunctionState[f] = on ? 2 : 0;
}

bool dcc_new_function_state(uint8_t f) {
    return valid_function(f) && newFunctionState[f] != 0;
}

void DCC_SetFunctionState(uint8_t id, bool state) {
    if (!valid_function(id)) return;
    newFunctionState[id] = state ? 2 : 0;
    functionChanged(id);
}

// Percentages above 100 are taken as 100: the duty scale ends at 255.
static uint8_t percent_to_duty(uint8_t percent) {
    return (uint8_t)((percent > 100 ? 100 : percent) * 255 / 100);
}

void DCC_SetFunctionDimm(uint8_t id, uint8_t percent) {
    if (valid_function(id)) functionDimmingHandler(id, percent_to_duty(percent));
}

void DCC_SetOutputDimm(uint8_t id, uint8_t percent) {
    if (id < DCC_OUTPUT_COUNT) outputDimmingHandler(id, percent_to_duty(percent));
}

bool DCC_GetFunctionState(uint8_t function) {
    return dcc_effective_state(function);
}

void DCC_FunctionBlockHandler(uint8_t function) {
    if (valid_function(function)) outputsfunctionChanged(function);
}

bool isShuntingMode(void) {
    const uint8_t f = Memory_LoadU8(165);
    return f < DCC_FUNCTION_COUNT && FunctionState[f] == 1;
}

bool isSusiEnabled(void) {
    return Memory_LoadU8(64) & 1;
}

bool getDccFunctionState(uint8_t f) {
    return valid_function(f) && FunctionState[f] == 1;
}
bool isDccFunctionReset(uint8_t f) {
    return valid_function(f) && FunctionState[f] == DCC_FUNCTION_RESET;
}
void resetDccFunctionState(uint8_t f) {
    if (valid_function(f)) FunctionState[f] = DCC_FUNCTION_RESET;
}

void notifyDccFunc(uint16_t Addr, FN_GROUP FuncGrp, uint8_t FuncState) {
    (void)Addr;
    uint8_t first;
    uint8_t count;
    switch (FuncGrp) {
        case FN_0_4:
            updateFunctionState(0, FuncState & 0x10);
            for (uint8_t b = 0; b < 4; b++)
                updateFunctionState((uint8_t)(1 + b), FuncState & (1u << b));
            first = 0;
            count = 5;
            break;
        case FN_5_8:
        case FN_9_12:
            first = FuncGrp == FN_5_8 ? 5 : 9;
            count = 4;
            for (uint8_t b = 0; b < count; b++)
                updateFunctionState((uint8_t)(first + b), FuncState & (1u << b));
            break;
        default:
            if (FuncGrp < FN_13_20 || FuncGrp > FN_61_68) return;
            first = (uint8_t)(13 + 8 * (FuncGrp - FN_13_20));
            count = 8;
            for (uint8_t b = 0; b < count; b++)
                updateFunctionState((uint8_t)(first + b), FuncState & (1u << b));
            break;
    }
    for (uint8_t f = first; f < first + count; f++)
        functionChanged(f);
}

// ---- direction ----

static void directionChangedHandler(void) {
    storeDirection = true;
    for (uint8_t f = 0; f < DCC_FUNCTION_COUNT; f++)
        directionChanged(f);
    soundHL_direction_changed(CurrentDirection);
}

void DCC_MotorDirHandler(int32_t speed) {
    const int8_t d = speed == 0 ? 0 : (speed < 0 ? -1 : 1);
    if (d != 0 && d != CurrentDirection) {
        CurrentDirection = d;
        directionChangedHandler();
    }
}

int8_t DCC_GetCurrentDirection(void) {
    return CurrentDirection;
}

// ---- speed ----

uint8_t getSpeed(uint16_t dccSpeed) {
    if (dccSpeed > 255) dccSpeed = 255;  // the table has 28 entries for speeds 0..255
    const int start = Memory_LoadU8(2);
    if (Memory_LoadU8(29) & 0x10) {
        const int idx = dccSpeed * 27 / 256;
        const uint8_t frac = (uint8_t)(dccSpeed - idx * 256 / 27);
        const int lo = 2 * Memory_LoadU8((uint16_t)(67 + idx));
        const int hi = 2 * Memory_LoadU8((uint16_t)(68 + idx));
        const uint16_t result = (uint16_t)(start + lo + ((hi - lo) * frac * 27) / 256);
        return result > 255 ? 255 : (uint8_t)result;
    }
    const int mid = Memory_LoadU8(6);
    if (dccSpeed <= 126) return (uint8_t)(start + ((dccSpeed + 1) * (mid - start)) / 128);
    return (uint8_t)(mid + ((dccSpeed - 127) * (Memory_LoadU8(5) - mid)) / 128);
}

static void applyNewSpeed(uint16_t dccSpeed, int8_t localDirection, bool force) {
    if (dccSpeed == 0) {
        Engine_Stop();
    } else {
        int32_t s = getSpeed(dccSpeed) * 256;
        if (isShuntingMode()) s /= 2;
        if (localDirection == -1) s = -s;
        if (force) {
            Engine_MoveToDirectionImmediate(s);
        } else {
            Engine_MoveToDirection(s);
        }
    }
    if (isSusiEnabled()) susi_send_target_speed();
}

void notifyDccSpeed(uint16_t Addr, uint8_t Speed, bool localForwardDir, uint8_t MaxSpeed) {
    (void)Addr;
    const int8_t dir = localForwardDir ? 1 : -1;
    const uint16_t spdVar = (uint16_t)((localForwardDir ? 0x100 : 0) | Speed);
    const uint32_t delay = Memory_LoadU8(63) * 100u;
    const bool sh = isShuntingMode();

    // A new speed or direction takes effect only when the same packet arrives again.
    if (spdVar != lastSpdVar) {
        lastSpdVar = spdVar;
        ESP_LOGI(TAG, "New speed %x", (unsigned)spdVar);
        return;
    }

    if ((!Engine_IsMoving() || lastDirection == 0) && dir != lastDirection) {
        if (dir != CurrentDirection) {
            CurrentDirection = dir;
            directionChangedHandler();
        }
        if (!MotorStop && DirChangedInMove) {
            DirChangedInMove = false;
            MotorStop = true;
            MotorStopTime = Time();
        }
    }
    if (Engine_IsMoving()) MotorStop = false;

    if (Speed == 0) {
        // The packet repeats every 10 ms, and a movement lasts until the motor's next step finds
        // it at rest: a motor the emergency stop has already brought to rest is not stopped
        // again. Handled twice, the ESTOP sound started over and logic conditions counted two.
        if (Engine_IsMoving() && !EngineParams.Stopped) {
            lastSpeed = 0;
            soundHL_movement_estop();
            Engine_EStop();
            nvsHL_set_speed_and_dir(0, CurrentDirection);
        } else {
            lastDirection = dir;
            // An emergency stop during the start delay calls the start off, as a stop does. Left
            // prepared, the sound began moving at a stand and stayed at its running level, and
            // the next start skipped its delay and its start sound.
            if (MotorStopTime != 0) {
                soundHL_movement_canceled();
                MotorStopTime = 0;
            }
        }
        return;
    }

    // A packet that announces fewer than two speed steps has no running steps to scale by:
    // only its stop meaning (above) is used.
    if (MaxSpeed < 2) return;
    int v = Speed == 1 ? 0 : (Speed - 2) * 254 / (MaxSpeed - 1) + 1;
    // A speed step above the announced maximum is taken as full speed.
    if (v > 255) v = 255;

    if (abcArmed) return;

    if (lastSpeed == -1) {
        applyNewSpeed(lastStoredSpeed, lastDirection, true);
        lastSpeed = (int16_t)v;
        return;
    }

    if (Engine_IsMoving() && v != 0 && dir != CurrentDirection) {
        DirChangedInMove = true;
        Engine_Stop();
        return;
    }

    if (MotorStopTime == 0 && !Engine_IsMoving() && lastSpeed == 0 && v != 0) {
        soundHL_movement_prepare((uint16_t)(sh ? 0 : delay));
        MotorStopTime = Time();
    }
    if (MotorStopTime != 0 && v != 0 && (uint32_t)(Time() - MotorStopTime) < delay && !sh) return;
    if (MotorStopTime != 0 && v == 0) soundHL_movement_canceled();

    MotorStopTime = 0;
    lastSpeed = (int16_t)v;
    lastDirection = dir;
    applyNewSpeed((uint16_t)v, dir, false);
}

void DCC_SetSpeed(int8_t speed) {
    uint8_t a = (uint8_t)abs(speed);
    if (a > 101) a = 101;
    const uint8_t byte = (uint8_t)((a * 127 + 50) / 101);
    notifyDccSpeed(0, byte, speed < 0, 126);
}

void speed_store_handler(void *arg) {
    (void)arg;
    const int cur = abs(EngineParams.CurSpeed / 256);
    if (abs((int)lastStoredSpeed - cur) < 51 && !(cur == 0 && lastStoredSpeed != 0) && !storeDirection)
        return;
    ESP_LOGI(TAG, "Saving current speed %u last=%u", (unsigned)cur, (unsigned)lastStoredSpeed);
    storeDirection = false;
    lastStoredSpeed = (uint8_t)cur;
    nvsHL_set_speed_and_dir((uint8_t)cur, CurrentDirection);
}

void DCC_Main(void) {
    NmraDcc_process();
}

// ---- analogue operation, ABC ----

static void UpdateAnalogMode(void) {
    const uint8_t cv13 = Memory_LoadU8(13);
    const uint8_t cv14 = Memory_LoadU8(14);
    for (uint8_t b = 0; b < 8; b++)
        newFunctionState[1 + b] = (cv13 >> b) & 1 ? 2 : 0;
    for (uint8_t b = 1; b <= 4; b++)
        newFunctionState[8 + b] = (cv13 >> b) & 1 ? 2 : 0;
    newFunctionState[0] = cv14 & 1 ? 2 : 0;
    for (uint8_t f = 0; f <= 12; f++)
        functionChanged(f);
    for (uint8_t f = 0; f < DCC_FUNCTION_COUNT - 1; f++) {
        outputsMappingHandler(f);
        directionChanged(f);
    }
    DCDriver_AnalogMode(CurrentDirection != 1, true);
}

void notifyModeChange(bool analogMode) {
    if (analogMode == lastAnalogMode) return;
    lastAnalogMode = analogMode;
    ESP_LOGW(TAG, "Analog mode %u", (unsigned)analogMode);
    for (uint8_t f = 0; f < DCC_FUNCTION_COUNT; f++)
        FunctionState[f] = DCC_FUNCTION_RESET;
    if (analogMode) {
        const int8_t pol = NmraDcc_getPolarity() ? 1 : -1;
        if (InAnalogMode && CurrentDirection == pol) return;
        if (NmraDcc_isAnalogModeEnabled()) {
            InAnalogMode = true;
            CurrentDirection = pol;
            UpdateAnalogMode();
        } else {
            Engine_Stop();
        }
        return;
    }
    if (InAnalogMode) {
        DCDriver_AnalogMode(false, false);
        lastDirection = 0;
        lastSpeed = -1;
    }
    InAnalogMode = false;
}

void notifyABC(int8_t state) {
    ESP_LOGI(TAG, "ABC S=%i DIR=%i", state, CurrentDirection);
    if (CurrentDirection == 1) state = (int8_t)-state;
    const uint8_t cfg = Memory_LoadU8(27);
    if ((state == 1 && (cfg & 1)) || (state == -1 && (cfg & 2))) {
        abcArmed = true;
        Engine_Stop();
    } else {
        abcArmed = false;
    }
}
