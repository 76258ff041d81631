// TEMPORARY, to be deleted when the seam's own decoder.cpp is merged: the few calls of decoder.h
// that decoder_load.cpp and the project check use, so that this branch builds on its own.
#include <cstring>

#include "decoder.h"
#include "esp_timer.h"
#include "fw_lock.h"
#include "memory.h"
#include "sound_hl.h"
#include "stub.h"

void decoder_copy_records(decoder_records *out) {
    fw_lock();
    out->slot = slot_data;
    memcpy(out->tracks, tracks_rom, sizeof out->tracks);
    out->loco = loco_info;
    out->generation = 0;
    fw_unlock();
}

slot_state_t decoder_slot_state(void) {
    fw_lock();
    const slot_state_t s = slot_state;
    fw_unlock();
    return s;
}

bool decoder_wait_loaded(int64_t timeout_us) {
    const int64_t until = esp_timer_get_time() + timeout_us;
    while (decoder_slot_state() == SLOT_LOADING) {
        if (esp_timer_get_time() > until) return false;
        stub_sleep_us(2000);
    }
    return true;
}

uint8_t decoder_read_cv(uint16_t cv) {
    fw_lock();
    const uint8_t value = Memory_LoadU8(cv);
    fw_unlock();
    return value;
}
