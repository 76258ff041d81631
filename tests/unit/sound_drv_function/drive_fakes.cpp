// The fakes replace whole modules at link time: every function of the track layer is defined
// here, so that the real one (and its readers) is never pulled into this program.
#include "drive_fakes.h"

#include <string.h>

#include "audio_reader.h"
#include "audio_track.h"
#include "dcc_hl.h"
#include "esp_err.h"
#include "slot_data.h"
#include "sound_hl.h"

namespace fake {
std::vector<TrackCall> calls;
uint32_t duration_ms[100];
uint32_t remaining_ms[100];
bool function_on[69];

void reset() {
    calls.clear();
    memset(duration_ms, 0, sizeof duration_ms);
    memset(remaining_ms, 0, sizeof remaining_ms);
    memset(function_on, 0, sizeof function_on);
    for (int i = 0; i < MAX_TRACKS; i++) {
        tracks[i].state = false;
        tracks[i].available = true;
        tracks[i].rom = &tracks_rom[i];
        // The reader handle only identifies the track in the fake.
        tracks[i].audio_reader = (audio_reader_handle_t)(uintptr_t)(i + 1);
    }
}

std::vector<TrackCall> find(const std::string &op, int id) {
    std::vector<TrackCall> out;
    for (auto &c : calls)
        if (c.op == op && (id < 0 || c.id == id)) out.push_back(c);
    return out;
}
}  // namespace fake

static int reader_id(audio_reader_handle_t h) {
    return (int)(uintptr_t)h - 1;
}

// ---- track layer ----
esp_err_t track_load(int8_t) {
    return ESP_OK;
}

esp_err_t track_play(int16_t id, const char *state, uint16_t transition_time_ms,
                     uint16_t notification_time_ms) {
    fake::calls.push_back({"play", id, state, transition_time_ms, notification_time_ms});
    if (id >= 0 && id < MAX_TRACKS) tracks[id].state = true;
    return ESP_OK;
}

esp_err_t track_stop(int16_t id, uint16_t transition_time_ms) {
    fake::calls.push_back({"stop", id, "", transition_time_ms, 0});
    if (id >= 0 && id < MAX_TRACKS) tracks[id].state = false;
    return ESP_OK;
}

esp_err_t play_note(uint8_t, bool, uint16_t, uint16_t) {
    return ESP_OK;
}

void track_stop_group(uint8_t int_id, uint16_t transition_time_ms) {
    fake::calls.push_back({"stop_group", int_id, "", transition_time_ms, 0});
}

uint32_t track_get_duration(int8_t int_id) {
    return int_id >= 0 && int_id < 100 ? fake::duration_ms[int_id] : 0;
}

bool track_is_drv_item(play_type_t type) {
    return type == PLAY_TYPE_ON || type == PLAY_TYPE_OFF || type == PLAY_TYPE_LOOP ||
           type == PLAY_TYPE_LOOPD || type == PLAY_TYPE_REPEAT || type == PLAY_TYPE_REPEATD;
}

bool track_is_multi_possible(play_type_t type) {
    return type == PLAY_TYPE_ON || type == PLAY_TYPE_OFF || type == PLAY_TYPE_LOOP;
}

// ---- audio reader (the calls the drive sound makes) ----
esp_err_t audio_reader_set_position(audio_reader_handle_t handle, uint16_t position_ms) {
    fake::calls.push_back({"position", reader_id(handle), "", position_ms, 0});
    return ESP_OK;
}

uint32_t audio_reader_get_remaining_time(audio_reader_handle_t handle) {
    const int id = reader_id(handle);
    return id >= 0 && id < 100 ? fake::remaining_ms[id] : 0;
}

esp_err_t audio_reader_unload(audio_reader_handle_t handle) {
    fake::calls.push_back({"unload", reader_id(handle), "", 0, 0});
    return ESP_OK;
}

// ---- DCC side ----
bool DCC_GetFunctionState(uint8_t function) {
    return function < 69 && fake::function_on[function];
}
