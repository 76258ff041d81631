// The seam's view of what the decoder is doing: plain copies taken under one hold of the
// firmware lock, with no formatting and no allocation while it is held.
#include <cstring>

#include "audio_reader.h"
#include "dcc_hl.h"
#include "decoder.h"
#include "esp_timer.h"
#include "fw_lock.h"
#include "memory.h"
#include "movement.h"
#include "sound_hl.h"
#include "stub.h"

namespace {

constexpr uint16_t CV_SLOT = 202;

// The loaded slot's records as last seen, and a count of their changes. A reload of the same
// slot rewrites the records in place, so a change is found by comparing them, not the slot
// number. Under the firmware lock.
slot_rom_t g_seen_slot;
track_rom_t g_seen_tracks[MAX_TRACKS];
uint64_t g_generation;

// Under the firmware lock.
uint64_t records_generation() {
    if (memcmp(&g_seen_slot, &slot_data, sizeof g_seen_slot) != 0 ||
        memcmp(g_seen_tracks, tracks_rom, sizeof g_seen_tracks) != 0) {
        memcpy(&g_seen_slot, &slot_data, sizeof g_seen_slot);
        memcpy(g_seen_tracks, tracks_rom, sizeof g_seen_tracks);
        g_generation++;
    }
    return g_generation;
}

}  // namespace

decoder_snapshot decoder_observe(void) {
    decoder_snapshot s{};
    bool engine_playing[MAX_TRACKS], available[MAX_TRACKS];
    audio_reader_handle_t reader[MAX_TRACKS];
    int track_fn[MAX_TRACKS];
    char vehicle[sizeof loco_info.name];
    int slot_id;

    fw_lock();
    for (int f = 0; f < MAX_FUNCTIONS; f++) {
        decoder_key_state &k = s.keys[f];
        k.commanded = dcc_new_function_state((uint8_t)f);
        k.on = DCC_GetFunctionState((uint8_t)f);
        k.enabled = functions[f].enabled;
        k.blocked = functions[f].blocked;
        k.sound = (uint8_t)functions[f].state;
    }
    for (int i = 0; i < MAX_TRACKS; i++) {
        engine_playing[i] = tracks[i].state;
        available[i] = tracks[i].available && tracks[i].rom != nullptr;
        reader[i] = tracks[i].audio_reader;
        track_fn[i] = tracks_rom[i].function_id;
    }
    s.set_speed = EngineParams.SetSpeed;
    s.cur_speed = EngineParams.CurSpeed;
    s.moving = EngineParams.Moving;
    s.load = engine_load_value;
    s.direction = CurrentDirection;
    s.slot_state = slot_state;
    slot_id = slot_data.id;
    s.sample_rate = slot_data.sample_rate;
    memcpy(vehicle, loco_info.name, sizeof vehicle);
    s.cv202 = Memory_LoadU8(CV_SLOT);
    for (int o = 0; o < OUTPUTS_COUNT; o++)
        s.duty[o] = Outputs_GetConf((uint8_t)o)->currduty;
    const uint32_t lit = Outputs_GetStateWord();
    s.records_generation = records_generation();
    fw_unlock();

    s.speed = decoder_speed();
    vehicle[sizeof vehicle - 1] = 0;
    s.vehicle = vehicle;
    for (int o = 0; o < OUTPUTS_COUNT; o++)
        s.lit[o] = ((lit >> o) & 1) != 0;
    const bool loaded = s.slot_state == SLOT_LOADED;
    s.slot = loaded ? slot_id + 1 : 0;
    // The readers' positions and gains are atomics of their own: read outside the lock.
    for (int i = 0; i < MAX_TRACKS && loaded; i++) {
        if (!available[i]) continue;
        const audio_reader_view_t v = audio_reader_get_view(reader[i]);
        if (v.task_state != TASK_RUN && v.task_state != TASK_RESTART) continue;
        s.playing.push_back({i, track_fn[i], v.volume, v.target, v.volume_step, v.position_ms, v.length_ms,
                             engine_playing[i]});
    }
    return s;
}

void decoder_copy_records(decoder_records *out) {
    fw_lock();
    out->generation = records_generation();
    out->slot = slot_data;
    memcpy(out->tracks, tracks_rom, sizeof out->tracks);
    out->loco = loco_info;
    fw_unlock();
}

slot_state_t decoder_slot_state(void) {
    fw_lock();
    const slot_state_t s = slot_state;
    fw_unlock();
    return s;
}

bool decoder_wait_loaded(int64_t timeout_us, int64_t poll_us) {
    const int64_t until = esp_timer_get_time() + timeout_us;
    while (decoder_slot_state() == SLOT_LOADING) {
        if (esp_timer_get_time() > until) return false;
        stub_sleep_us(poll_us);
    }
    return true;
}
