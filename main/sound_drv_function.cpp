// The drive-function model: unit conversions, the sorted speed levels and their choice with
// hysteresis, the enable rule, resets, the three per-drive-function timers (start sound, begin
// moving, complex-loop period), track assignment during parsing and the diagnostic dump.
//
// Timer callbacks run on the tick thread; parsing runs on the slot-loading task before the drive
// functions are live.
#include "sound_drv_function.h"

#include <stdio.h>
#include <string.h>

#include <atomic>

#include "esp_log.h"
#include "sound_drv_private.h"
#include "sound_hl.h"

static const char *TAG = DRV_TAG;

// The base period of the complex loops: the last non-zero period handed to
// update_periodic_timer, one value for all drive functions.
static std::atomic<uint32_t> s_base_period_ms{0};

// ---------------------------------------------------------------- conversions

const char *drive_variant2str(drive_variant_t variant) {
    switch (variant) {
        case DRIVE_VARIANT_SPEED:
            return "SPD";
        case DRIVE_VARIANT_LOAD:
            return "LOAD";
        default:
            return "N/A";
    }
}

uint32_t drive_function_val2pct(drive_function_t *drive_function, int32_t spd) {
    const uint32_t max = drive_function->max_speed;
    // A motor whose top speed is below one step has no range to take a share of: every speed
    // counts as 0 %, so the complex-loop timer stays stopped and the logs show 0 %.
    if (max == 0) return 0;
    const uint64_t mag = spd < 0 ? (uint64_t)(-(int64_t)spd) : (uint64_t)spd;
    return (uint32_t)((max / 2 + mag * 100) / max);
}

uint32_t drive_function_pct2val(drive_function_t *drive_function, uint32_t percent) {
    return (uint32_t)(((uint64_t)drive_function->max_speed * percent + 50) / 100);
}

uint16_t drive_function_accel_ms2spd(drive_function_t *drive_function, uint32_t ms) {
    return (uint16_t)((uint64_t)drive_function->accel * ms / 1000);
}

uint16_t drive_function_decel_ms2spd(drive_function_t *drive_function, uint32_t ms) {
    return (uint16_t)((uint64_t)drive_function->decel * ms / 1000);
}

// A rate of 0 never gains or loses any speed; the time is then reported as 0 so that the
// sounds timed by it start at once instead of dividing by zero.
uint32_t drive_function_accel_spd2ms(drive_function_t *drive_function, uint32_t spd) {
    if (drive_function->accel == 0) return 0;
    return (uint32_t)((uint64_t)spd * 1000 / drive_function->accel);
}

uint32_t drive_function_decel_spd2ms(drive_function_t *drive_function, uint32_t spd) {
    if (drive_function->decel == 0) return 0;
    return (uint32_t)((uint64_t)spd * 1000 / drive_function->decel);
}

// ---------------------------------------------------------------- levels

void drive_sort_speed_items(drive_function_t *drive_function) {
    drive_function_rom_t *rom = drive_function->rom;
    const uint8_t n = rom->items_len < MAX_SPEED_ITEMS ? rom->items_len : MAX_SPEED_ITEMS;
    // Bubble sorts that swap only on a strictly smaller later value: equal speeds keep the order
    // in which their files were found.
    for (uint8_t i = 0; n > 1 && i < n - 1; i++) {
        for (uint8_t j = 0; j < n - 1 - i; j++) {
            if (rom->items[j + 1].min < rom->items[j].min) {
                speed_item_t t = rom->items[j];
                rom->items[j] = rom->items[j + 1];
                rom->items[j + 1] = t;
            }
        }
    }
    accel_item_t *lists[2] = {rom->acc_items, rom->dcl_items};
    const uint8_t lens[2] = {rom->acc_items_len, rom->dcl_items_len};
    for (int l = 0; l < 2; l++) {
        accel_item_t *a = lists[l];
        const uint8_t m = lens[l] < MAX_ACCEL_ITEMS ? lens[l] : MAX_ACCEL_ITEMS;
        for (uint8_t i = 0; m > 1 && i < m - 1; i++) {
            for (uint8_t j = 0; j < m - 1 - i; j++) {
                if (a[j + 1].min < a[j].min) {
                    accel_item_t t = a[j];
                    a[j] = a[j + 1];
                    a[j + 1] = t;
                }
            }
        }
    }
}

function_t *drive_get_item(drive_function_t *drive_function) {
    const int8_t pos = drive_function->current_pos;
    if (pos < 0 || pos >= drive_function->rom->items_len || pos >= MAX_SPEED_ITEMS) return nullptr;
    return &drive_function->items[pos];
}

function_t *drive_update_pos(drive_function_t *drive_function, int8_t shift) {
    const int8_t previous = drive_function->current_pos;
    int8_t pos = (int8_t)(previous + shift);
    const uint8_t len = drive_function->rom->items_len;
    if (pos >= (int)len) pos = (int8_t)(len - 1);
    drive_function->current_pos = pos;
    ESP_LOGI(TAG, "F%u: %s pos %i->%i", drive_fid(drive_function),
             drive_variant2str(drive_function->rom->variant), (int)previous, (int)drive_function->target_pos);
    return drive_get_item(drive_function);
}

bool drive_is_enabled(drive_function_t *drive_function) {
    const int8_t fid = drive_function->rom->fid;
    if (fid < 0 || fid >= MAX_FUNCTIONS) return false;
    const function_t *main_item = drive_function->main_item;
    if (main_item == nullptr || main_item->blocked) return false;
    return main_item->enabled;
}

bool drive_is_start_playing(drive_function_t *drive_function) {
    const int8_t id = drive_function->rom->start_id;
    return drive_track_valid(id) && tracks[id].state;
}

int drive_get_pos(drive_function_t *drive_function, uint32_t speed) {
    const drive_function_rom_t *rom = drive_function->rom;
    const uint8_t len = rom->items_len < MAX_SPEED_ITEMS ? rom->items_len : MAX_SPEED_ITEMS;
    const uint32_t hyst4 = drive_function_pct2val(drive_function, 4);
    const uint32_t hyst3 = drive_function_pct2val(drive_function, 3);
    const int8_t cur = drive_function->current_pos;
    if (cur >= 0 && cur < len) {
        uint32_t lo = rom->items[cur].min;
        uint32_t hi = cur + 1 < len ? rom->items[cur + 1].min : drive_function->max_speed;
        if (lo != 0 && lo < hyst4) hi += hyst3;
        if (lo >= hyst4) {
            lo = lo >= hyst3 ? lo - hyst3 : 0;
            hi += hyst3;
        }
        if (lo != 0 && lo < speed && speed <= hi) return cur;
    }
    int pos = -1;
    for (uint8_t k = 0; k < len; k++) {
        if (rom->items[k].min > speed) break;
        pos = k;
    }
    return pos;
}

static int accel_list_pos(const accel_item_t *list, uint8_t len, int32_t speed) {
    if (len > MAX_ACCEL_ITEMS) len = MAX_ACCEL_ITEMS;
    int pos = -1;
    for (uint8_t k = 0; k < len; k++) {
        if ((int32_t)list[k].min > speed) break;
        pos = k;
    }
    return pos;
}

int drive_accel_pos(drive_function_t *drive_function, int32_t speed) {
    return accel_list_pos(drive_function->rom->acc_items, drive_function->rom->acc_items_len, speed);
}

int drive_decel_pos(drive_function_t *drive_function, int32_t speed) {
    return accel_list_pos(drive_function->rom->dcl_items, drive_function->rom->dcl_items_len, speed);
}

int32_t get_drive_spd_diff(drive_function_t *drive_function) {
    const int8_t pos = drive_function->current_pos;
    if (pos < 0 || pos >= drive_function->rom->items_len || pos >= MAX_SPEED_ITEMS) return 0;
    const speed_item_t *item = &drive_function->rom->items[pos];
    return (int32_t)item->max - (int32_t)item->min;
}

// ---------------------------------------------------------------- resets

// The timer service keeps firing an armed timer after its deletion: a reload would leave the old
// periodic timer calling periodic_handler next to the new one. Each timer is therefore stopped
// before it is deleted, and its handle cleared so that the next slot creates a fresh one.
static void drive_timer_discard(esp_timer_handle_t *timer) {
    if (*timer == nullptr) return;
    esp_timer_stop(*timer);
    esp_timer_delete(*timer);
    *timer = nullptr;
}

void drive_function_reset_ram(drive_function_t *drive_function) {
    drive_function->target_spd = -1;
    drive_function->current_pos = -1;
    drive_function->target_pos = -1;
    drive_function->last_int_id = -1;
    drive_function->last_accdcl_id = -1;
    drive_function->accdcl_speed = -1;
    drive_function->accelon_started_id = -1;
    drive_function->decelon_started_id = -1;
    drive_function->accel_sgn = 0;
    drive_function->stop_started = false;
    drive_function->drv_off_started = false;
    drive_function->drv_off_done = false;
    drive_function->block_loop = false;
    drive_function->turbo_start_time_ms = 0;
    drive_function->accelon_len = 0;
    drive_function->decelon_len = 0;
    drive_function->periodic_pos = 0;
    drive_timer_discard(&drive_function->start_sound_timer);
    drive_timer_discard(&drive_function->begin_moving_timer);
    drive_timer_discard(&drive_function->periodic_timer);
}

void drive_function_reset(drive_function_t *drive_function) {
    drive_function_reset_ram(drive_function);
    drive_function_rom_t *rom = drive_function->rom;
    rom->fid = -1;
    rom->stop_id = -1;
    rom->start_id = -1;
    rom->estop_id = -1;
    rom->dir_id = -1;
    rom->accel_id = -1;
    rom->decel_id = -1;
    memset(rom->accelon_ids, -1, sizeof rom->accelon_ids);
    memset(rom->decelon_ids, -1, sizeof rom->decelon_ids);
    rom->drv_off_id = -1;
    rom->turbo_id = -1;
    rom->loopd_id = -1;
    rom->items_len = 0;
    rom->acc_items_len = 0;
    rom->dcl_items_len = 0;
}

// ---------------------------------------------------------------- timers

static void drive_timer_create(drive_function_t *drive_function, esp_timer_handle_t *timer,
                               esp_timer_cb_t callback, const char *name) {
    esp_timer_create_args_t args = {};
    args.callback = callback;
    args.arg = drive_function;
    args.dispatch_method = ESP_TIMER_TASK;
    args.name = name;
    args.skip_unhandled_events = false;
    esp_timer_create(&args, timer);
}

void drive_init_start_timer(drive_function_t *drive_function) {
    drive_timer_create(drive_function, &drive_function->start_sound_timer, start_sound_handler,
                       "start_sound");
}

void drive_init_begin_timer(drive_function_t *drive_function) {
    drive_timer_create(drive_function, &drive_function->begin_moving_timer, begin_moving_handler,
                       "begin_moving");
}

void drive_init_periodic_timer(drive_function_t *drive_function) {
    drive_timer_create(drive_function, &drive_function->periodic_timer, periodic_handler, "periodic");
}

void start_sound_handler(void *arg) {
    drive_function_t *df = (drive_function_t *)arg;
    if (!drive_is_enabled(df)) return;
    const uint16_t fade = drive_fade_ms();
    track_play(df->rom->start_id, "START", fade, fade);
}

void begin_moving_handler(void *arg) {
    drive_function_t *df = (drive_function_t *)arg;
    if (!drive_is_enabled(df)) return;
    ESP_LOGI(TAG, "F%u: Begin moving", drive_fid(df));
    uint32_t speed = 0;
    const uint8_t len = df->rom->items_len < MAX_SPEED_ITEMS ? df->rom->items_len : MAX_SPEED_ITEMS;
    for (uint8_t k = 0; k < len; k++) {
        if (df->rom->items[k].min != 0) {
            speed = df->rom->items[k].min;
            break;
        }
    }
    drive_function_speed_changed(df, speed, 0, true, false);
}

void periodic_handler(void *arg) {
    drive_function_t *df = (drive_function_t *)arg;
    // A slot load unloads the readers one by one: a part played meanwhile kept its reader busy,
    // and the load waited for it in vain ("Failed to wait for TASK idle").
    if (slot_state == SLOT_LOADING) return;
    if (!drive_is_enabled(df)) return;
    function_t *item = drive_get_item(df);
    if (item == nullptr || item->state != FUNCTION_LOOP) {
        ESP_LOGW(TAG, "Periodic item is NULL or is not LOOP");
        return;
    }
    const int8_t loop_id = item->rom->ids[FUNCTION_LOOP];
    if (loop_id >= -1) return;
    const int c = -2 - loop_id;
    if (c >= MAX_COMPLEX_LOOPS || df->complex_loops == nullptr) return;
    const complex_loop_t *loop = &df->complex_loops[c];
    if (df->periodic_pos >= MAX_COMPLEX_LOOP_PARTS) df->periodic_pos = 0;
    int8_t id = df->accel_sgn == -1 ? loop->ids_dcl[df->periodic_pos] : loop->ids[df->periodic_pos];
    df->periodic_pos = (uint8_t)((df->periodic_pos + 1) % MAX_COMPLEX_LOOP_PARTS);
    if (id == -1) {
        // The end of the list: start again from the first part of the accelerating list (in both
        // directions); the next tick reads that entry once more.
        df->periodic_pos = 0;
        id = loop->ids[0];
    }
    if (!drive_track_valid(id) || tracks_rom[id].period_ms == 0) return;
    track_play(id, "LOOP", 100, 100);
}

uint32_t drive_heard_speed(const drive_function_t *drive_function, uint32_t speed) {
    const uint32_t min = drive_function->rom->min_speed;
    return min != 0 && speed < min ? min : speed;
}

void update_periodic_timer(drive_function_t *drive_function, uint32_t period_ms, int32_t speed) {
    const uint32_t pct = drive_function_val2pct(drive_function, speed);
    if (period_ms != 0) s_base_period_ms.store(period_ms, std::memory_order_relaxed);
    const uint32_t base = s_base_period_ms.load(std::memory_order_relaxed);
    if (base == 0) return;
    esp_timer_handle_t timer = drive_function->periodic_timer;
    if (pct == 0) {
        esp_timer_stop(timer);
        return;
    }
    uint32_t p = (uint16_t)(base * Memory_LoadU8(210) / pct / 100);
    if (p < 100) p = 100;
    const int64_t now = esp_timer_get_time();
    if (!esp_timer_is_active(timer)) {
        esp_timer_start_periodic_at(timer, (uint64_t)(now + 10000), (uint64_t)p * 1000);
    } else if (p != drive_function->period_ms) {
        // Keep the rhythm: move the next expiry by the change of the period.
        uint64_t expiry = 0;
        esp_timer_get_expiry_time(timer, &expiry);
        int64_t next = (int64_t)expiry + (int64_t)(int32_t)(p - drive_function->period_ms) * 1000;
        if (next < now) next = now;
        esp_timer_stop(timer);
        esp_timer_start_periodic_at(timer, (uint64_t)next, (uint64_t)p * 1000);
    }
    drive_function->period_ms = p;
}

// ---------------------------------------------------------------- parsing

bool drive_assign_track(drive_function_t *drive_function, int8_t *var, int8_t value, const char *name) {
    if (drive_function == nullptr) {
        ESP_LOGW(TAG, "Drive function is NULL");
        return false;
    }
    if (var == nullptr) return false;
    if (*var == -1) {
        *var = value;
        return true;
    }
    ESP_LOGW(TAG, "F%u: %s file already present", drive_fid(drive_function), name);
    if (drive_track_valid(value)) audio_reader_unload(tracks[value].audio_reader);
    return false;
}

// ---------------------------------------------------------------- diagnostics

static unsigned long pct_of(drive_function_t *df, uint32_t value) {
    return (unsigned long)drive_function_val2pct(df, (int32_t)value);
}

// "id(period)," for each part of a complex-loop list up to its first empty entry.
static void format_loop_parts(char *buf, size_t size, const int8_t *ids) {
    size_t used = 0;
    buf[0] = 0;
    for (int k = 0; k < MAX_COMPLEX_LOOP_PARTS && ids[k] != -1; k++) {
        const int period = drive_track_valid(ids[k]) ? (int)tracks_rom[ids[k]].period_ms : 0;
        const int n = snprintf(buf + used, size - used, "%i(%i),", (int)ids[k], period);
        if (n < 0 || (size_t)n >= size - used) break;
        used += (size_t)n;
    }
}

// "id," for each leading set entry of an ACCELON or DECELON list; returns the count.
static int format_id_list(char *buf, size_t size, const int8_t *ids) {
    size_t used = 0;
    int count = 0;
    buf[0] = 0;
    for (int k = 0; k < MAX_ACCELON_VARIANTS && ids[k] != -1; k++) {
        const int n = snprintf(buf + used, size - used, "%i,", (int)ids[k]);
        if (n < 0 || (size_t)n >= size - used) break;
        used += (size_t)n;
        count++;
    }
    return count;
}

// One line per speed-banded ACCEL or DECEL track, with the band it covers.
static void print_bands(const char *tag, drive_function_t *df, const char *name, const accel_item_t *items,
                        uint8_t items_len) {
    const uint8_t len = items_len < MAX_ACCEL_ITEMS ? items_len : MAX_ACCEL_ITEMS;
    for (uint8_t k = 0; k < len; k++) {
        const uint32_t hi = k + 1 < len ? items[k + 1].min : df->max_speed;
        ESP_LOGI(tag, "F%u: %s %s %lu-%lu%%: %i", drive_fid(df), name, drive_variant2str(df->rom->variant),
                 pct_of(df, items[k].min), pct_of(df, hi), (int)items[k].id);
    }
}

void drive_function_print(const char *tag, drive_function_t *drive_function) {
    drive_function_t *df = drive_function;
    const drive_function_rom_t *rom = df->rom;
    const unsigned f = drive_fid(df);
    const char *var = drive_variant2str(rom->variant);
    const uint8_t len = rom->items_len < MAX_SPEED_ITEMS ? rom->items_len : MAX_SPEED_ITEMS;
    char buf[128];

    uint8_t first = 0;
    if (len > 0 && rom->items[0].min == 0) {
        const int8_t *ids = rom->items[0].item.ids;
        ESP_LOGI(tag, "F%u: %s %i %i %i", f, var, (int)ids[FUNCTION_ON], (int)ids[FUNCTION_LOOP],
                 (int)ids[FUNCTION_OFF]);
        first = 1;
    }
    for (uint8_t k = first; k < len; k++) {
        const speed_item_t *it = &rom->items[k];
        const int8_t *ids = it->item.ids;
        const uint32_t hi = k + 1 < len ? rom->items[k + 1].min : df->max_speed;
        if (ids[FUNCTION_LOOP] < -1) {
            const int c = -2 - ids[FUNCTION_LOOP];
            ESP_LOGI(tag, "F%u: %s %lu-%lu%%: %i |%i| %i", f, var, pct_of(df, it->min), pct_of(df, hi),
                     (int)ids[FUNCTION_ON], c, (int)ids[FUNCTION_OFF]);
            if (c < MAX_COMPLEX_LOOPS && df->complex_loops != nullptr) {
                const complex_loop_t *loop = &df->complex_loops[c];
                format_loop_parts(buf, sizeof buf, loop->ids);
                ESP_LOGI(tag, "F%u: MULTIPLE LOOP #%u: %s", f, (unsigned)c, buf);
                if (loop->ids_dcl[0] != -1) {
                    format_loop_parts(buf, sizeof buf, loop->ids_dcl);
                    ESP_LOGI(tag, "F%u: MULTIPLE LOOPD #%u: %s", f, (unsigned)c, buf);
                }
            }
        } else {
            ESP_LOGI(tag, "F%u: %s %lu-%lu%%: %i %i %i", f, var, pct_of(df, it->min), pct_of(df, hi),
                     (int)ids[FUNCTION_ON], (int)ids[FUNCTION_LOOP], (int)ids[FUNCTION_OFF]);
        }
    }
    print_bands(tag, df, "ACCEL", rom->acc_items, rom->acc_items_len);
    print_bands(tag, df, "DECEL", rom->dcl_items, rom->dcl_items_len);
    if (rom->accel_id != -1 || rom->decel_id != -1)
        ESP_LOGI(tag, "F%u: %s ACCEL %i, DECEL %i", f, var, (int)rom->accel_id, (int)rom->decel_id);
    if (format_id_list(buf, sizeof buf, rom->accelon_ids) > 0) ESP_LOGI(tag, "F%u: ACCELONs %s", f, buf);
    if (format_id_list(buf, sizeof buf, rom->decelon_ids) > 0) ESP_LOGI(tag, "F%u: DECELONs %s", f, buf);
    if (rom->turbo_id != -1)
        ESP_LOGI(tag, "F%u: %s TURBO %i, Min Speed %lu%%", f, var, (int)rom->turbo_id,
                 pct_of(df, rom->turbo_min_speed));
    if (rom->start_id != -1 || rom->stop_id != -1 || rom->estop_id != -1)
        ESP_LOGI(tag, "F%u: %s START %i, STOP %i, ESTOP %i", f, var, (int)rom->start_id, (int)rom->stop_id,
                 (int)rom->estop_id);
    if (rom->dir_id != -1 || rom->loopd_id != -1)
        ESP_LOGI(tag, "F%u: %s DIR %i, LOOPD %i", f, var, (int)rom->dir_id, (int)rom->loopd_id);
    if (rom->stop_id != -1) ESP_LOGI(tag, "F%u: STOP Speed %lu%%", f, pct_of(df, rom->stop_speed));
}
