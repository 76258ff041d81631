// Slot loading: a slot folder becomes the static slot description and a set of loaded tracks.
//
// The "load_slot" task holds the firmware lock while it changes the slot records, and lets go
// of it only while an audio reader opens or closes a file (the slow part). Meanwhile slot_state
// is SLOT_LOADING, and the other control paths leave the slot's records and readers alone:
// keys are only recorded, movement and track-end events do not reach the drive functions, and a
// second load request is refused.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "audio_reader.h"
#include "audio_track.h"
#include "board_drivers.h"
#include "dcc_hl.h"
#include "esp_log.h"
#include "file_io.h"
#include "freertos/FreeRTOS.h"
#include "freertos/task.h"
#include "fw_lock.h"
#include "logics.h"
#include "memory.h"
#include "mixer.h"
#include "movement.h"
#include "nvs_hl.h"
#include "sound_drv_function.h"
#include "sound_function.h"
#include "sound_hl.h"
#include "sound_hl_private.h"

static const char *TAG = "SOUND_HL";

static bool disable_sound_engine;

// ---------------------------------------------------------------- lookups and allocation

drive_function_t *drive_get_instance(int8_t func_id, uint8_t variant_id) {
    for (int d = 0; d < slot_data.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++) {
        if (slot_data.drive_functions[d].fid == func_id &&
            (uint8_t)slot_data.drive_functions[d].variant == variant_id)
            return &drive_functions[d];
    }
    return NULL;
}

drive_function_t *drive_assign_instance(int8_t func_id, uint8_t variant_id) {
    drive_function_t *df = drive_get_instance(func_id, variant_id);
    if (df != NULL) return df;
    if (slot_data.drive_functions_len >= MAX_DRIVE_FUNCTIONS) {
        ESP_LOGW(TAG, "Only %u drive functions is possible.", (unsigned)MAX_DRIVE_FUNCTIONS);
        return NULL;
    }
    df = &drive_functions[slot_data.drive_functions_len++];
    df->rom->fid = func_id;
    df->rom->variant = (drive_variant_t)variant_id;
    drive_init_max_values(df);
    return df;
}

complex_loop_t *drive_complex_loop_instance(int8_t func_id, uint8_t speed) {
    for (int c = 0; c < slot_data.complex_loops_len && c < MAX_COMPLEX_LOOPS; c++) {
        if (slot_data.complex_loops[c].fid == func_id && (uint8_t)slot_data.complex_loops[c].speed == speed)
            return &slot_data.complex_loops[c];
    }
    return NULL;
}

complex_loop_t *drive_assign_complex_loop(int8_t func_id, int8_t speed) {
    complex_loop_t *c = drive_complex_loop_instance(func_id, (uint8_t)speed);
    if (c != NULL) return c;
    if (slot_data.complex_loops_len >= MAX_COMPLEX_LOOPS) {
        ESP_LOGW(TAG, "Only %u complex loops is possible.", (unsigned)MAX_COMPLEX_LOOPS);
        return NULL;
    }
    c = &slot_data.complex_loops[slot_data.complex_loops_len++];
    c->fid = func_id;
    c->speed = speed;
    return c;
}

info_function_t *info_function_get_instance(int8_t func_id, bool *fwd) {
    for (int i = 0; i < slot_data.info_functions_len && i < MAX_INFO_FUNCTIONS; i++) {
        info_function_t *info = &slot_data.info_functions[i];
        if (info->fid == func_id) {
            if (fwd != NULL) *fwd = true;
            return info;
        }
        if (func_id > 0 && info->fid == func_id - 1) {
            if (fwd != NULL) *fwd = false;
            return info;
        }
    }
    return NULL;
}

info_function_t *assign_info_function(int8_t func_id) {
    info_function_t *info = info_function_get_instance(func_id, NULL);
    if (info != NULL) return info;
    if (slot_data.info_functions_len >= MAX_INFO_FUNCTIONS) {
        ESP_LOGW(TAG, "Only %u info functions is possible.", (unsigned)MAX_INFO_FUNCTIONS);
        return NULL;
    }
    info = &slot_data.info_functions[slot_data.info_functions_len++];
    info->fid = func_id;
    return info;
}

multi_function_t *multi_function_get_instance(int8_t func_id) {
    if (func_id < 0) return NULL;
    for (int m = 0; m < MAX_MULTI_FUNCTIONS; m++) {
        if (slot_data.multi_functions[m].func_id == func_id) return &slot_data.multi_functions[m];
    }
    return NULL;
}

multi_function_t *assign_multi_function(int8_t func_id) {
    multi_function_t *m = multi_function_get_instance(func_id);
    if (m != NULL) return m;
    if (slot_data.multi_functions_len >= MAX_MULTI_FUNCTIONS) {
        ESP_LOGW(TAG, "Only %u multi functions is possible.", (unsigned)MAX_MULTI_FUNCTIONS);
        return NULL;
    }
    m = &slot_data.multi_functions[slot_data.multi_functions_len++];
    m->func_id = func_id;
    return m;
}

int str2int(char *str) {
    if (str[0] == '_') return 0;
    char *end = NULL;
    long v = strtol(str, &end, 10);
    if (end == str) {
        ESP_LOGE(TAG, "Failed to get id %s", str);
        return 0;
    }
    if (v > 1000 || v < -1000) v = -1;  // far out of every table: refused by the callers
    return (int)v;
}

int32_t drive_get_speed(drive_function_t *drive_function) {
    if (drive_function->rom->variant == DRIVE_VARIANT_LOAD) return engine_load_value;
    return EngineParams.CurSpeed / 256;
}

void drive_init_max_values(drive_function_t *drive_function) {
    if (drive_function->rom->variant == DRIVE_VARIANT_LOAD) {
        drive_function->max_speed = 100;
        drive_function->accel = engine_load_accel;
        drive_function->decel = engine_load_decel;
    } else {
        drive_function->max_speed = EngineParams.MaxSpeed >> 8;
        drive_function->accel = EngineParams.Accel >> 8;
        drive_function->decel = EngineParams.Decel >> 8;
    }
}

void soundHL_load_params_changed(void) {
    fw_lock();
    engine_load_accel = Memory_LoadU8(CV_ENGINE_LOAD_ACCEL);
    engine_load_decel = Memory_LoadU8(CV_ENGINE_LOAD_DECEL);
    if (slot_state != SLOT_LOADING) {
        for (int d = 0; d < slot_data.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++) {
            if (drive_functions[d].rom->variant == DRIVE_VARIANT_LOAD)
                drive_init_max_values(&drive_functions[d]);
        }
    }
    fw_unlock();
}

bool is_logic_enabled(uint8_t bit) {
    uint8_t flags = Memory_LoadU8(CV_LOGIC_DISABLE);
    return drive_sounds_enabled && (flags & 1) == 0 && (flags & bit) == 0;
}

// ---------------------------------------------------------------- resets, unload, summary

void reset_slot(void) {
    logics_reset(logics);
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        // Back to the plain entry first (a MULTI function may point at a variant), then clear it.
        functions[f].rom = &slot_data.functions[f];
        function_reset(&functions[f]);
    }
    slot_data.drive_functions_len = 0;
    for (int d = 0; d < MAX_DRIVE_FUNCTIONS; d++) {
        drive_functions[d].rom = &slot_data.drive_functions[d];
        drive_function_reset(&drive_functions[d]);
    }
    slot_data.complex_loops_len = 0;
    for (int c = 0; c < MAX_COMPLEX_LOOPS; c++)
        complex_loop_reset(&slot_data.complex_loops[c]);
    slot_data.info_functions_len = 0;
    for (int i = 0; i < MAX_INFO_FUNCTIONS; i++)
        info_function_reset(&slot_data.info_functions[i]);
    slot_data.multi_functions_len = 0;
    for (int m = 0; m < MAX_MULTI_FUNCTIONS; m++)
        multi_function_reset(&slot_data.multi_functions[m]);
}

void reset_slot_ram(void) {
    logics_reset_ram(logics);
    // A dynamic volume is its slot's logic's: kept, it held a function of the next slot (an
    // engine, perhaps) at the old logic's volume.
    memset(function_dyn_volume, AUDIO_VOLUME_NOT_GIVEN, sizeof function_dyn_volume);
    bool was_blocked[MAX_FUNCTIONS];
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        was_blocked[f] = functions[f].blocked;
        function_reset_ram(&functions[f]);
    }
    // A block of the old slot's logic ends with its slot: the DCC layer, which took a blocked
    // key for off, hears of it as of any unblocking. It would otherwise leave the key off, and
    // the key would not be replayed after the load.
    for (int f = 0; f < MAX_FUNCTIONS; f++)
        if (was_blocked[f]) DCC_FunctionBlockHandler((uint8_t)f);
    for (int i = 0; i < MAX_INFO_FUNCTIONS; i++)
        info_function_reset_ram(&slot_data.info_functions[i]);
    for (int d = 0; d < MAX_DRIVE_FUNCTIONS; d++) {
        drive_function_reset_ram(&drive_functions[d]);
        for (int k = 0; k < MAX_SPEED_ITEMS; k++)
            function_reset_ram(&drive_functions[d].items[k]);
    }
}

// Unloads every track. `unlocked` lets other control paths run while the readers stop (the
// loading task); the slot state then keeps them away from the readers.
static void unload_tracks(bool unlocked) {
    if (slot_data.id == -1) return;
    slot_data.id = -1;
    ESP_LOGI(TAG, "Unload current slot");
    for (int i = 0; i < MAX_TRACKS; i++) {
        tracks[i].state = false;
        tracks[i].available = false;
        if (unlocked) fw_unlock();
        audio_reader_unload(tracks[i].audio_reader);
        if (unlocked) fw_lock();
    }
}

void soundHL_unload_slot(void) {
    fw_lock();
    unload_tracks(false);
    fw_unlock();
}

void info_function_print(const char *tag, info_function_t *item) {
    char buf[100];
    int pos = snprintf(buf, sizeof buf, "F%i-%i INFO:", item->fid, item->fid + 1);
    for (int i = 0; i < item->len && i < MAX_INFO_ENTRIES && pos < (int)sizeof buf; i++)
        pos += snprintf(buf + pos, sizeof buf - (size_t)pos, " %i", item->ids[i]);
    ESP_LOGI(tag, "%s", buf);
}

void print_slot_summary(void) {
    for (int d = 0; d < slot_data.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++)
        drive_function_print(TAG, &drive_functions[d]);
    for (int f = 0; f < MAX_FUNCTIONS; f++)
        function_print(TAG, &functions[f], (int8_t)f);
    for (int i = 0; i < slot_data.info_functions_len && i < MAX_INFO_FUNCTIONS; i++)
        info_function_print(TAG, &slot_data.info_functions[i]);
    for (int m = 0; m < slot_data.multi_functions_len && m < MAX_MULTI_FUNCTIONS; m++)
        multi_function_print(TAG, &slot_data.multi_functions[m]);
    logics_print(TAG, logics);
}

void soundHL_file_changed(char *filepath, bool added) {
    (void)added;
    uint8_t flags = 0;
    nvsHL_get_file_update_flags(&flags);
    // Any new, changed or removed file makes the stored description stale: the next load must
    // parse the folder instead of restoring it.
    uint8_t armed = (uint8_t)(flags | FILE_UPDATE_RESCAN);
    const char *dot = strrchr(filepath, '.');
    if (dot != NULL && strcmp(dot + 1, "txt") == 0 && strstr(filepath, "cv") != NULL) {
        ESP_LOGI(TAG, "%s changed. Arm updating during next slot loading", filepath);
        armed |= FILE_UPDATE_CV_FILE;
    }
    if (armed != flags) nvsHL_set_file_update_flags(armed);
}

// ---------------------------------------------------------------- parsing

// The highest of `n` track ids, or `top` when none is higher (-1 and the references -2 - k
// name no track).
static int highest_id(const int8_t *ids, int n, int top) {
    for (int i = 0; i < n; i++)
        if (ids[i] > top) top = ids[i];
    return top;
}

// The highest track id the slot description names, -1 for none: a stored tracks blob must hold
// that track's record.
static int highest_track_id(const slot_rom_t *s) {
    int top = -1;
    for (int f = 0; f < MAX_FUNCTIONS; f++)
        top = highest_id(s->functions[f].ids, 4, top);
    for (int d = 0; d < s->drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++) {
        const drive_function_rom_t *D = &s->drive_functions[d];
        const int8_t singles[] = {D->stop_id,  D->start_id,   D->estop_id, D->dir_id,  D->accel_id,
                                  D->decel_id, D->drv_off_id, D->turbo_id, D->loopd_id};
        top = highest_id(singles, (int)sizeof singles, top);
        top = highest_id(D->accelon_ids, MAX_ACCELON_VARIANTS, top);
        top = highest_id(D->decelon_ids, MAX_ACCELON_VARIANTS, top);
        for (int k = 0; k < D->acc_items_len && k < MAX_ACCEL_ITEMS; k++)
            top = highest_id(&D->acc_items[k].id, 1, top);
        for (int k = 0; k < D->dcl_items_len && k < MAX_ACCEL_ITEMS; k++)
            top = highest_id(&D->dcl_items[k].id, 1, top);
        for (int k = 0; k < D->items_len && k < MAX_SPEED_ITEMS; k++)
            top = highest_id(D->items[k].item.ids, 4, top);
    }
    for (int c = 0; c < s->complex_loops_len && c < MAX_COMPLEX_LOOPS; c++) {
        top = highest_id(s->complex_loops[c].ids, MAX_COMPLEX_LOOP_PARTS, top);
        top = highest_id(s->complex_loops[c].ids_dcl, MAX_COMPLEX_LOOP_PARTS, top);
    }
    for (int n = 0; n < s->info_functions_len && n < MAX_INFO_FUNCTIONS; n++)
        top = highest_id(s->info_functions[n].ids, MAX_INFO_ENTRIES, top);
    for (int m = 0; m < s->multi_functions_len && m < MAX_MULTI_FUNCTIONS; m++)
        for (int v = 0; v < MAX_MULTI_VARIANTS; v++)
            top = highest_id(s->multi_functions[m].variants[v].ids, 4, top);
    return top;
}

static bool try_fast_slot_load(int8_t slot) {
    // Files written since the description was stored, or a CV file armed to be applied (which
    // only a parse does): the stored description must not be used.
    uint8_t flags = 0;
    nvsHL_get_file_update_flags(&flags);
    if (flags != 0) {
        ESP_LOGI(TAG, "Parsing the folder: %s",
                 flags == FILE_UPDATE_ALL             ? "a slot switch or a factory reset asks for it"
                 : (flags & FILE_UPDATE_CV_FILE) != 0 ? "its CV file changed and is to be applied"
                                                      : "its files changed");
        return false;
    }
    size_t len = sizeof slot_data;
    size_t tracks_len = sizeof tracks_rom;
    esp_err_t ret = nvsHL_load_slot_data(&slot_data, &len, tracks_rom, &tracks_len);
    if (ret != ESP_OK) {
        ESP_LOGE(TAG, "Error reading slot data ret = %x", (unsigned)ret);
        return false;
    }
    if (len != sizeof slot_data) {
        ESP_LOGE(TAG, "Wrong slot blob size %u.", (unsigned)len);
        return false;
    }
    // A tracks blob cut short would leave tracks the description names without their records.
    if (tracks_len % sizeof(track_rom_t) != 0 ||
        highest_track_id(&slot_data) >= (int)(tracks_len / sizeof(track_rom_t))) {
        ESP_LOGE(TAG, "Wrong tracks blob size %u.", (unsigned)tracks_len);
        return false;
    }
    if (slot_data.id == slot) {
        ESP_LOGI(TAG, "Slot %u fast load done", (unsigned)(slot + 1));
        return true;
    }
    if (slot_data.id != 0) ESP_LOGW(TAG, "Stored slot id is different %i!=%i.", slot, slot_data.id);
    return false;
}

bool sound_is_drive_transition(play_type_t type) {
    switch (type) {
        case PLAY_TYPE_LOOPD:
        case PLAY_TYPE_ACCEL:
        case PLAY_TYPE_DECEL:
        case PLAY_TYPE_ACCELON:
        case PLAY_TYPE_DECELON:
        case PLAY_TYPE_START:
        case PLAY_TYPE_STOP:
        case PLAY_TYPE_ESTOP:
        case PLAY_TYPE_DIR:
            return true;
        default:
            return false;
    }
}

// Writes a track id into a single-track place of a drive function.
static bool place(drive_function_t *df, int8_t *var, int8_t id, const char *name) {
    return drive_assign_track(df, var, id, name);
}

// The number after `key` in a stored path: 1-based in the file name, 0-based here; -1 when it
// is missing-negative or too big for any table.
static int suffix_index(char *after_key) {
    int n = str2int(after_key);
    if (n > 0) n -= 1;
    return n;
}

static bool parse_track(int i, bool *error, bool *not_mono) {
    track_rom_t *R = &tracks_rom[i];
    const uint8_t fid = R->function_id;
    const int8_t v = R->variant_id;
    if (R->filepath[0] == 0 || fid >= MAX_FUNCTIONS) return false;

    drive_function_t *D = NULL;
    int d = -1;
    function_rom_t *target;
    if (R->speed >= 0 && track_is_drv_item(R->type)) {
        D = drive_assign_instance((int8_t)fid, (uint8_t)v);
        if (D == NULL) return false;
        d = (int)(D - drive_functions);
        if (R->type != PLAY_TYPE_REPEAT && R->type != PLAY_TYPE_REPEATD) R->ch_group = (int8_t)(127 - d);
        uint16_t lo = (uint16_t)drive_function_pct2val(D, (uint32_t)R->speed);
        int16_t hi = R->end_speed != -1 ? (int16_t)drive_function_pct2val(D, (uint32_t)R->end_speed) : -1;
        drive_function_rom_t *rom = D->rom;
        int k = 0;
        while (k < rom->items_len && rom->items[k].min != lo)
            k++;
        if (k >= MAX_SPEED_ITEMS) {
            ESP_LOGE(TAG, "[%s]: Too many speed sounds. Max=%u", R->filepath, (unsigned)MAX_SPEED_ITEMS);
            return false;
        }
        if (k == rom->items_len) {
            function_reset(&D->items[k]);
            rom->items_len++;
        }
        target = &rom->items[k].item;
        rom->items[k].min = lo;
        rom->items[k].max = hi;
    } else if (v >= 0 && track_is_multi_possible(R->type)) {
        multi_function_t *M = assign_multi_function((int8_t)fid);
        if (M == NULL) return false;
        if (v >= MAX_MULTI_VARIANTS) {
            ESP_LOGE(TAG, "MULTI variant id %u is too big. Max is %u", (unsigned)v,
                     (unsigned)MAX_MULTI_VARIANTS);
            return false;
        }
        target = &M->variants[v];
        if (M->len < v + 1) M->len = (uint8_t)(v + 1);
    } else {
        target = functions[fid].rom;
    }

    file_info_t *info = NULL;
    fw_unlock();  // opening a file is the slow part: let the tick and the console run meanwhile
    esp_err_t loaded =
        audio_reader_load(tracks[i].audio_reader, R->filepath, &info, soundHL_track_volume(fid));
    fw_lock();
    if (loaded != ESP_OK || info == NULL) {
        // The reader's own lines give the reason under its tag only (wav<track id>), and its
        // "Opening file" line is below the default log level: name the file here, so that a
        // user sees which file of the folder was refused.
        ESP_LOGE(TAG, "%i:%s could not be loaded", i, R->filepath);
        *error = true;
        return false;
    }
    if (info->channels != 1) *not_mono = true;
    if (slot_data.sample_rate == 0) slot_data.sample_rate = info->sample_rate;
    if (slot_data.sample_rate != info->sample_rate) {
        *error = true;
        ESP_LOGE(TAG, "%i:%s sample rate(%lu) is not equal to slot value(%lu)", i, info->path,
                 (unsigned long)info->sample_rate, (unsigned long)slot_data.sample_rate);
        audio_reader_unload(tracks[i].audio_reader);
        return false;
    }

    drive_function_t *D0 =
        sound_is_drive_transition(R->type) ? drive_assign_instance((int8_t)fid, DRIVE_VARIANT_SPEED) : NULL;
    const int8_t id = (int8_t)i;
    switch (R->type) {
        case PLAY_TYPE_ONESHOT:
        case PLAY_TYPE_ON:
            target->ids[FUNCTION_ON] = id;
            break;
        case PLAY_TYPE_OFF:
            target->ids[FUNCTION_OFF] = id;
            break;
        case PLAY_TYPE_LOOP:
            target->ids[FUNCTION_LOOP] = id;
            break;
        case PLAY_TYPE_LOOPD:
            if (!place(D0, D0 ? &D0->rom->loopd_id : NULL, id, "LOOPD")) return false;
            break;
        case PLAY_TYPE_ACCEL:
        case PLAY_TYPE_DECEL: {
            const bool accel = R->type == PLAY_TYPE_ACCEL;
            if (R->speed < 0) {
                if (D0 == NULL) return place(NULL, NULL, id, accel ? "ACCEL" : "DECEL");
                if (!place(D0, accel ? &D0->rom->accel_id : &D0->rom->decel_id, id,
                           accel ? "ACCEL" : "DECEL"))
                    return false;
                break;
            }
            if (D0 == NULL) return false;
            accel_item_t *list = accel ? D0->rom->acc_items : D0->rom->dcl_items;
            uint8_t *len = accel ? &D0->rom->acc_items_len : &D0->rom->dcl_items_len;
            if (*len >= MAX_ACCEL_ITEMS) {
                ESP_LOGE(TAG, "[%s]: Too many acc speed sounds. Max=%u", R->filepath,
                         (unsigned)MAX_ACCEL_ITEMS);
                return false;
            }
            list[*len].id = id;
            list[*len].min = (uint16_t)drive_function_pct2val(D0, (uint32_t)R->speed);
            (*len)++;
            break;
        }
        case PLAY_TYPE_ACCELON:
        case PLAY_TYPE_DECELON: {
            const bool accel = R->type == PLAY_TYPE_ACCELON;
            int index = v == -1 ? 0 : v;
            if (index >= MAX_ACCELON_VARIANTS || index < 0) {
                ESP_LOGE(TAG, "ACCEL/DECEL variant id %u is to big. Max is %u", (unsigned)index,
                         (unsigned)MAX_ACCELON_VARIANTS);
                return false;
            }
            if (D0 == NULL) return false;
            if (!place(D0, accel ? &D0->rom->accelon_ids[index] : &D0->rom->decelon_ids[index], id,
                       accel ? "ACCELON" : "DECELON"))
                return false;
            break;
        }
        case PLAY_TYPE_START:
            if (!place(D0, D0 ? &D0->rom->start_id : NULL, id, "START")) return false;
            break;
        case PLAY_TYPE_STOP:
            if (!place(D0, D0 ? &D0->rom->stop_id : NULL, id, "STOP")) return false;
            if (D0->decel != 0) {
                uint32_t duration = audio_reader_get_duration(tracks[i].audio_reader);
                int32_t ms = (int32_t)duration - R->delay_ms;
                D0->rom->stop_speed = drive_function_decel_ms2spd(D0, ms > 0 ? (uint32_t)ms : 0);
            } else {
                ESP_LOGE(TAG, "Deceleration is 0");
            }
            break;
        case PLAY_TYPE_ESTOP:
            if (!place(D0, D0 ? &D0->rom->estop_id : NULL, id, "ESTOP")) return false;
            break;
        case PLAY_TYPE_DIR:
            if (!place(D0, D0 ? &D0->rom->dir_id : NULL, id, "DIR")) return false;
            break;
        case PLAY_TYPE_TURBO: {
            // A TURBO file without a speed or load token belongs to the speed variant.
            drive_function_t *T = drive_assign_instance((int8_t)fid, (uint8_t)(v < 0 ? 0 : v));
            if (!place(T, T ? &T->rom->turbo_id : NULL, id, "TURBO")) return false;
            T->rom->turbo_min_speed = drive_function_pct2val(T, (uint32_t)(R->speed < 0 ? 0 : R->speed));
            break;
        }
        case PLAY_TYPE_REPEAT:
        case PLAY_TYPE_REPEATD: {
            complex_loop_t *C = drive_assign_complex_loop((int8_t)fid, R->speed);
            if (C == NULL) break;
            target->ids[FUNCTION_LOOP] = (int8_t)(-2 - (int)(C - slot_data.complex_loops));
            char *p = strstr(R->filepath, "_LOOP");
            if (p == NULL) break;
            p += 5;
            if (*p == 'D') p++;
            int n = suffix_index(p);
            if (n >= MAX_COMPLEX_LOOP_PARTS || n < 0) {
                ESP_LOGE(TAG, "LOOP id %u is too big. Max is %u", (unsigned)n,
                         (unsigned)MAX_COMPLEX_LOOP_PARTS);
                break;
            }
            if (n == 0 && d >= 0) R->ch_group = (int8_t)(127 - d);
            if (R->type == PLAY_TYPE_REPEATD) {
                C->ids_dcl[n] = id;
            } else {
                C->ids[n] = id;
            }
            break;
        }
        case PLAY_TYPE_INFO:
        case PLAY_TYPE_INFONEXT: {
            info_function_t *I = assign_info_function((int8_t)fid);
            if (I == NULL) break;
            target->ids[FUNCTION_IDLE] = (int8_t)(-2 - (int)(I - slot_data.info_functions));
            char *p = strstr(R->filepath, "_INFO");
            if (p == NULL) break;
            const bool next = R->type == PLAY_TYPE_INFONEXT;
            p += next ? 9 : 5;
            if (next && strncmp(p - 9, "_INFONEXT", 9) != 0) break;
            int n = suffix_index(p);
            int index = next ? 2 * n : 2 * n + 1;
            if (index >= MAX_INFO_ENTRIES || n < 0) {
                ESP_LOGE(TAG, "INFO id %u is too big. Max is %u", (unsigned)index,
                         (unsigned)MAX_INFO_ENTRIES);
                break;
            }
            I->ids[index] = id;
            break;
        }
        default:
            break;
    }
    mixer_set_file_info(mixer, i, (uint16_t)info->sample_rate, info->channels);
    tracks[i].available = true;
    return true;
}

static void finish_drive_function(int d) {
    drive_function_t *D = &drive_functions[d];
    drive_function_rom_t *rom = D->rom;
    if (rom->items_len == 0) return;
    function_rom_t *F = &slot_data.functions[rom->fid];
    const int8_t group = (int8_t)(127 - d);
    D->main_item = &functions[rom->fid];
    const int places[3] = {FUNCTION_IDLE, FUNCTION_ON, FUNCTION_OFF};
    for (int p : places) {
        int8_t t = F->ids[p];
        if (t >= 0) {
            tracks_rom[t].ch_group = group;
            tracks_rom[t].drive_pos = -1;
        }
    }
    const bool accel_mode = rom->accel_id != -1 || rom->decel_id != -1;
    if (rom->accel_id >= 0) tracks_rom[rom->accel_id].ch_group = group;
    if (rom->decel_id >= 0) tracks_rom[rom->decel_id].ch_group = group;
    const uint32_t window = (uint32_t)Memory_LoadU8(CV_FADE_TIME) * 20;
    uint8_t a = (uint8_t)drive_function_accel_ms2spd(D, window);
    uint8_t b = (uint8_t)drive_function_decel_ms2spd(D, window);
    rom->accdcl_min_spd_diff = a < b ? a : b;
    drive_sort_speed_items(D);
    for (int k = 0; k < rom->items_len && k < MAX_SPEED_ITEMS; k++) {
        function_rom_t *item = &rom->items[k].item;
        if (accel_mode) {
            for (int p : places) {
                int8_t t = item->ids[p];
                if (t < 0) continue;
                ESP_LOGW(TAG, "F%u: %s is not allowed in Accel/Decel mode", (unsigned)rom->fid,
                         state2str((function_state_t)p));
                audio_reader_unload(tracks[t].audio_reader);
                tracks[t].available = false;
                item->ids[p] = -1;
            }
        }
        for (int p = 0; p < 4; p++) {
            if (item->ids[p] >= 0) tracks_rom[item->ids[p]].drive_pos = (int8_t)k;
        }
        if ((uint16_t)rom->items[k].max == 0xFFFF) {
            rom->items[k].max =
                (int16_t)(k + 1 < rom->items_len ? rom->items[k + 1].min : (uint16_t)D->max_speed);
        }
    }
    int j = rom->items[0].min == 0 ? 1 : 0;
    int8_t off = j < rom->items_len ? rom->items[j].item.ids[FUNCTION_OFF] : -1;
    if (off >= 0 && drive_assign_track(D, &rom->drv_off_id, off, "DRVOFF") && D->decel != 0) {
        rom->items[j].item.ids[FUNCTION_OFF] = -1;
        drive_function_calculate_off_speed(D);
        ESP_LOGI(TAG, "F%u: assign DRVOFF spd=%lu, id=%i", (unsigned)rom->fid,
                 (unsigned long)rom->drv_off_speed, rom->drv_off_id);
    } else {
        ESP_LOGE(TAG, "Could not configure DRV OFF file");
    }
}

static bool parse_slot(uint8_t slot) {
    bool error = false;
    bool not_mono = false;
    uint8_t attempt = 0;
    uint8_t flags = 0;
    slot_data.id = (int8_t)slot;

    nvsHL_get_slot_load_attempt(&attempt);
    if (attempt > 4) {
        nvsHL_set_slot_load_attempt(0);
        Memory_SaveU8(CV_SLOT, 0);
        return false;
    }
    nvsHL_set_slot_load_attempt((uint8_t)(attempt + 1));
    ESP_LOGI(TAG, "Parsing slot %u attempt %u", (unsigned)slot + 1, (unsigned)attempt + 1);

    reset_slot();
    loco_info.type = 255;
    nvsHL_get_file_update_flags(&flags);
    char path[TRACK_PATH_LEN];
    snprintf(path, sizeof path, "data/%u/", (unsigned)slot + 1);
    if (fileIO_parseFolder(path, tracks, logics, &loco_info, flags) != ESP_OK) return false;
    if (flags != 0) nvsHL_set_file_update_flags(0);
    if (loco_info.type != 255) {
        nvsHL_save_loco_info(&loco_info, sizeof loco_info);
        load_short_gui();
    }
    logics_slot_loading(logics);
    slot_data.sample_rate = 0;

    for (int i = 0; i < MAX_TRACKS; i++)
        parse_track(i, &error, &not_mono);

    for (int d = 0; d < slot_data.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++)
        finish_drive_function(d);

    for (int m = 0; m < slot_data.multi_functions_len && m < MAX_MULTI_FUNCTIONS; m++) {
        multi_function_t *M = &slot_data.multi_functions[m];
        if (M->func_id < 0 || M->func_id >= MAX_FUNCTIONS) continue;
        function_rom_t *plain = &slot_data.functions[M->func_id];
        for (int p = 0; p < 4; p++) {
            if (plain->ids[p] >= 0) M->variants[0].ids[p] = plain->ids[p];
        }
        function_reset(&functions[M->func_id]);
    }

    for (int n = 0; n < slot_data.info_functions_len && n < MAX_INFO_FUNCTIONS; n++) {
        info_function_t *I = &slot_data.info_functions[n];
        for (int k = MAX_INFO_ENTRIES - 1; k >= 0; k--) {
            if (I->ids[k] != -1) {
                I->len = (uint8_t)(k + 1);
                break;
            }
        }
    }

    if (not_mono) ESP_LOGI(TAG, "Mixed mono and stereo files");
    if (error) {
        ESP_LOGW(TAG, "Slot %u loaded with errors", (unsigned)slot + 1);
    } else {
        ESP_LOGI(TAG, "Slot %u loaded successfully", (unsigned)slot + 1);
    }
    int n = 1;
    for (int i = MAX_TRACKS - 1; i >= 0; i--) {
        if (tracks_rom[i].filepath[0] != 0) {
            n = i + 1;
            break;
        }
    }
    nvsHL_save_slot_data(&slot_data, sizeof slot_data, tracks_rom, (size_t)n * sizeof(track_rom_t));
    nvsHL_set_slot_load_attempt(0);
    return true;
}

static uint8_t leading_ids(const int8_t *ids) {
    uint8_t n = 0;
    while (n < MAX_ACCELON_VARIANTS && ids[n] != -1)
        n++;
    return n;
}

static void load_slot_task(void *pvParameters) {
    const uint32_t param = (uint32_t)(uintptr_t)pvParameters;
    const uint8_t slot = (uint8_t)(param & 0xFF);
    const bool reload = ((param >> 8) & 0xFF) != 0;
    fw_lock();
    wdt_init(false);
    size_t len = sizeof info_functions_pos;
    nvsHL_load_info_function_pos(info_functions_pos, &len);
    unload_tracks(true);
    reset_slot_ram();

    bool loaded = !reload && try_fast_slot_load((int8_t)slot);
    if (!loaded && !parse_slot(slot)) {
        wdt_init(true);
        if (slot_state == SLOT_LOADING) slot_state = SLOT_IDLE;
        fw_unlock();
        vTaskDelete(NULL);
        return;
    }

    engine_load_accel = Memory_LoadU8(CV_ENGINE_LOAD_ACCEL);
    engine_load_decel = Memory_LoadU8(CV_ENGINE_LOAD_DECEL);
    ESP_LOGI(TAG, "Engine load accel=%u decel=%u", (unsigned)engine_load_accel, (unsigned)engine_load_decel);

    for (int d = 0; d < slot_data.drive_functions_len && d < MAX_DRIVE_FUNCTIONS; d++) {
        drive_function_t *df = &drive_functions[d];
        if (df->rom->fid >= 0 && df->rom->fid < MAX_FUNCTIONS) df->main_item = &functions[df->rom->fid];
        df->complex_loops = slot_data.complex_loops;
        df->accelon_len = leading_ids(df->rom->accelon_ids);
        df->decelon_len = leading_ids(df->rom->decelon_ids);
        // The low-speed gate belongs to the start the loco made with the slot before (it is
        // cleared only by a speed of 0 heard while loaded): kept, a slot loaded at a stand took
        // the stand for the first running level and brought its idle level in over the braking
        // time.
        df->rom->min_speed = 0;
        drive_init_begin_timer(df);
        drive_init_periodic_timer(df);
        if (df->rom->start_id != -1) drive_init_start_timer(df);
        drive_init_max_values(df);
    }

    print_slot_summary();
    ESP_LOGI(TAG, "Slot params: %luHz", (unsigned long)slot_data.sample_rate);

    if (slot_data.sample_rate != 0) {
        mixer_set_stream_info(mixer, (uint16_t)slot_data.sample_rate, 1);
        slot_state = SLOT_LOADED;
        sound_apply_volumes_written_while_loading();
        const uint8_t never_blocked = Memory_LoadU8(CV_NEVER_BLOCKED);
        for (uint8_t f = 0; f < MAX_FUNCTIONS; f++) {
            if (f != never_blocked && DCC_GetFunctionState(f)) sound_replay_function(f);
        }
    }
    wdt_init(true);
    if (slot_state == SLOT_LOADING) slot_state = SLOT_IDLE;
    fw_unlock();
    vTaskDelete(NULL);
}

esp_err_t soundHL_load_slot(uint32_t slot, bool reload) {
    fw_lock();
    esp_err_t result = ESP_FAIL;
    if (disable_sound_engine || !initialized) {
        // nothing to load into yet
    } else if (slot_state == SLOT_LOADING) {
        // Checked first: a request during a load must never unload the readers under the loader.
        ESP_LOGW(TAG, "Slot loading is in progress");
    } else if (slot >= MAX_SLOTS) {
        // The slot goes with its tracks, as after a failed load: a track is loaded again on its
        // next play, so its records left in place played on (a drive timer's loop of parts, a
        // key, a logic condition) until another slot was loaded.
        soundHL_unload_slot();
        reset_slot_ram();
        reset_slot();
        slot_state = SLOT_IDLE;
        ESP_LOGW(TAG, "Slot is invalid id = %u", (unsigned)((slot + 1) & 0xFF));
    } else {
        slot_state = SLOT_LOADING;
        uintptr_t param = ((uintptr_t)(reload ? 1 : 0) << 8) | slot;
        if (xTaskCreatePinnedToCore(load_slot_task, "load_slot", 10240, (void *)param, 5, NULL, 1) ==
            pdPASS) {
            result = ESP_OK;
        } else {
            ESP_LOGE(TAG, "Error create load slot task");
            // Without the task nothing would ever end the load and every later request would
            // be refused.
            slot_state = SLOT_IDLE;
        }
    }
    fw_unlock();
    return result;
}
