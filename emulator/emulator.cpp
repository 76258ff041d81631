// Start-up of the firmware and the tick: one firmware tick per millisecond, run on waking.
#include "emulator.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "board_drivers.h"
#include "callback.h"
#include "dcc_hl.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "freertos/task.h"
#include "fw_lock.h"
#include "memory.h"
#include "sound_hl.h"
#include "stub.h"
#include "movement.h"
#include "outputs.h"

std::atomic<uint32_t> MillisecondCounter{0};
// Host timing is kept in 64 bits: the platform-clock millisecond of the first hook call and the
// ticks run since. The firmware's Time() is a 32-bit count that wraps after 49.7 days, as on the
// decoder; host deadlines computed from it would then lie in the past, every timer would stop
// and the tick loop would spin.
static int64_t startMs = -1;
static uint64_t ticksRun;
// A command station repeats the speed packet this often.
static constexpr uint32_t SPEED_REPEAT_MS = 10;
// A slot reload frees a whole project's decoder state at once, and the allocator keeps the
// freed pages resident between the blocks still in use; they are handed back this often.
static constexpr uint32_t TRIM_PERIOD_MS = 30000;
static uint32_t lastTrim;

// The board's two output drivers; both do nothing on the host.
static const outDriver_t outDrivers[OUTPUTS_DRIVER_COUNT] = {
    {DRIVER_SOFTWAREPWM, SoftOuts_Init, SoftOuts_Set, SoftOuts_Reset, SoftOuts_DisableWithState,
     SoftOuts_Enable},
    {DRIVER_HARDWAREPWM, PWMOuts_Init, PWMOuts_Set, PWMOuts_Reset, PWMOuts_DisableWithState, PWMOuts_Enable},
};
// Outputs 0..3 are hardware PWM channels 2..5, outputs 4..11 software PWM channels 1..8.
static const outDriverConf_t outDriverMap[OUTPUTS_COUNT] = {
    {1, 2}, {1, 3}, {1, 4}, {1, 5}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8},
};

uint32_t Time(void) {
    return MillisecondCounter.load(std::memory_order_relaxed);
}

int get_slot_id(void) {
    FILE *f = fopen("slot.txt", "r");
    if (f == nullptr) return -1;
    char line[100];
    char *got = fgets(line, sizeof line, f);
    fclose(f);
    if (got == nullptr) return -1;
    char *end = nullptr;
    unsigned long value = strtoul(line, &end, 10);
    if (end == line) return -1;
    return (int)value;
}

// Rate per 10 ms step for a CV giving the time of a full-scale change in quarter seconds.
static uint32_t rate_from_cv(uint8_t cv) {
    return cv != 0 ? (1020u / cv) * 256u : 65280u;
}

void EngineLoadConfig(void) {
    pid_config_t pid = {};
    pid.kp = Memory_LoadU8(50);
    pid.kp_s = Memory_LoadU8(51);
    pid.ki = Memory_LoadU8(52);
    pid.ki_s = Memory_LoadU8(53);
    pid.kd = Memory_LoadU8(54);
    pid.kd_s = Memory_LoadU8(55);
    pid.kff_a = Memory_LoadU8(56);
    pid.kff_d = Memory_LoadU8(57);
    pid.int_max_div = 0;
    pid.period_us = (uint16_t)(Memory_LoadU8(58) * 100);
    pid.meas_time_us = (uint16_t)(Memory_LoadU8(59) * 100);
    pid.emf_max_val = (uint16_t)(Memory_LoadU8(60) * 10);
    DCDriver_SetPID(&pid);
    EngineParams.MaxSpeed = Memory_LoadU8(5) * 256u;
    EngineParams.NomSpeed = Memory_LoadU8(6) * 256u;
    EngineParams.Accel = rate_from_cv(Memory_LoadU8(3));
    EngineParams.Decel = rate_from_cv(Memory_LoadU8(4));
    if (EngineParams.MaxSpeed == 0) EngineParams.MaxSpeed = 65280;
}

// The emulated motor driver follows its set-point at once; the ramp is the motor model's.
void engine_drv_main(void) {
    if (EngineParams.ImmediateStop) {
        EngineParams.SetSpeed = 0;
        EngineParams.CurSpeed = 0;
    }
    if (EngineParams.SetSpeed == 0 && EngineParams.CurSpeed == 0) {
        EngineParams.ImmediateStop = false;
        EngineParams.Stopped = true;
    } else {
        EngineParams.Stopped = false;
    }
}

void emulator_init_decoder(void) {
    // The tick loop sleeps until the next due callback: a slot scheduled from a command must
    // wake it.
    Callback_SetChangeHook(stub_tick_wake);
    esp_log_level_set("*", ESP_LOG_WARN);
    esp_log_level_set("SOUND_HL", ESP_LOG_INFO);
    esp_log_level_set("DCC_HL", ESP_LOG_INFO);
    esp_log_level_set("AUDIO_TRACK", ESP_LOG_INFO);
    esp_log_level_set("LOGICS", ESP_LOG_INFO);
    esp_timer_init();
    Outputs_Init(outDrivers, outDriverMap);
    Outputs_Enable();
    DCC_Init();
    Engine_Init();
    EngineLoadConfig();
    int slot = get_slot_id();
    if (slot >= 1 && slot <= 3) Memory_SaveU8(202, (uint8_t)slot);
}

void emulator_init(void) {
    emulator_init_decoder();
    soundHL_start();
}

// One firmware millisecond; timers are polled as of `timers_us` on the platform clock.
static void tick_at(int64_t timers_us) {
    fw_lock();
    const uint32_t now = MillisecondCounter.fetch_add(1, std::memory_order_relaxed) + 1;
    Callback_Invoke(now);
    esp_timer_poll_at(timers_us);
    engine_drv_main();
    // A command station repeats speed packets: the console speed goes out every 10 ms.
    if (now % SPEED_REPEAT_MS == 0) DCC_SetSpeed((int8_t)(uint8_t)currentSpd.load(std::memory_order_relaxed));
    fw_unlock();
}

void tick(void) {
    tick_at(esp_timer_get_time());
}

void vApplicationTickHook(void) {
    if (startMs < 0) startMs = esp_timer_get_time() / 1000;
    // Every millisecond since the last call runs as a tick of its own, with its own count and
    // time, so that each callback and timer runs in the millisecond it was due in, in order.
    while ((int64_t)ticksRun < esp_timer_get_time() / 1000 - startMs) {
        ticksRun++;
        tick_at((startMs + (int64_t)ticksRun) * 1000);
    }
    const uint32_t now = MillisecondCounter.load(std::memory_order_relaxed);
    if (now - lastTrim >= TRIM_PERIOD_MS) {
        lastTrim = now;
        malloc_trim(0);
    }
}

int64_t vApplicationTickDueUs(void) {
    fw_lock();
    const uint32_t now = MillisecondCounter.load(std::memory_order_relaxed);
    uint32_t ahead = SPEED_REPEAT_MS - now % SPEED_REPEAT_MS;
    const uint32_t callback = Callback_NextDue(now);
    fw_unlock();
    if (callback != 0 && callback < ahead) ahead = callback;
    const int64_t ran_ms = startMs + (int64_t)ticksRun;
    int64_t due_ms = ran_ms + ahead;
    // A timer fires in the first tick whose time is at or after its due time.
    const int64_t timer_us = stub_timer_next_due_us();
    if (timer_us != STUB_FOREVER) {
        const int64_t timer_ms = (timer_us + 999) / 1000;
        if (timer_ms < due_ms) due_ms = timer_ms;
    }
    const int64_t next_ms = ran_ms + 1;
    return (due_ms > next_ms ? due_ms : next_ms) * 1000;
}
