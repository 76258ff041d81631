// The slot data model: the static description of a loaded sound slot (records whose names end
// in _rom_t: no pointers, stored and restored as byte images, so their layouts are a storage
// format) and the run-time records that point at them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "esp_timer.h"

// ---- limits ----
#define MAX_TRACKS 100
#define MAX_FUNCTIONS 69
#define MAX_LOGICS 32
#define MAX_DRIVE_FUNCTIONS 7
#define MAX_SPEED_ITEMS 12
#define MAX_ACCEL_ITEMS 12
#define MAX_ACCELON_VARIANTS 5
#define MAX_COMPLEX_LOOPS 5
#define MAX_COMPLEX_LOOP_PARTS 8
#define MAX_INFO_FUNCTIONS 2
#define MAX_INFO_ENTRIES 40
#define MAX_MULTI_FUNCTIONS 10
#define MAX_MULTI_VARIANTS 5
#define TRACK_PATH_LEN 50
#define MAX_SLOTS 3

typedef struct audio_decoder *audio_reader_handle_t;

typedef enum {
    PLAY_TYPE_ONESHOT = 0,
    PLAY_TYPE_ON = 1,
    PLAY_TYPE_OFF = 2,
    PLAY_TYPE_LOOP = 3,
    PLAY_TYPE_LOOPD = 4,
    PLAY_TYPE_ACCEL = 5,
    PLAY_TYPE_ACCELON = 6,
    PLAY_TYPE_DECELON = 7,
    PLAY_TYPE_DECEL = 8,
    PLAY_TYPE_START = 9,
    PLAY_TYPE_STOP = 10,
    PLAY_TYPE_ESTOP = 11,
    PLAY_TYPE_REPEAT = 12,
    PLAY_TYPE_REPEATD = 13,
    PLAY_TYPE_INFO = 14,
    PLAY_TYPE_INFONEXT = 15,
    PLAY_TYPE_DIR = 16,
    PLAY_TYPE_TURBO = 17,
} play_type_t;

typedef enum {
    FUNCTION_IDLE = 0,
    FUNCTION_ON = 1,
    FUNCTION_LOOP = 2,
    FUNCTION_OFF = 3,
    FUNCTION_LAST = 4,
} function_state_t;

typedef enum {
    DRIVE_VARIANT_SPEED = 0,
    DRIVE_VARIANT_LOAD = 1,
} drive_variant_t;

typedef enum {
    SLOT_IDLE = 0,
    SLOT_LOADING = 1,
    SLOT_LOADED = 2,
} slot_state_t;

typedef enum {
    LOGIC_NONE = 0,
    LOGIC_ACCEL = 1,
    LOGIC_DECEL = 2,
    LOGIC_ACCDCL = 3,
    LOGIC_START = 4,
    LOGIC_STOP = 5,
    LOGIC_ESTOP = 6,
    LOGIC_BLOCK = 7,
    LOGIC_BLOCK_DRV = 8,
    LOGIC_REPEATS_ON = 9,
    LOGIC_REPEATS_OFF = 10,
    LOGIC_REPEATS_BOTH = 11,
    LOGIC_VOLUME = 12,
    LOGIC_VOLUME_SPD = 13,
    LOGIC_VOLUME_LOAD = 14,
    LOGIC_SPD = 15,
    LOGIC_LOAD = 16,
    LOGIC_MIN_LOAD = 17,
    LOGIC_DIMM = 18,
    LOGIC_DIMM_OUTPUT = 19,
    LOGIC_RANDOM = 20,
    LOGIC_TOGETHER = 21,
    LOGIC_FAN = 22,
    LOGIC_MAX = 23,
} logic_type_t;

// ---- static records (little-endian byte images) ----

// One audio file; records follow each other every 66 bytes in "tracks_blob".
typedef struct __attribute__((packed)) {
    play_type_t type;
    int8_t ch_group;
    int8_t drive_pos;
    uint8_t function_id;
    int8_t variant_id;
    int8_t speed;
    int8_t end_speed;
    int16_t delay_ms;
    uint32_t period_ms;
    char filepath[TRACK_PATH_LEN];
} track_rom_t;

// Track ids of one sound function, indexed by function_state_t. ids[0] holds no track, only an
// info-function reference (-2 - k); ids[2] may name complex loop k as -2 - k.
typedef struct {
    int8_t ids[4];
} function_rom_t;

typedef struct {
    function_rom_t item;
    uint16_t min;
    int16_t max;
} speed_item_t;

typedef struct {
    int8_t id;
    uint16_t min;
} accel_item_t;

typedef struct {
    int8_t fid;
    drive_variant_t variant;
    int8_t stop_id;
    int8_t start_id;
    int8_t estop_id;
    int8_t dir_id;
    uint32_t min_speed;
    uint32_t stop_speed;
    uint32_t drv_off_speed;
    uint32_t accdcl_min_spd_diff;
    uint32_t turbo_min_speed;
    uint8_t items_len;
    uint8_t acc_items_len;
    uint8_t dcl_items_len;
    int8_t accel_id;
    int8_t decel_id;
    int8_t accelon_ids[MAX_ACCELON_VARIANTS];
    int8_t decelon_ids[MAX_ACCELON_VARIANTS];
    int8_t drv_off_id;
    int8_t turbo_id;
    int8_t loopd_id;
    accel_item_t dcl_items[MAX_ACCEL_ITEMS];
    accel_item_t acc_items[MAX_ACCEL_ITEMS];
    speed_item_t items[MAX_SPEED_ITEMS];
} drive_function_rom_t;

typedef struct {
    int8_t fid;
    int8_t speed;
    int8_t ids[MAX_COMPLEX_LOOP_PARTS];
    int8_t ids_dcl[MAX_COMPLEX_LOOP_PARTS];
} complex_loop_t;

// Entry pairs: ids[2j] is INFONEXT number j+1, ids[2j+1] is INFO number j+1.
typedef struct {
    int8_t fid;
    bool activated;
    uint8_t len;
    int8_t ids[MAX_INFO_ENTRIES];
} info_function_t;

typedef struct {
    int8_t func_id;
    uint8_t len;
    function_rom_t variants[MAX_MULTI_VARIANTS];
} multi_function_t;

typedef struct {
    logic_type_t type;
    int8_t func_id;
    int8_t trigger_id;
    uint8_t flags;
    uint32_t delay_ms;
    int32_t duration_ms;
    uint16_t param;
    uint16_t param2;
} logic_condition_rom_t;

typedef struct {
    int8_t id;
    uint32_t sample_rate;
    logic_condition_rom_t logics[MAX_LOGICS];
    function_rom_t functions[MAX_FUNCTIONS];
    uint8_t drive_functions_len;
    uint8_t complex_loops_len;
    uint8_t info_functions_len;
    uint8_t multi_functions_len;
    drive_function_rom_t drive_functions[MAX_DRIVE_FUNCTIONS];
    complex_loop_t complex_loops[MAX_COMPLEX_LOOPS];
    info_function_t info_functions[MAX_INFO_FUNCTIONS];
    multi_function_t multi_functions[MAX_MULTI_FUNCTIONS];
} slot_rom_t;

// Vehicle description from the functions file; type 255 = no functions file.
typedef struct {
    uint8_t type;
    char name[32];
    uint16_t functions[MAX_FUNCTIONS];
} loco_info_t;

// Compact vehicle summary returned byte by byte by the indexed CV reads.
typedef struct __attribute__((packed)) {
    char name[8];
    uint16_t image;
    uint8_t symbol : 4;
    uint8_t reserved : 2;
    uint8_t f0 : 2;
    uint8_t fxx[8];
} short_gui_t;

// ---- run-time records ----

typedef struct {
    bool state;      // playing
    bool available;  // its file is loaded in its reader
    audio_reader_handle_t audio_reader;
    track_rom_t *rom;
} track_t;

typedef struct {
    bool blocked;
    bool enabled;
    bool on_interrupted;
    function_state_t state;
    function_rom_t *rom;
} function_t;

typedef struct {
    uint32_t start_time_ms;
    uint32_t next_time_ms;
    uint16_t current_param;
    bool started;
    logic_condition_rom_t *rom;
} logic_condition_t;

typedef struct {
    int32_t target_spd;
    int8_t current_pos;
    int8_t target_pos;
    int8_t last_int_id;
    int8_t accel_sgn;
    uint8_t periodic_pos;
    uint32_t accel;
    uint32_t decel;
    uint32_t max_speed;
    bool stop_started;
    bool drv_off_started;
    bool drv_off_done;  // the drive-off sound of this braking has played
    uint32_t turbo_start_time_ms;
    int8_t accelon_started_id;
    int8_t decelon_started_id;
    uint8_t accelon_len;
    uint8_t decelon_len;
    bool block_loop;
    int8_t last_accdcl_id;
    int32_t accdcl_speed;  // the speed at which last_accdcl_id was started
    uint32_t period_ms;
    uint32_t start_delay_ms;
    uint32_t level_change_time_ms;
    esp_timer_handle_t start_sound_timer;
    esp_timer_handle_t begin_moving_timer;
    esp_timer_handle_t periodic_timer;
    function_t *main_item;
    function_t items[MAX_SPEED_ITEMS];
    complex_loop_t *complex_loops;
    drive_function_rom_t *rom;
} drive_function_t;

// ---- helpers ----
const char *state2str(function_state_t state);
void complex_loop_reset(complex_loop_t *complex_loop);
void info_function_reset(info_function_t *info_function);
void info_function_reset_ram(info_function_t *info_function);
