// The seam's part that runs the firmware (emulator.h): its start-up and the tick, one firmware
// tick per millisecond, run on waking.
#include "emulator.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "board.h"
#include "callback.h"
#include "dcc_hl.h"
#include "decoder.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "freertos/task.h"
#include "fw_lock.h"
#include "memory.h"
#include "sound_hl.h"
#include "stub.h"
#include "movement.h"
#include "outputs.h"

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
static std::atomic<decoder_tick_observer> tickObserver{nullptr};

void decoder_set_tick_observer(decoder_tick_observer observer) {
    tickObserver.store(observer);
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

void emulator_init_decoder(void) {
    // The tick loop sleeps until the next due callback: a slot scheduled from a command must
    // wake it.
    Callback_SetChangeHook(stub_tick_wake);
    stub_tick_set_hooks(vApplicationTickHook, vApplicationTickDueUs);
    esp_log_level_set("*", ESP_LOG_WARN);
    esp_log_level_set("SOUND_HL", ESP_LOG_INFO);
    esp_log_level_set("DCC_HL", ESP_LOG_INFO);
    esp_log_level_set("AUDIO_TRACK", ESP_LOG_INFO);
    esp_log_level_set("LOGICS", ESP_LOG_INFO);
    esp_timer_init();
    Outputs_Init(board_out_drivers, board_out_driver_map);
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
    // A command station repeats speed packets: the console speed goes out every 10 ms, while
    // the track has power.
    if (now % SPEED_REPEAT_MS == 0 && decoder_track_power()) DCC_SetSpeed((int8_t)(uint8_t)decoder_speed());
    if (decoder_tick_observer observer = tickObserver.load(std::memory_order_relaxed); observer != nullptr) {
        decoder_tick_view v{};
        v.cur_speed = EngineParams.CurSpeed;
        v.set_speed = EngineParams.SetSpeed;
        v.slot = slot_state == SLOT_LOADED ? slot_data.id + 1 : 0;
        v.load = engine_load_value;
        v.direction = CurrentDirection;
        for (int f = 0; f < MAX_FUNCTIONS; f++)
            if (DCC_GetFunctionState((uint8_t)f)) v.keys[f / 64] |= 1ull << (f % 64);
        observer(timers_us, v);
    }
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
