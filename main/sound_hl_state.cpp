// The sound engine's global instances, in a unit of their own so that modules (and their
// tests) that only need the records do not pull in the engine's functions.
#include "sound_hl.h"

slot_rom_t slot_data;
track_rom_t tracks_rom[MAX_TRACKS];
track_t tracks[MAX_TRACKS];
function_t functions[MAX_FUNCTIONS];
drive_function_t drive_functions[MAX_DRIVE_FUNCTIONS];
logic_condition_t logics[MAX_LOGICS];
loco_info_t loco_info;
short_gui_t short_gui;
uint8_t function_volume[MAX_FUNCTIONS];
size_t function_volume_len;
uint8_t function_dyn_volume[MAX_FUNCTIONS];
uint8_t info_functions_pos[MAX_INFO_FUNCTIONS];
slot_state_t slot_state = SLOT_IDLE;
mixer_handle_t mixer;
bool initialized;
bool drive_sounds_enabled;
uint8_t engine_load_value;
uint8_t target_load_value;
uint8_t engine_load_accel;
uint8_t engine_load_decel;
uint8_t engine_min_load;
