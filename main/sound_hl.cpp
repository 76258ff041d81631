// The sound engine: start-up of the audio pipeline, the 100 ms sound tick (engine load, speed
// and load forwarding to the drive functions and the logic conditions), movement events,
// volumes, function keys and the track-end handling that chains a function's sounds.
//
// Threads: function keys arrive on the console thread, the tick and the drive timers on the
// tick thread, slot loading on its own task. All of them run under the firmware lock. The audio
// readers report track ends from their own tasks: those reports are queued and handled by the
// "sound_events" task under the lock, so a reader never waits for the engine while the engine
// (holding the lock) waits for a reader to stop.
#include "sound_hl.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "audio_ll.h"
#include "audio_reader.h"
#include "audio_track.h"
#include "dcc_hl.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "file_io.h"
#include "freertos/FreeRTOS.h"
#include "freertos/queue.h"
#include "freertos/task.h"
#include "fw_lock.h"
#include "logics.h"
#include "memory.h"
#include "mixer.h"
#include "movement.h"
#include "nvs_hl.h"
#include "sound_drv_function.h"
#include "sound_function.h"
#include "sound_hl_private.h"

static const char *TAG = "SOUND_HL";

i2s_ll_handle_t i2s_ll_handle;
static esp_timer_handle_t sound_tick_timer;
static bool direction_changed;
static QueueHandle_t track_events;

// Tick memories.
static int32_t last_spd;
static int32_t lastSpeed;
static int32_t lastTargetSpeed;
static int32_t lastTargetLoadValue;
static int32_t lastLoadValue;
static uint32_t last_load_log_ms;
static uint32_t last_dyn_volume_log_ms;

namespace {
struct EngineLock {
    EngineLock() { fw_lock(); }
    ~EngineLock() { fw_unlock(); }
};
}  // namespace

static uint32_t now_ms(void) {
    return (uint32_t)(esp_timer_get_time() / 1000);
}
uint16_t sound_fade_ms(void) {
    return (uint16_t)(Memory_LoadU8(CV_FADE_TIME) * 10);
}

// ---------------------------------------------------------------- start-up

static void sound_tick_handler(void *arg);
static void mixer_status_callback(bool status);

// A reader's report: its end notification ("Ending of"), or the end of its task ("End of").
typedef struct {
    int8_t id;
    bool stopped;
} track_event_t;

// Called with the engine lock held. A track played again while its reader was ending reports
// the end of the old task after the new play began: taken as the end of the new play, it
// marked a playing track as silent, and the track's key switched off later left it playing.
static void handle_track_event(track_event_t e) {
    if (e.stopped && tracks[e.id].state && tracks[e.id].audio_reader != NULL &&
        audio_reader_get_task_state(tracks[e.id].audio_reader) != TASK_IDLE) {
        ESP_LOGI(TAG, "Track %d plays again: the end of its earlier play changes nothing", (int)e.id);
        return;
    }
    track_end_handle(e.id);
}

static void track_event_task(void *arg) {
    (void)arg;
    track_event_t e;
    for (;;) {
        if (xQueueReceive(track_events, &e, portMAX_DELAY) != pdPASS) continue;
        EngineLock lock;
        handle_track_event(e);
    }
}

// A reader's report of a track end, handled on the engine's side of the lock.
static void post_track_end(int8_t id, bool stopped) {
    const track_event_t e = {id, stopped};
    if (track_events == NULL) {
        EngineLock lock;
        handle_track_event(e);
        return;
    }
    xQueueSend(track_events, &e, portMAX_DELAY);
}

void soundHL_start(void) {
    EngineLock lock;
    slot_data.id = -1;
    for (int i = 0; i < MAX_LOGICS; i++)
        logics[i].rom = &slot_data.logics[i];
    for (int i = 0; i < MAX_FUNCTIONS; i++)
        functions[i].rom = &slot_data.functions[i];
    for (int i = 0; i < MAX_DRIVE_FUNCTIONS; i++) {
        drive_functions[i].rom = &slot_data.drive_functions[i];
        for (int j = 0; j < MAX_SPEED_ITEMS; j++)
            drive_functions[i].items[j].rom = &slot_data.drive_functions[i].items[j].item;
    }
    for (int i = 0; i < MAX_TRACKS; i++)
        tracks[i].rom = &tracks_rom[i];

    // Each reader can have at most two reports outstanding (end and stop), so this queue never
    // fills while the engine holds the lock.
    track_events = xQueueCreate(4 * MAX_TRACKS, sizeof(track_event_t));
    xTaskCreatePinnedToCore(track_event_task, "sound_events", 4096, NULL, 8, NULL, 1);

    for (int i = 0; i < MAX_TRACKS; i++) {
        audio_reader_cfg_t cfg = {};
        cfg.task_core = 1;
        cfg.task_prio = 8;
        cfg.buf_data_len = 4096;
        cfg.param = (void *)(intptr_t)i;
        cfg.stop_notification = audio_stop_notification;
        cfg.end_notification = audio_end_notification;
        char name[12];
        snprintf(name, sizeof name, "wav%d", i);
        tracks[i].audio_reader = audio_reader_init(&cfg, name);
    }

    mixer_stream_cfg_t mixer_cfg = {};
    mixer_cfg.buffer_len = 4096;
    mixer_cfg.task_stack = 2560;
    mixer_cfg.task_core = 0;
    mixer_cfg.task_prio = 10;
    mixer = mixer_init(&mixer_cfg);
    for (int i = 0; i < MAX_TRACKS; i++)
        mixer_connect_element(mixer, i, tracks[i].audio_reader);
    mixer_set_status_handler(mixer, mixer_status_callback);

    i2s_ll_cfg_t i2s_cfg = {};
    i2s_cfg.sample_rates = 44100;
    i2s_cfg.bits = 16;
    i2s_cfg.channels = 2;
    i2s_ll_handle = i2s_ll_init(&i2s_cfg);
    for (int i = 0; i < MAX_TRACKS; i++)
        mixer_set_file_info(mixer, i, 44100, 2);

    soundHL_set_volume(0);

    slot_data.sample_rate = 32000;
    mixer_set_stream_info(mixer, 32000, 1);
    mixer_set_i2s_handler(mixer, (mixer_handle_t)i2s_ll_handle);

    // No dynamic volume yet: a first one of 0 % is a change, and is heard.
    memset(function_dyn_volume, AUDIO_VOLUME_NOT_GIVEN, sizeof function_dyn_volume);
    size_t len = MAX_FUNCTIONS;
    nvsHL_load_function_volume(function_volume, &len);
    function_volume_len = len;
    len = sizeof loco_info;
    nvsHL_load_loco_info(&loco_info, &len);
    load_short_gui();
    fileIO_createFolders();

    ESP_LOGI(TAG, "Sound engine initialized successfully");

    esp_timer_create_args_t args = {};
    args.callback = sound_tick_handler;
    args.arg = NULL;
    args.dispatch_method = ESP_TIMER_TASK;
    args.name = "sound_tick";
    esp_timer_create(&args, &sound_tick_timer);
    esp_timer_start_periodic(sound_tick_timer, 100000);

    initialized = true;
    soundHL_load_slot((uint32_t)Memory_LoadU8(CV_SLOT) - 1, false);
}

void sound_shutdown(void) {
    for (int i = 0; i < MAX_TRACKS; i++) {
        tracks[i].state = false;
        audio_reader_stop(tracks[i].audio_reader, 0);
    }
}

void soundHL_stop(void) {
    EngineLock lock;
    sound_shutdown();
}

void soundHL_deinit(void) {
    EngineLock lock;
    ESP_LOGI(TAG, "Stop audio_pipeline");
    for (int i = 0; i < MAX_TRACKS; i++)
        audio_reader_deinit(tracks[i].audio_reader);
    mixer_deinit(mixer);
}

static void mixer_status_callback(bool status) {
    ESP_LOGI(TAG, "Mixer = %u", (unsigned)status);
}

// ---------------------------------------------------------------- sound tick

// While a slot loads, its records are being rebuilt: no event reaches the drive functions or the
// logic conditions until the load has finished.
static bool slot_loading(void) {
    return slot_state == SLOT_LOADING;
}

static int live_drive_functions(void) {
    if (slot_loading()) return 0;
    return slot_data.drive_functions_len <= MAX_DRIVE_FUNCTIONS ? slot_data.drive_functions_len : 0;
}

static int32_t abs32(int32_t v) {
    return v < 0 ? -v : v;
}

// The speed a drive function's sound goes on from when a track ends or its key changes: the
// magnitude, since the direction of travel plays no part in the sound (a negative speed was
// taken as far below the target, and the level faded in over seconds), and as heard, which
// after the begin-moving jump is the first running level's.
static int32_t heard_speed(drive_function_t *df) {
    return (int32_t)drive_heard_speed(df, (uint32_t)abs32(drive_get_speed(df)));
}

void load_calculation_handler(void) {
    int32_t spd = abs32(EngineParams.CurSpeed / 256);
    uint32_t rise = (uint32_t)engine_load_accel * 100 / 1000;
    uint32_t fall = (uint32_t)engine_load_decel * 100 / 1000;
    uint32_t target;
    if (spd < last_spd) {
        target = 0;
    } else if (spd > last_spd) {
        target = 100;
    } else if (spd == 0) {
        target = 0;
    } else {
        // The base load is a percentage: values above 100 are taken as 100, so the load never
        // falls as the speed rises. A top speed below one step leaves nothing to scale by: the
        // load then stays at its base.
        uint32_t base = Memory_LoadU8(CV_BASE_LOAD);
        if (base > 100) base = 100;
        uint32_t max_steps = EngineParams.MaxSpeed >> 8;
        target = max_steps == 0 ? base : (uint8_t)(base + (uint32_t)spd * (100 - base) / max_steps);
        if (target > 100) target = 100;
    }
    if (engine_min_load != 0 && target < engine_min_load) target = engine_min_load;
    target_load_value = (uint8_t)target;

    uint32_t load = engine_load_value;
    if (target > load + rise) {
        load += rise;
        if (load > 100) load = 100;
    } else if (target < load) {
        load = load > fall ? load - fall : 0;
    }
    engine_load_value = (uint8_t)load;
    last_spd = spd;
}

bool speed_change_handler(void) {
    const uint8_t disable_flags = Memory_LoadU8(CV_LOGIC_DISABLE);
    int32_t target = EngineParams.SetSpeed / 256;
    int32_t cur = EngineParams.CurSpeed / 256;
    bool accelerating = abs32(cur) > abs32(lastSpeed);
    if (target != lastTargetSpeed) {
        for (int d = 0; d < live_drive_functions(); d++) {
            if (drive_functions[d].rom->variant == DRIVE_VARIANT_SPEED)
                drive_function_target_speed_changed(&drive_functions[d], (uint32_t)abs32(target),
                                                    (uint32_t)abs32(cur));
        }
        lastTargetSpeed = target;
    }
    if (cur == lastSpeed) return accelerating;
    bool held_back = false;
    for (int d = 0; d < live_drive_functions(); d++) {
        if (drive_functions[d].rom->variant != DRIVE_VARIANT_SPEED) continue;
        if (!drive_function_speed_changed(&drive_functions[d], (uint32_t)abs32(cur),
                                          (uint32_t)abs32(lastSpeed), false, accelerating))
            held_back = true;
    }
    if (is_logic_enabled(1) && !slot_loading())
        logics_speed_changed(logics, (uint32_t)abs32(cur), (uint32_t)abs32(lastSpeed),
                             (uint32_t)abs32(target), disable_flags);
    if (!held_back) lastSpeed = cur;
    return accelerating;
}

void engine_load_change_handler(bool accelerating) {
    const uint8_t disable_flags = Memory_LoadU8(CV_LOGIC_DISABLE);
    if (target_load_value != lastTargetLoadValue) {
        for (int d = 0; d < live_drive_functions(); d++) {
            if (drive_functions[d].rom->variant == DRIVE_VARIANT_LOAD)
                drive_function_target_speed_changed(&drive_functions[d], target_load_value,
                                                    engine_load_value);
        }
        lastTargetLoadValue = target_load_value;
    }
    if (engine_load_value == lastLoadValue) return;
    uint32_t now = now_ms();
    if (now - last_load_log_ms > 500) {
        ESP_LOGI(TAG, "New load value %lu%%", (unsigned long)engine_load_value);
        last_load_log_ms = now;
    }
    bool held_back = false;
    for (int d = 0; d < live_drive_functions(); d++) {
        if (drive_functions[d].rom->variant != DRIVE_VARIANT_LOAD) continue;
        if (!drive_function_speed_changed(&drive_functions[d], engine_load_value, (uint32_t)lastLoadValue,
                                          false, accelerating))
            held_back = true;
    }
    if ((disable_flags & 1) == 0 && !slot_loading())
        logics_load_changed(logics, engine_load_value, (uint16_t)lastLoadValue, disable_flags);
    if (!held_back) lastLoadValue = engine_load_value;
}

static void sound_tick_handler(void *arg) {
    (void)arg;
    EngineLock lock;
    const uint8_t disable_flags = Memory_LoadU8(CV_LOGIC_DISABLE);
    if (direction_changed) {
        direction_changed = false;
        for (int d = 0; d < live_drive_functions(); d++)
            drive_function_dir_changed(&drive_functions[d]);
    }
    load_calculation_handler();
    bool accelerating = speed_change_handler();
    engine_load_change_handler(accelerating);
    if ((disable_flags & 1) == 0 && !slot_loading()) {
        bool moving = EngineParams.CurSpeed / 256 != 0;
        logics_process(logics, drive_sounds_enabled, moving, disable_flags, 100);
    }
}

// Test hook: resets the tick memories of the load model and the speed forwarding.
void sound_tick_reset_for_test(void) {
    last_spd = lastSpeed = lastTargetSpeed = lastTargetLoadValue = lastLoadValue = 0;
    last_load_log_ms = last_dyn_volume_log_ms = 0;
    engine_load_value = target_load_value = 0;
    direction_changed = false;
}

void sound_tick_run_for_test(void) {
    sound_tick_handler(NULL);
}

// ---------------------------------------------------------------- movement

void soundHL_movement_prepare(uint16_t delay) {
    EngineLock lock;
    if (!initialized) return;
    if (is_logic_enabled(8) && !slot_loading()) logics_movement_prepare(logics);
    for (int d = 0; d < live_drive_functions(); d++) {
        drive_function_t *df = &drive_functions[d];
        drive_function_rom_t *rom = df->rom;
        df->start_delay_ms = delay;
        if (rom->start_id != -1) {
            int32_t t = (int32_t)tracks_rom[rom->start_id].delay_ms + delay;
            if (t >= 0) {
                ESP_LOGI(TAG, "F%u: Wait for START track %li ms", (unsigned)rom->fid, (long)t);
                esp_timer_start_once(df->start_sound_timer, (uint64_t)t * 1000);
            }
        }
        if (rom->items_len != 0) {
            int8_t id = -1;
            if (rom->accel_id != -1) {
                id = rom->accel_id;
            } else {
                for (int k = 0; k < rom->items_len && k < MAX_SPEED_ITEMS; k++) {
                    if (rom->items[k].min != 0) {
                        function_state_t s = function_get_next_state(&df->items[k], FUNCTION_IDLE);
                        id = s <= FUNCTION_OFF ? df->items[k].rom->ids[s] : -1;
                        break;
                    }
                }
            }
            if (id < 0) {
                ESP_LOGE(TAG, "F%u: Could not calculate Start moving delay", (unsigned)rom->fid);
                return;
            }
            int32_t t = (int32_t)tracks_rom[id].delay_ms + delay;
            if (t >= 0) {
                ESP_LOGI(TAG, "F%u: Wait for Start moving %li ms", (unsigned)rom->fid, (long)t);
                esp_timer_start_once(df->begin_moving_timer, (uint64_t)t * 1000);
            }
        }
        drive_function_speed_changed(df, 1, 0, false, false);
    }
}

void soundHL_movement_canceled(void) {
    EngineLock lock;
    if (!initialized) return;
    for (int d = 0; d < live_drive_functions(); d++)
        drive_function_speed_changed(&drive_functions[d], 0, 1, true, false);
}

void soundHL_movement_estop(void) {
    EngineLock lock;
    if (!initialized) return;
    if (is_logic_enabled(16) && !slot_loading()) logics_movement_stop(logics, true);
    for (int d = 0; d < live_drive_functions(); d++)
        drive_function_estop(&drive_functions[d]);
    // The hand-over has taken the target to the stand. Seen afterwards by the speed handler as a
    // fresh change of target, it started a whole-range deceleration at a stand, which ended at
    // once and started the idle level a second time.
    lastTargetSpeed = 0;
}

void soundHL_direction_changed(int8_t dir) {
    EngineLock lock;
    if (dir != 0) direction_changed = true;
}

void soundHL_update_stop_speeds(void) {
    EngineLock lock;
    for (int d = 0; d < live_drive_functions(); d++)
        drive_function_calculate_off_speed(&drive_functions[d]);
}

void soundHL_set_minimum_load(uint8_t min_load) {
    EngineLock lock;
    ESP_LOGI(TAG, "Set engine minimum load to %u%%", (unsigned)min_load);
    engine_min_load = min_load;
}

// ---------------------------------------------------------------- volumes

void soundHL_set_volume(uint8_t value) {
    if (value == 0) value = Memory_LoadU8(CV_MASTER_VOLUME);
    mixer_set_master_volume(mixer, value);
}

// Functions whose volume was written (CV 193, a dynamic volume) while a slot loaded: the loader
// may have opened their readers already, with the volume before, and they would have played at it
// until the next load.
static bool volume_written_while_loading[MAX_FUNCTIONS];

void update_volume_for_function(uint8_t func_id, uint8_t value) {
    // A loading slot opens its readers with the stored volumes itself; a volume written meanwhile
    // reaches them when the load has finished.
    if (slot_loading()) {
        if (func_id < MAX_FUNCTIONS) volume_written_while_loading[func_id] = true;
        return;
    }
    for (int i = 0; i < MAX_TRACKS; i++) {
        if (tracks_rom[i].function_id == func_id) audio_reader_set_volume(tracks[i].audio_reader, value);
    }
}

void sound_apply_volumes_written_while_loading(void) {
    for (uint8_t f = 0; f < MAX_FUNCTIONS; f++) {
        if (!volume_written_while_loading[f]) continue;
        volume_written_while_loading[f] = false;
        update_volume_for_function(f, soundHL_track_volume(f));
    }
}

// The volume a function's tracks play at: its own (CV 192/193) times its dynamic one (a VOLSPD or
// VOLLOAD logic), where either is set. A function volume of 0 means that none was set: without a
// dynamic one the tracks play at their own volume. Taken without the dynamic volume, a volume
// written or a slot loaded while a logic held the function at 0 % made it sound at its own.
uint8_t soundHL_track_volume(uint8_t func_id) {
    if (func_id >= MAX_FUNCTIONS) return AUDIO_VOLUME_NOT_GIVEN;
    const uint8_t base = function_volume[func_id], dyn = function_dyn_volume[func_id];
    if (dyn == AUDIO_VOLUME_NOT_GIVEN) return base != 0 ? base : AUDIO_VOLUME_NOT_GIVEN;
    return base != 0 ? (uint8_t)((uint32_t)base * dyn / 100) : dyn;
}

uint8_t soundHL_get_function_volume(uint8_t func_id) {
    return func_id < MAX_FUNCTIONS ? function_volume[func_id] : 0;
}

void soundHL_set_function_volume(uint8_t func_id, uint8_t value) {
    EngineLock lock;
    if (func_id >= MAX_FUNCTIONS || function_volume[func_id] == value) return;
    function_volume[func_id] = value;
    update_volume_for_function(func_id, soundHL_track_volume(func_id));
    if (function_volume_len < (size_t)func_id + 1) function_volume_len = (size_t)func_id + 1;
    nvsHL_save_function_volume(function_volume, function_volume_len);
}

void soundHL_forget_function_volumes(void) {
    EngineLock lock;
    nvsHL_erase_function_volume();
    // The volumes in use go too, or the reset would only show after the next start.
    for (uint8_t f = 0; f < MAX_FUNCTIONS; f++) {
        if (function_volume[f] == 0) continue;
        function_volume[f] = 0;
        update_volume_for_function(f, soundHL_track_volume(f));
    }
    function_volume_len = 0;
}

void soundHL_set_dyn_function_volume(uint8_t func_id, uint8_t value_pct) {
    EngineLock lock;
    if (func_id >= MAX_FUNCTIONS || function_dyn_volume[func_id] == value_pct) return;
    function_dyn_volume[func_id] = value_pct;
    uint32_t now = now_ms();
    if (now - last_dyn_volume_log_ms > 500) {
        ESP_LOGI(TAG, "Set dynamic volume for F%u to %u%%", (unsigned)func_id, (unsigned)value_pct);
        last_dyn_volume_log_ms = now;
    }
    update_volume_for_function(func_id, soundHL_track_volume(func_id));
}

// ---------------------------------------------------------------- vehicle summary

uint8_t getDCCAType(uint16_t funcId) {
    if (funcId <= 1) return 0;
    if (funcId & 0x1000) return 2;
    return 1;
}

void load_short_gui(void) {
    memcpy(short_gui.name, loco_info.name, sizeof short_gui.name);
    short_gui.image = 0;
    short_gui.symbol = loco_info.type & 15;
    short_gui.f0 = getDCCAType(loco_info.functions[0]) & 3;
    memset(short_gui.fxx, 0, sizeof short_gui.fxx);
    for (int k = 0; k < 8; k++) {
        for (int j = 0; j < 4; j++) {
            short_gui.fxx[k] |= (uint8_t)(getDCCAType(loco_info.functions[4 * k + 1 + j]) << (2 * j));
        }
    }
}

// ---------------------------------------------------------------- function keys

static void function_key(uint8_t id, bool state) {
    if (id == Memory_LoadU8(CV_MUTE_FUNCTION)) i2s_ll_set_mute(i2s_ll_handle, state);
    if (!initialized || slot_state != SLOT_LOADED) return;
    const uint8_t disable_flags = Memory_LoadU8(CV_LOGIC_DISABLE);
    if ((disable_flags & 1) == 0) logics_function_changed(logics, id, state, disable_flags);
    if (!functions[id].blocked) function_changed_internal(id, state, false);
}

void soundHL_function_changed(uint8_t id, bool state) {
    EngineLock lock;
    if (id >= MAX_FUNCTIONS || functions[id].enabled == state) return;
    functions[id].enabled = state;
    function_key(id, state);
}

// A key that went on while the slot was loading is already enabled: the replay after the load
// acts on it all the same.
void sound_replay_function(uint8_t id) {
    if (id >= MAX_FUNCTIONS) return;
    functions[id].enabled = true;
    function_key(id, true);
}

void soundHL_logic_block_event(uint8_t func_id, bool state) {
    EngineLock lock;
    if (func_id >= MAX_FUNCTIONS || functions[func_id].blocked == state) return;
    functions[func_id].blocked = state;
    DCC_FunctionBlockHandler(func_id);
    function_changed_internal(func_id, functions[func_id].enabled && !functions[func_id].blocked, true);
}

void soundHL_logic_trigger_event(uint8_t func_id, bool state) {
    EngineLock lock;
    if (func_id >= MAX_FUNCTIONS || functions[func_id].enabled == state) return;
    ESP_LOGI(TAG, "Trigger function F%u to %u by logic", (unsigned)func_id, (unsigned)state);
    functions[func_id].enabled = state;
    function_changed_internal(func_id, state, false);
}

void soundHL_input_changed(uint8_t id, bool state) {
    EngineLock lock;
    ESP_LOGI(TAG, "Input %u state=%u", (unsigned)id, (unsigned)state);
    const uint8_t disable_flags = Memory_LoadU8(CV_LOGIC_DISABLE);
    if (initialized && (disable_flags & 1) == 0) logics_input_changed(logics, id, state, disable_flags);
}

bool soundHL_get_input_state(uint8_t id) {
    (void)id;
    return false;
}

bool soundHL_is_function_blocked(uint8_t id) {
    EngineLock lock;
    return id < MAX_FUNCTIONS && slot_state == SLOT_LOADED && functions[id].blocked;
}

bool soundHL_get_function_state(int8_t func_id) {
    EngineLock lock;
    if (func_id < 0 || func_id >= MAX_FUNCTIONS) return false;
    return functions[func_id].enabled && !functions[func_id].blocked;
}

uint8_t shift_pos(uint8_t pos, int8_t shift, uint8_t max) {
    int16_t s = (int16_t)(pos + shift);
    if (s < 0) {
        s = (int16_t)(s + max);
    } else if (s >= max) {
        s = (int16_t)(s - max);
    }
    return (uint8_t)s;
}

bool is_info_next(int8_t int_id) {
    return int_id >= 0 && int_id < MAX_TRACKS && tracks_rom[int_id].type == PLAY_TYPE_INFONEXT;
}

static void info_function_step(uint8_t id, info_function_t *info, bool fwd) {
    const int idx = (int)(info - slot_data.info_functions);
    uint8_t len = info->len <= MAX_INFO_ENTRIES ? info->len : MAX_INFO_ENTRIES;
    uint8_t pos = info_functions_pos[idx];
    bool other_on =
        fwd ? DCC_GetFunctionState((uint8_t)(id + 1)) : (id > 0 && DCC_GetFunctionState((uint8_t)(id - 1)));
    if (other_on) {
        ESP_LOGE(TAG, "F%u: Reset INFO pos to start", (unsigned)(uint8_t)info->fid);
        pos = 0;
        info->activated = false;
    }
    // A stored position outside the list (another slot's, or an empty list) starts over.
    if (len == 0 || pos >= len) pos = 0;
    bool was_next = is_info_next(info->ids[pos]);
    track_stop(info->ids[pos], 0);
    if (!info->activated) {
        info->activated = true;
    } else if (len > 0 && (fwd || was_next)) {
        pos = shift_pos(pos, 1, len);
    } else if (len > 0) {
        pos = shift_pos(pos, -3, len);
    }
    if (pos >= len) pos = 0;
    if (info->ids[pos] == -1 && pos + 1 < len) pos = (uint8_t)(pos + 1);
    info_functions_pos[idx] = pos;
    int8_t track = info->ids[pos];
    if (track >= 0) {
        track_play(track, is_info_next(track) ? "INFONEXT" : "INFO", 0, 0);
        nvsHL_save_info_function_pos(info_functions_pos, sizeof info_functions_pos);
    } else {
        ESP_LOGE(TAG, "F%u: Track is not available for INFO function pos=%u", (unsigned)(uint8_t)info->fid,
                 (unsigned)pos);
    }
}

void function_changed_internal(uint8_t id, bool state, bool force) {
    if (id >= MAX_FUNCTIONS) return;
    function_t *item = &functions[id];
    const uint16_t fade = sound_fade_ms();
    // The key's latest state wins: switched on again while its interrupted ON track still plays,
    // the function goes on to its LOOP rather than to the OFF the earlier switch-off asked for.
    if (state) item->on_interrupted = false;

    drive_function_t *speed_df = drive_get_instance((int8_t)id, DRIVE_VARIANT_SPEED);
    drive_function_t *load_df = drive_get_instance((int8_t)id, DRIVE_VARIANT_LOAD);
    if (speed_df != NULL || load_df != NULL) {
        int32_t cur = EngineParams.CurSpeed / 256;
        drive_update_enable_state();
        if (speed_df != NULL) drive_function_enable(speed_df, state);
        if (load_df != NULL) drive_function_enable(load_df, state);
        if (!state) {
            function_stop(item, fade);
            if (force) return;
        }
        bool has_on = item->rom->ids[FUNCTION_ON] >= 0;
        if (!(has_on && cur == 0 && !force) && state) {
            if (speed_df != NULL) drive_function_play_next(speed_df, heard_speed(speed_df));
            if (load_df != NULL) drive_function_play_next(load_df, heard_speed(load_df));
        }
        // Standing still, the main function continues as an ordinary function.
        if (force || cur != 0) return;
    }
    if (force && !state) {
        function_stop(item, fade);
        return;
    }
    bool fwd = false;
    info_function_t *info = info_function_get_instance((int8_t)id, &fwd);
    if (info != NULL) {
        if (state) info_function_step(id, info, fwd);
        return;
    }
    if (state) {
        multi_function_t *multi = multi_function_get_instance((int8_t)id);
        if (multi != NULL && multi->len > 0) {
            if (item->state != FUNCTION_IDLE) {
                ESP_LOGI(TAG, "F%u: MULTI is playing. Skip random selection. state=%u", (unsigned)id,
                         (unsigned)item->state);
            } else {
                uint32_t v = (uint32_t)((uint64_t)esp_timer_get_time() % multi->len);
                ESP_LOGI(TAG, "F%u: MULTI switched to variant %u", (unsigned)id, (unsigned)v);
                item->rom = &multi->variants[v];
            }
        }
    }
    if (!state && item->state == FUNCTION_ON && speed_df == NULL) {
        item->on_interrupted = true;
        return;
    }
    item->state = function_get_next_state(item, state ? FUNCTION_IDLE : FUNCTION_LOOP);
    function_play_next(item);
}

// The drive function a track belongs to, if any. Level tracks carry their variant (speed or
// load) from their S or M token. The whole-range drive sounds (START, STOP, ESTOP, DIR, LOOPD,
// and ACCEL/DECEL or ACCELON/DECELON without a speed) have no such token, and so no variant of
// their own: slot loading files them under the function's speed variant, and so must their end,
// or a transition track that ends would never release the levels it holds back.
static drive_function_t *track_drive_function(const track_rom_t *rom) {
    if (sound_is_drive_transition(rom->type) && rom->speed < 0)
        return drive_get_instance((int8_t)rom->function_id, DRIVE_VARIANT_SPEED);
    return drive_get_instance((int8_t)rom->function_id, (uint8_t)rom->variant_id);
}

void track_end_handle(int8_t int_id) {
    if (int_id < 0 || int_id >= MAX_TRACKS) return;
    tracks[int_id].state = false;
    if (slot_loading()) return;
    track_rom_t *rom = tracks[int_id].rom;
    uint8_t fid = rom->function_id;
    if (fid >= MAX_FUNCTIONS) return;
    drive_function_t *df = track_drive_function(rom);
    function_t *item = &functions[fid];
    if (!((!item->blocked && item->enabled) || item->on_interrupted)) {
        item->state = FUNCTION_IDLE;
        return;
    }
    uint32_t s = 0;
    if (df != NULL) {
        drive_function_rom_t *d = df->rom;
        s = (uint32_t)heard_speed(df);
        if (int_id == d->stop_id || int_id == d->start_id || int_id == d->estop_id ||
            int_id == df->accelon_started_id || int_id == df->decelon_started_id)
            return;
        if (int_id == d->accel_id || int_id == d->decel_id) {
            // A transition replaced by the other one (an ACCEL by a DECEL, or back) ends after
            // its fade-out: the levels stay held for the one that plays now. Taken for the end
            // of the transition, it stopped the new one and brought the level in again.
            const int8_t other = int_id == d->accel_id ? d->decel_id : d->accel_id;
            if (other >= 0 && other < MAX_TRACKS && tracks[other].state) return;
            drive_function_transition_ended(df, (int32_t)s);
            return;
        }
        if (int_id == df->last_accdcl_id) {
            df->last_accdcl_id = -1;
            // At the speed it was started for, the same band's track would be picked again. One
            // that ends at once (nothing to play from where its timing starts it) would then
            // start and end again at once, for ever: it waits for the speed to move.
            if ((int32_t)s == df->accdcl_speed) return;
            drive_function_play_accel(df, (int32_t)s);
            return;
        }
        // The drive-off sound is the first running level's OFF track: it ends here as the
        // drive-off sound only when it was started as that. Ending as the level's OFF track, it
        // moves its level on like any level track; taken for the drive-off sound, the level
        // stayed in OFF and the next step played the same track again, without end.
        if (int_id == d->drv_off_id && df->drv_off_started) {
            df->drv_off_started = false;
            df->drv_off_done = true;
            drive_function_play_next(df, (int32_t)s);
            return;
        }
        if (rom->drive_pos >= 0 && rom->drive_pos < MAX_SPEED_ITEMS) item = &df->items[rom->drive_pos];
    }
    if (item->state > FUNCTION_OFF || item->rom->ids[item->state] != int_id || item->state == FUNCTION_LOOP)
        return;
    const function_state_t ended = item->state;
    if (item->on_interrupted) {
        item->on_interrupted = false;
        item->state = FUNCTION_OFF;
    } else {
        item->state = function_next_track(item->state);
    }
    if (df != NULL) {
        drive_function_play_next(df, (int32_t)s);
        return;
    }
    function_play_next(item);
    // A drive function's own ON track, switched on at a stand, holds its levels back while it
    // plays (the engine start). With it over, the engine sound goes on with the level of the
    // speed: without this the engine fell silent after its start until the speed changed.
    if (ended == FUNCTION_ON && item->state != FUNCTION_OFF) {
        drive_function_t *speed_df = drive_get_instance((int8_t)fid, DRIVE_VARIANT_SPEED);
        drive_function_t *load_df = drive_get_instance((int8_t)fid, DRIVE_VARIANT_LOAD);
        if (speed_df != NULL) drive_function_play_next(speed_df, heard_speed(speed_df));
        if (load_df != NULL) drive_function_play_next(load_df, heard_speed(load_df));
    }
}

bool audio_end_notification(audio_reader_handle_t handle, void *param) {
    (void)handle;
    intptr_t id = (intptr_t)param;
    if (id < 0 || id >= MAX_TRACKS) return false;
    ESP_LOGI(TAG, "Ending of %lu", (unsigned long)id);
    post_track_end((int8_t)id, false);
    return true;
}

void audio_stop_notification(audio_reader_handle_t handle, void *param) {
    (void)handle;
    intptr_t id = (intptr_t)param;
    ESP_LOGI(TAG, "End of %lu", (unsigned long)id);
    if (id >= 0 && id < MAX_TRACKS) post_track_end((int8_t)id, true);
}

void drive_update_enable_state(void) {
    bool enabled = false;
    for (int d = 0; d < live_drive_functions(); d++) {
        if (drive_functions[d].main_item != NULL && drive_functions[d].main_item->enabled) enabled = true;
    }
    if (enabled != drive_sounds_enabled)
        ESP_LOGI(TAG, "Drive functions state changed to %u", (unsigned)enabled);
    drive_sounds_enabled = enabled;
}

void drive_function_enable(drive_function_t *drive_function, bool state) {
    int pos = drive_get_pos(drive_function, (uint32_t)abs32(drive_get_speed(drive_function)));
    drive_function->target_pos = (int8_t)pos;
    drive_function->current_pos = (int8_t)pos;
    // The speed handler tells a drive function of a new target only while it is on, and only
    // when the target changes: switched on again, or in a slot loaded while the loco runs, it
    // kept an old target (or none, -1), and its level's cross-fade was reckoned towards that
    // and took seconds. It takes the target of now.
    if (state)
        drive_function->target_spd = drive_function->rom->variant == DRIVE_VARIANT_LOAD
                                         ? (int32_t)target_load_value
                                         : abs32(EngineParams.SetSpeed / 256);
    if (!state) {
        drive_function_stop(drive_function, sound_fade_ms());
        // A transition track (ACCEL/DECEL) or the drive-off sound holds the levels back until
        // its end, and the end of a track finds the key off here and goes no further: switched
        // on again, the engine would wait silent for the target speed, or for good.
        drive_function->block_loop = false;
        drive_function->drv_off_started = false;
        drive_function->drv_off_done = false;
    }
}
