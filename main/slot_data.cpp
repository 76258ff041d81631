// Layout checks of the stored slot records, and the record helpers.
#include "slot_data.h"

#include <string.h>

#define CHECK_FIELD(type, field, offset) static_assert(offsetof(type, field) == (offset), #type "." #field)

static_assert(sizeof(play_type_t) == 4 && sizeof(drive_variant_t) == 4 && sizeof(logic_type_t) == 4);

static_assert(sizeof(track_rom_t) == 66);
CHECK_FIELD(track_rom_t, type, 0);
CHECK_FIELD(track_rom_t, ch_group, 4);
CHECK_FIELD(track_rom_t, drive_pos, 5);
CHECK_FIELD(track_rom_t, function_id, 6);
CHECK_FIELD(track_rom_t, variant_id, 7);
CHECK_FIELD(track_rom_t, speed, 8);
CHECK_FIELD(track_rom_t, end_speed, 9);
CHECK_FIELD(track_rom_t, delay_ms, 10);
CHECK_FIELD(track_rom_t, period_ms, 12);
CHECK_FIELD(track_rom_t, filepath, 16);

static_assert(sizeof(function_rom_t) == 4);
CHECK_FIELD(function_rom_t, ids, 0);

static_assert(sizeof(speed_item_t) == 8);
CHECK_FIELD(speed_item_t, item, 0);
CHECK_FIELD(speed_item_t, min, 4);
CHECK_FIELD(speed_item_t, max, 6);

static_assert(sizeof(accel_item_t) == 4);
CHECK_FIELD(accel_item_t, id, 0);
CHECK_FIELD(accel_item_t, min, 2);

static_assert(sizeof(drive_function_rom_t) == 244);
CHECK_FIELD(drive_function_rom_t, fid, 0);
CHECK_FIELD(drive_function_rom_t, variant, 4);
CHECK_FIELD(drive_function_rom_t, stop_id, 8);
CHECK_FIELD(drive_function_rom_t, start_id, 9);
CHECK_FIELD(drive_function_rom_t, estop_id, 10);
CHECK_FIELD(drive_function_rom_t, dir_id, 11);
CHECK_FIELD(drive_function_rom_t, min_speed, 12);
CHECK_FIELD(drive_function_rom_t, stop_speed, 16);
CHECK_FIELD(drive_function_rom_t, drv_off_speed, 20);
CHECK_FIELD(drive_function_rom_t, accdcl_min_spd_diff, 24);
CHECK_FIELD(drive_function_rom_t, turbo_min_speed, 28);
CHECK_FIELD(drive_function_rom_t, items_len, 32);
CHECK_FIELD(drive_function_rom_t, acc_items_len, 33);
CHECK_FIELD(drive_function_rom_t, dcl_items_len, 34);
CHECK_FIELD(drive_function_rom_t, accel_id, 35);
CHECK_FIELD(drive_function_rom_t, decel_id, 36);
CHECK_FIELD(drive_function_rom_t, accelon_ids, 37);
CHECK_FIELD(drive_function_rom_t, decelon_ids, 42);
CHECK_FIELD(drive_function_rom_t, drv_off_id, 47);
CHECK_FIELD(drive_function_rom_t, turbo_id, 48);
CHECK_FIELD(drive_function_rom_t, loopd_id, 49);
CHECK_FIELD(drive_function_rom_t, dcl_items, 50);
CHECK_FIELD(drive_function_rom_t, acc_items, 98);
CHECK_FIELD(drive_function_rom_t, items, 146);

static_assert(sizeof(complex_loop_t) == 18);
CHECK_FIELD(complex_loop_t, fid, 0);
CHECK_FIELD(complex_loop_t, speed, 1);
CHECK_FIELD(complex_loop_t, ids, 2);
CHECK_FIELD(complex_loop_t, ids_dcl, 10);

static_assert(sizeof(info_function_t) == 43);
CHECK_FIELD(info_function_t, fid, 0);
CHECK_FIELD(info_function_t, activated, 1);
CHECK_FIELD(info_function_t, len, 2);
CHECK_FIELD(info_function_t, ids, 3);

static_assert(sizeof(multi_function_t) == 22);
CHECK_FIELD(multi_function_t, func_id, 0);
CHECK_FIELD(multi_function_t, len, 1);
CHECK_FIELD(multi_function_t, variants, 2);

static_assert(sizeof(logic_condition_rom_t) == 20);
CHECK_FIELD(logic_condition_rom_t, type, 0);
CHECK_FIELD(logic_condition_rom_t, func_id, 4);
CHECK_FIELD(logic_condition_rom_t, trigger_id, 5);
CHECK_FIELD(logic_condition_rom_t, flags, 6);
CHECK_FIELD(logic_condition_rom_t, delay_ms, 8);
CHECK_FIELD(logic_condition_rom_t, duration_ms, 12);
CHECK_FIELD(logic_condition_rom_t, param, 16);
CHECK_FIELD(logic_condition_rom_t, param2, 18);

static_assert(sizeof(slot_rom_t) == 3032);
CHECK_FIELD(slot_rom_t, id, 0);
CHECK_FIELD(slot_rom_t, sample_rate, 4);
CHECK_FIELD(slot_rom_t, logics, 8);
CHECK_FIELD(slot_rom_t, functions, 648);
CHECK_FIELD(slot_rom_t, drive_functions_len, 924);
CHECK_FIELD(slot_rom_t, complex_loops_len, 925);
CHECK_FIELD(slot_rom_t, info_functions_len, 926);
CHECK_FIELD(slot_rom_t, multi_functions_len, 927);
CHECK_FIELD(slot_rom_t, drive_functions, 928);
CHECK_FIELD(slot_rom_t, complex_loops, 2636);
CHECK_FIELD(slot_rom_t, info_functions, 2726);
CHECK_FIELD(slot_rom_t, multi_functions, 2812);

static_assert(sizeof(loco_info_t) == 172);
CHECK_FIELD(loco_info_t, type, 0);
CHECK_FIELD(loco_info_t, name, 1);
CHECK_FIELD(loco_info_t, functions, 34);

static_assert(sizeof(short_gui_t) == 19);
CHECK_FIELD(short_gui_t, name, 0);
CHECK_FIELD(short_gui_t, image, 8);
CHECK_FIELD(short_gui_t, fxx, 11);

const char *state2str(function_state_t state) {
    switch (state) {
        case FUNCTION_IDLE:
            return "IDLE";
        case FUNCTION_ON:
            return "ON";
        case FUNCTION_LOOP:
            return "LOOP";
        case FUNCTION_OFF:
            return "OFF";
        default:
            return "";
    }
}

void complex_loop_reset(complex_loop_t *complex_loop) {
    complex_loop->fid = -1;
    memset(complex_loop->ids, -1, sizeof complex_loop->ids);
    memset(complex_loop->ids_dcl, -1, sizeof complex_loop->ids_dcl);
}

void info_function_reset(info_function_t *info_function) {
    info_function->fid = -1;
    memset(info_function->ids, -1, sizeof info_function->ids);
}

void info_function_reset_ram(info_function_t *info_function) {
    info_function->activated = false;
}
