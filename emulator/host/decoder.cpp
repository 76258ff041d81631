// The seam's commands: what a command station asks of the decoder, each under one hold of the
// firmware lock, so that a front-end's request never interleaves with a tick or a slot load.
#include "decoder.h"

#include <atomic>

#include "dcc_hl.h"
#include "fw_lock.h"
#include "memory.h"
#include "sound_hl.h"

namespace {

// The speed the command station asks for, which the tick repeats every 10 ms. One store from
// a front-end, one load per repeat on the tick thread: a late value only delays the packet by
// one repeat, so the tick reads it relaxed.
std::atomic<uint32_t> g_speed{1};

// CV 8 holds the manufacturer number and cannot be written: on the decoder the DCC library
// takes a write of 8 to it as the request to restore the factory defaults.
constexpr uint16_t CV_RESET = 8;
constexpr uint8_t CV_RESET_VALUE = 8;
constexpr uint16_t CV_SLOT = 202;

}  // namespace

void decoder_set_speed(uint32_t encoded) {
    g_speed.store(encoded);
}

uint32_t decoder_speed(void) {
    return g_speed.load(std::memory_order_relaxed);
}

void decoder_emergency_stop(void) {
    g_speed.store(0);
}

void decoder_toggle_key(int fn, int times) {
    fw_lock();
    for (int i = 0; i < times; i++)
        DCC_ChangeFunction((uint8_t)fn);
    fw_unlock();
}

void decoder_set_key(int fn, bool on) {
    fw_lock();
    if (dcc_new_function_state((uint8_t)fn) != on) DCC_ChangeFunction((uint8_t)fn);
    fw_unlock();
}

void decoder_write_cv(uint16_t cv, uint8_t value) {
    fw_lock();
    if (cv == CV_RESET && value == CV_RESET_VALUE) {
        notifyCVResetFactoryDefault(1);  // every CV, the stored volumes, and a slot reload
    } else {
        Memory_SaveU8(cv, value);
        DCC_ChangeCV(cv, value);
    }
    fw_unlock();
}

uint8_t decoder_read_cv(uint16_t cv) {
    fw_lock();
    const uint8_t value = Memory_LoadU8(cv);
    fw_unlock();
    return value;
}

void decoder_switch_slot(int slot) {
    decoder_write_cv(CV_SLOT, (uint8_t)slot);
}

void decoder_file_changed(const std::string &path, bool added) {
    std::string copy = path;  // the engine takes a writable path
    fw_lock();
    soundHL_file_changed(copy.data(), added);
    fw_unlock();
}

void decoder_start(void) {
    // On the main thread before the tick loop runs, as the rest of the start-up: unlocked, so
    // that the engine's tasks start exactly as they always have.
    soundHL_start();
}
