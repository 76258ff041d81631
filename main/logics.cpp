// Logic conditions: up to 32 small rules per slot that switch, block, trigger, dim or set the
// volume of functions in response to driving events, other functions, inputs, speed and load
// ranges and random timers.
//
// The module is event driven (the sound engine reports function, input, speed, load and movement
// events) plus a periodic pass every 100 ms that runs the delays, durations and random periods.
// Every scan walks the table in order and stops at the first entry of kind LOGIC_NONE.
//
// Threads: events arrive on the tick thread (speed, load, movement, the periodic pass) and on the
// console thread (function keys through the sound engine); both hold the firmware lock, so the
// table and the module state below need no lock of their own. Effects go back to the sound engine
// (which may call in again, e.g. a function switched by a condition is reported as a function
// event); no scan keeps state across such a call other than its loop index.
#include "logics.h"

#include "dcc_hl.h"
#include "esp_cpu.h"
#include "esp_log.h"
#include "esp_timer.h"
#include "movement.h"
#include "sound_hl.h"

static const char *TAG = "LOGICS";

// Bits of the disable flags (CV 208) that this module tests itself.
#define DISABLE_RANDOM 0x02
#define DISABLE_BLOCK_TOGETHER 0x04
#define DISABLE_INPUTS 0x20

// Trigger ids from 100 on name inputs (input n = 100 + n).
#define INPUT_ID_BASE 100

// An emergency stop happened since the last start: STOP rules stay silent, ranges and the fan
// switch off.
static uint8_t estop_event;
// Last speed reported (|CurSpeed| / 256, 0..255) and last load (percent).
static uint8_t current_spd;
static uint8_t current_load;
// Per function, how many conditions currently hold it on.
static uint8_t func_en_counter[MAX_FUNCTIONS];

static const char *const TYPE_NAMES[LOGIC_MAX] = {
    "",         "ACC",     "DCL", "ACCDCL", "START",  "STOP",     "ESTOP",   "BLOCK",
    "BLOCKDRV", "ON",      "OFF", "ONOFF",  "VOL",    "VOLSPD",   "VOLLOAD", "SPD",
    "LOAD",     "MINLOAD", "DIM", "DIMOUT", "RANDOM", "TOGETHER", "FAN",
};

const char *logics_type2str(logic_type_t type) {
    if ((int)type < 0 || (int)type >= LOGIC_MAX) return "";
    return TYPE_NAMES[type];
}

// ---- helpers ----

static uint32_t now_ms(void) {
    return (uint32_t)(esp_timer_get_time() / 1000);
}

// A time of 0 means "nothing pending"; a deadline that happens to fall on 0 (only possible in the
// first millisecond of the time base) is moved to 1 ms so that it is not lost.
static uint32_t deadline(uint32_t t) {
    return t != 0 ? t : 1;
}

// A condition names a sound function only when its id is one of F0..F68. Larger numbers, inputs
// written as a target (stored from 99 on) and numbers that wrapped negative in the 8-bit field
// never index a function table: such a condition acts only through the calls that take its id
// as something else (output number, trigger), or is skipped.
static bool valid_function(int8_t id) {
    return id >= 0 && id < MAX_FUNCTIONS;
}

static const char *type_name(const logic_condition_t *item) {
    return logics_type2str(item->rom->type);
}

// Function ids print as the unsigned byte they came from in the logic file (F200 wrapped into
// the signed field prints as F200 again).
static unsigned fid(const logic_condition_t *item) {
    return (uint8_t)item->rom->func_id;
}

// Top speed in speed units; a top speed below one unit is taken as one (no division by zero).
static uint32_t max_speed_units(void) {
    uint32_t m = EngineParams.MaxSpeed / 256;
    return m != 0 ? m : 1;
}

static uint32_t spd_val2pct(uint32_t spd) {
    uint32_t m = max_speed_units();
    return (m / 2 + spd * 100) / m;
}

static uint32_t spd_pct2val(uint32_t percent) {
    return (percent * max_speed_units() + 50) / 100;
}

// Adds to an event counter; it stops at its largest value instead of wrapping to small numbers.
static void counter_add(logic_condition_t *item, uint32_t n) {
    uint32_t v = item->current_param + n;
    item->current_param = (uint16_t)(v > 0xFFFF ? 0xFFFF : v);
}

static bool should_play(const logic_condition_t *item, bool moving) {
    return moving ? (item->rom->flags & 0x02) != 0 : (item->rom->flags & 0x01) != 0;
}

// Iterates over the live entries: stops at the first LOGIC_NONE; entries without a description
// are passed over.
#define FOR_EACH_LOGIC(logics, i, item)                                   \
    for (unsigned i = 0; i < MAX_LOGICS; i++)                             \
        if (logic_condition_t *item = &(logics)[i]; item->rom == nullptr) \
            continue;                                                     \
        else if (item->rom->type == LOGIC_NONE)                           \
            break;                                                        \
        else

// ---- switching ----

static void set_logic_state_forced(logic_condition_t *item, bool state, bool force) {
    int8_t id = item->rom->func_id;
    if (state) {
        if (item->started && !force) return;
        bool was_started = item->started;
        item->started = true;
        if (!valid_function(id)) return;
        // The counter counts conditions: a forced repeat of a condition that already holds the
        // function switches it on again but is not counted twice, so that one switch-off per
        // condition always releases it.
        if (!was_started && func_en_counter[id] < 0xFF) func_en_counter[id]++;
        ESP_LOGI(TAG, "Logic condition F%u type=%s ON", fid(item), type_name(item));
        soundHL_function_changed((uint8_t)id, true);
    } else {
        if (!item->started && !force) return;
        item->started = false;
        if (!valid_function(id)) return;
        if (func_en_counter[id] > 0) func_en_counter[id]--;
        if (func_en_counter[id] > 0) {
            ESP_LOGI(TAG, "Logic condition F%u type=%s OFF skipped, counter=%u", fid(item), type_name(item),
                     (unsigned)func_en_counter[id]);
            return;
        }
        ESP_LOGI(TAG, "Logic condition F%u type=%s OFF", fid(item), type_name(item));
        soundHL_function_changed((uint8_t)id, false);
    }
}

static void set_logic_state(logic_condition_t *item, bool state) {
    set_logic_state_forced(item, state, false);
}

// ---- block and together ----

static bool trigger_is_on(int8_t trigger_id) {
    if (trigger_id < 0) return false;
    if (trigger_id < INPUT_ID_BASE) return soundHL_get_function_state(trigger_id);
    return soundHL_get_input_state((uint8_t)(trigger_id - INPUT_ID_BASE));
}

// True when some condition on func_id wants it blocked / switched: a BLOCKDRV while the vehicle
// moves, a BLOCK or TOGETHER whose trigger is on while it may play.
static bool check_trigger_state(logic_condition_t *logics, int8_t func_id) {
    FOR_EACH_LOGIC(logics, i, item) {
        const logic_condition_rom_t *r = item->rom;
        if (r->func_id != func_id) continue;
        if (r->type == LOGIC_BLOCK_DRV) {
            if (current_spd != 0) return true;
        } else if (r->type == LOGIC_BLOCK || r->type == LOGIC_TOGETHER) {
            if (should_play(item, current_spd != 0) && trigger_is_on(r->trigger_id)) return true;
        }
    }
    return false;
}

static void block_type_handler(logic_condition_t *logics, int8_t func_id) {
    if (!valid_function(func_id)) return;
    soundHL_logic_block_event((uint8_t)func_id, check_trigger_state(logics, func_id));
}

static void together_type_handler(logic_condition_t *logics, logic_condition_t *item) {
    int8_t id = item->rom->func_id;
    if (!valid_function(id)) return;
    bool s = check_trigger_state(logics, id);
    if (s && item->rom->delay_ms != 0) {
        item->next_time_ms = deadline(now_ms() + item->rom->delay_ms);
        return;
    }
    // Released (or no delay): a switch-on still waiting for its delay is withdrawn, or it would
    // switch the function on after its trigger has already gone off.
    item->next_time_ms = 0;
    soundHL_logic_trigger_event((uint8_t)id, s);
}

// ---- ranges, fan, volume curve ----

static void process_value_logic(logic_condition_t *item, uint32_t val) {
    const logic_condition_rom_t *r = item->rom;
    bool on = (r->param & 0xFF) < val && val < (r->param2 & 0xFFu) && estop_event == 0;
    if (on) {
        item->next_time_ms = 0;
        set_logic_state(item, true);
    } else if (item->next_time_ms == 0) {
        if (r->delay_ms != 0) {
            ESP_LOGI(TAG, "F%u: %s logic end delay %lu ms", fid(item), type_name(item),
                     (unsigned long)r->delay_ms);
        }
        item->next_time_ms = deadline(now_ms() + r->delay_ms);
    }
}

static void check_fan_logic(logic_condition_t *item) {
    const logic_condition_rom_t *r = item->rom;
    set_logic_state(item,
                    current_load >= r->param && r->param2 >= spd_val2pct(current_spd) && estop_event == 0);
}

// Volume in percent for a value on the scale 0..max: a straight line from the low byte of param
// (at 0) to the low byte of param2 (at max). A param2 below param gives a falling curve: the
// interpolation is signed, and the result is kept within 0..100.
static uint8_t get_volume_for_value(const logic_condition_t *item, uint32_t val, uint32_t max) {
    int32_t lo = item->rom->param & 0xFF;
    int32_t hi = item->rom->param2 & 0xFF;
    if (max == 0) return (uint8_t)(lo > 100 ? 100 : lo);
    int64_t pct = ((int64_t)val * 100 + max / 2) / max;
    int64_t v = (int64_t)(hi - lo) * pct / 100 + lo;
    if (v < 0) v = 0;
    if (v > 100) v = 100;
    return (uint8_t)v;
}

static void set_dyn_volume(const logic_condition_t *item, uint8_t value_pct) {
    if (!valid_function(item->rom->func_id)) return;
    soundHL_set_dyn_function_volume((uint8_t)item->rom->func_id, value_pct);
}

// ---- random periods ----

static void random_generate_next_time(logic_condition_t *item, uint32_t now) {
    uint32_t r = esp_cpu_get_cycle_count() & 0x3FF;
    // The bounds may be written either way round; the period lies between the smaller and the
    // larger of them (in seconds). 64-bit products: large bounds must not wrap.
    uint32_t lo = item->rom->param, hi = item->rom->param2;
    if (hi < lo) {
        uint32_t t = lo;
        lo = hi;
        hi = t;
    }
    uint32_t period = lo * 1000u + (uint32_t)(((uint64_t)(hi - lo) * r * 125) >> 7);
    ESP_LOGI(TAG, "RAND %i next period %lu ms", (int)item->rom->func_id, (unsigned long)period);
    item->next_time_ms = deadline(now + period);
}

// ---- entry points ----

void logics_reset_ram(logic_condition_t *logics) {
    if (logics == nullptr) return;
    FOR_EACH_LOGIC(logics, i, item) {
        item->current_param = 0;
        item->next_time_ms = 0;
        // A new slot starts with no condition pending or holding a function; stale values would
        // make a condition of the new slot believe it already holds its function.
        item->start_time_ms = 0;
        item->started = false;
    }
    for (unsigned f = 0; f < MAX_FUNCTIONS; f++)
        func_en_counter[f] = 0;
}

void logics_reset(logic_condition_t *logics) {
    if (logics == nullptr) return;
    logics_reset_ram(logics);
    for (unsigned i = 0; i < MAX_LOGICS; i++) {
        if (logics[i].rom != nullptr) logics[i].rom->type = LOGIC_NONE;
    }
}

void logics_slot_loading(logic_condition_t *logics) {
    if (logics == nullptr) return;
    FOR_EACH_LOGIC(logics, i, item) {
        logic_condition_rom_t *r = item->rom;
        if (r->type == LOGIC_ACCEL || r->type == LOGIC_DECEL || r->type == LOGIC_ACCDCL) {
            uint32_t v = spd_pct2val(r->param);
            r->param = (uint16_t)(v > 0xFFFF ? 0xFFFF : v);
        }
    }
}

void logics_print(const char *tag, logic_condition_t *logics) {
    if (logics == nullptr) return;
    if (tag == nullptr) tag = TAG;
    FOR_EACH_LOGIC(logics, i, item) {
        const logic_condition_rom_t *r = item->rom;
        unsigned f = fid(item);
        const char *name = type_name(item);
        long duration = r->duration_ms;
        switch (r->type) {
            case LOGIC_ACCEL:
            case LOGIC_DECEL:
            case LOGIC_ACCDCL:
                ESP_LOGI(tag, "F%u(%lims): type=%s, param=%lu", f, duration, name,
                         (unsigned long)spd_val2pct(r->param));
                break;
            case LOGIC_BLOCK:
                ESP_LOGI(tag, "F%u: type=%s, trig=F%i", f, name, (int)r->trigger_id);
                break;
            case LOGIC_BLOCK_DRV:
                ESP_LOGI(tag, "F%u: type=%s", f, name);
                break;
            case LOGIC_REPEATS_ON:
            case LOGIC_REPEATS_OFF:
            case LOGIC_REPEATS_BOTH:
                ESP_LOGI(tag, "F%u(%lims): type=%s, trig=%u, param=%u flags=%u", f, duration, name,
                         (unsigned)(uint8_t)r->trigger_id, (unsigned)r->param, (unsigned)r->flags);
                break;
            case LOGIC_VOLUME:
            case LOGIC_MIN_LOAD:
                ESP_LOGI(tag, "Type=%s, trig=F%i param=%u", name, (int)r->trigger_id, (unsigned)r->param);
                break;
            case LOGIC_VOLUME_SPD:
            case LOGIC_VOLUME_LOAD:
                ESP_LOGI(tag, "F%u: type=%s, min=%u max=%u", f, name, (unsigned)r->param,
                         (unsigned)r->param2);
                break;
            case LOGIC_SPD:
            case LOGIC_LOAD:
                ESP_LOGI(tag, "F%u: type=%s, range=(%u, %u)", f, name, (unsigned)r->param,
                         (unsigned)r->param2);
                break;
            case LOGIC_DIMM:
            case LOGIC_DIMM_OUTPUT:
                ESP_LOGI(tag, "F%u: Type=%s, trig=F%i param=%u", f, name, (int)r->trigger_id,
                         (unsigned)r->param);
                break;
            case LOGIC_RANDOM:
                ESP_LOGI(TAG, "F%u(%lims): type=%s, min %us max %us flags=%u", f, duration, name,
                         (unsigned)r->param, (unsigned)r->param2, (unsigned)r->flags);
                break;
            case LOGIC_TOGETHER:
                ESP_LOGI(tag, "F%u: type=%s, trig=F%i delay=%lu", f, name, (int)r->trigger_id,
                         (unsigned long)r->delay_ms);
                break;
            case LOGIC_FAN:
                ESP_LOGI(tag, "F%u: type=%s, minLoad=%u maxSpeed=%u", f, name, (unsigned)r->param,
                         (unsigned)r->param2);
                break;
            default:
                ESP_LOGI(tag, "F%u(%lims): type=%s, param=%u flags=%u", f, duration, name, (unsigned)r->param,
                         (unsigned)r->flags);
                break;
        }
    }
}

void logics_function_changed(logic_condition_t *logics, uint8_t id, bool state, uint8_t disable_flags) {
    if (logics == nullptr) return;
    for (unsigned i = 0; i < MAX_LOGICS; i++) {
        logic_condition_t *item = &logics[i];
        if (item->rom == nullptr) {
            ESP_LOGE(TAG, "rom is null for logic %u", i);
            continue;
        }
        const logic_condition_rom_t *r = item->rom;
        if (r->type == LOGIC_NONE) break;

        if (r->func_id == (int)id && (r->type == LOGIC_VOLUME_SPD || r->type == LOGIC_VOLUME_LOAD)) {
            set_dyn_volume(item, (uint8_t)r->param);
        }
        if (r->trigger_id != (int)id) continue;
        uint8_t value = state ? (uint8_t)(r->param & 0xFF) : 0;
        switch (r->type) {
            case LOGIC_BLOCK:
                if (!(disable_flags & DISABLE_BLOCK_TOGETHER)) block_type_handler(logics, r->func_id);
                break;
            case LOGIC_REPEATS_ON:
                if (state) counter_add(item, 1);
                break;
            case LOGIC_REPEATS_OFF:
                if (!state) counter_add(item, 1);
                break;
            case LOGIC_REPEATS_BOTH:
                counter_add(item, 1);
                break;
            case LOGIC_VOLUME:
                soundHL_set_volume(value);
                break;
            case LOGIC_MIN_LOAD:
                soundHL_set_minimum_load(value);
                break;
            case LOGIC_DIMM:
                if (valid_function(r->func_id)) DCC_SetFunctionDimm((uint8_t)r->func_id, value);
                break;
            case LOGIC_DIMM_OUTPUT:
                // func_id holds the output number + 1; 0 and negative values name no output.
                if (r->func_id >= 1) DCC_SetOutputDimm((uint8_t)(r->func_id - 1), value);
                break;
            case LOGIC_TOGETHER:
                if (!(disable_flags & DISABLE_BLOCK_TOGETHER)) together_type_handler(logics, item);
                break;
            default:
                break;
        }
    }
}

void logics_input_changed(logic_condition_t *logics, uint8_t id, bool state, uint8_t disable_flags) {
    if (disable_flags & DISABLE_INPUTS) return;
    // Inputs are reported as 100 + n; an input number that does not fit would wrap onto a
    // function number.
    if (id > 0xFF - INPUT_ID_BASE) return;
    logics_function_changed(logics, (uint8_t)(id + INPUT_ID_BASE), state, disable_flags);
}

void logics_speed_changed(logic_condition_t *logics, uint32_t spd, uint32_t last_spd, uint32_t target_spd,
                          uint8_t disable_flags) {
    (void)target_spd;
    if (logics == nullptr) return;
    if (spd > 255) spd = 255;
    if (last_spd > 255) last_spd = 255;
    current_spd = (uint8_t)spd;
    int16_t d = (int16_t)(spd - last_spd);
    bool stand_changed = (spd == 0) != (last_spd == 0);
    bool block_enabled = !(disable_flags & DISABLE_BLOCK_TOGETHER);

    FOR_EACH_LOGIC(logics, i, item) {
        switch (item->rom->type) {
            case LOGIC_DECEL:
                if (d < 0) counter_add(item, (uint32_t)-d);
                break;
            case LOGIC_ACCEL:
                if (d >= 1) counter_add(item, (uint32_t)d);
                break;
            case LOGIC_ACCDCL:
                counter_add(item, (uint32_t)(d < 0 ? -d : d));
                break;
            case LOGIC_VOLUME_SPD:
                set_dyn_volume(item, get_volume_for_value(item, spd, max_speed_units()));
                break;
            case LOGIC_SPD:
                process_value_logic(item, spd_val2pct(spd));
                break;
            case LOGIC_FAN:
                check_fan_logic(item);
                break;
            default:
                break;
        }
        if (stand_changed && block_enabled) {
            if (item->rom->type == LOGIC_BLOCK || item->rom->type == LOGIC_BLOCK_DRV) {
                block_type_handler(logics, item->rom->func_id);
            } else if (item->rom->type == LOGIC_TOGETHER) {
                together_type_handler(logics, item);
            }
        }
    }
    if (spd == 0) logics_movement_stop(logics, false);
}

void logics_load_changed(logic_condition_t *logics, uint16_t load, uint16_t last_load,
                         uint8_t disable_flags) {
    (void)last_load;
    (void)disable_flags;
    if (logics == nullptr) return;
    current_load = (uint8_t)(load > 255 ? 255 : load);
    FOR_EACH_LOGIC(logics, i, item) {
        switch (item->rom->type) {
            case LOGIC_VOLUME_LOAD:
                set_dyn_volume(item, get_volume_for_value(item, load, 100));
                break;
            case LOGIC_LOAD:
                process_value_logic(item, load);
                break;
            case LOGIC_FAN:
                check_fan_logic(item);
                break;
            default:
                break;
        }
    }
}

void logics_movement_prepare(logic_condition_t *logics) {
    estop_event = 0;
    if (logics == nullptr) return;
    FOR_EACH_LOGIC(logics, i, item) {
        if (item->rom->type == LOGIC_START) counter_add(item, 1);
    }
}

void logics_movement_stop(logic_condition_t *logics, bool estop) {
    if (estop) estop_event = 1;
    if (logics == nullptr) return;
    FOR_EACH_LOGIC(logics, i, item) {
        if (item->rom->type == LOGIC_STOP && estop_event == 0) counter_add(item, 1);
        if (item->rom->type == LOGIC_ESTOP && estop) counter_add(item, 1);
    }
}

// Runs the start delay and the hold time of one condition.
static void timing_step(logic_condition_t *item, uint32_t now) {
    if (item->start_time_ms == 0) return;
    int32_t duration = item->rom->duration_ms;
    bool change = false, state = false;
    bool due = now >= item->start_time_ms;
    if (due) {
        if (!item->started && duration > 0) {
            change = true;
            state = true;
        } else if (duration == 0) {
            item->start_time_ms = 0;
            change = true;
            state = true;
        } else if (duration == -1) {
            item->start_time_ms = 0;
            change = true;
            state = false;
        }
    }
    // The hold time runs from the start time once it has come, and only for a positive duration:
    // a re-trigger while the function is on (its new start still in the future) extends the hold
    // instead of cutting it off, and a condition switched on for good (duration 0) stays on when
    // it fires again.
    bool holding = item->started || (change && state && duration > 0);
    if (holding && duration > 0 && due && now - item->start_time_ms >= (uint32_t)duration) {
        item->start_time_ms = 0;
        change = true;
        state = false;  // a switch-off decided here wins over a switch-on of the same pass
    }
    if (change) set_logic_state_forced(item, state, true);
}

void logics_process(logic_condition_t *logics, bool driving_enabled, bool moving, uint8_t disable_flags,
                    uint16_t call_period_ms) {
    (void)call_period_ms;
    if (logics == nullptr) return;
    uint32_t now = now_ms();
    FOR_EACH_LOGIC(logics, i, item) {
        const logic_condition_rom_t *r = item->rom;
        switch (r->type) {
            case LOGIC_BLOCK:
            case LOGIC_VOLUME:
            case LOGIC_VOLUME_SPD:
            case LOGIC_VOLUME_LOAD:
            case LOGIC_DIMM:
            case LOGIC_DIMM_OUTPUT:
            case LOGIC_FAN:
                continue;
            case LOGIC_TOGETHER:
                if (item->next_time_ms != 0 && now >= item->next_time_ms) {
                    item->next_time_ms = 0;
                    if (valid_function(r->func_id)) soundHL_logic_trigger_event((uint8_t)r->func_id, true);
                }
                continue;
            case LOGIC_SPD:
            case LOGIC_LOAD:
                if (item->next_time_ms != 0 && now >= item->next_time_ms) {
                    item->next_time_ms = 0;
                    set_logic_state(item, false);
                }
                break;
            case LOGIC_RANDOM:
                if (driving_enabled && !(disable_flags & DISABLE_RANDOM) && should_play(item, moving)) {
                    if (item->next_time_ms == 0) random_generate_next_time(item, now);
                    if (item->next_time_ms != 0 && now >= item->next_time_ms) {
                        item->start_time_ms = deadline(now);
                        random_generate_next_time(item, now);
                    }
                } else {
                    item->next_time_ms = 0;
                }
                break;
            default:
                if (item->current_param >= r->param) {
                    if (should_play(item, moving)) {
                        ESP_LOGI(TAG, "Trigger logic condition F%u type=%s param=%i", fid(item),
                                 type_name(item), (int)item->current_param);
                        item->start_time_ms = deadline(now + r->delay_ms);
                    }
                    item->current_param = 0;  // an event that may not play is dropped
                }
                break;
        }
        timing_step(item, now);
    }
}
