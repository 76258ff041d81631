// The per-function state machine. A function plays its ON track, then its looping track, then
// its OFF track; each one fades into the next. The reader asks for the next state through its
// end notification, shortly before a track ends (the sound engine's track-end handling).
#include "sound_function.h"

#include <stdio.h>
#include <string.h>

#include "audio_track.h"
#include "esp_log.h"
#include "memory.h"

#define CV_FADE_TIME 204

static uint32_t min_u32(uint32_t a, uint32_t b) {
    return a < b ? a : b;
}

function_state_t function_next_track(function_state_t state) {
    switch (state) {
        case FUNCTION_IDLE:
            return FUNCTION_ON;
        case FUNCTION_ON:
            return FUNCTION_LOOP;
        case FUNCTION_LOOP:
            return FUNCTION_OFF;
        default:
            return FUNCTION_IDLE;
    }
}

function_state_t function_get_next_state(function_t *item, function_state_t state) {
    function_state_t next = function_next_track(state);
    if (next != FUNCTION_IDLE && item->rom->ids[next] < 0) return function_next_track(next);
    return next;
}

void function_play_next(function_t *item) {
    const uint32_t fade = (uint32_t)Memory_LoadU8(CV_FADE_TIME) * 10;
    uint32_t cross_fade = 0;
    uint32_t notification = 0;
    int8_t *ids = item->rom->ids;
    switch (item->state) {
        case FUNCTION_ON: {
            // The ON track asks to be told shortly before its end, so the loop can fade in.
            uint32_t loop_len = track_get_duration(ids[FUNCTION_LOOP]);
            notification = loop_len == 0 ? fade : min_u32(fade, loop_len / 2);
            break;
        }
        case FUNCTION_LOOP:
        case FUNCTION_OFF:
            cross_fade = min_u32(fade, track_get_duration(ids[item->state]) / 2);
            break;
        default:
            break;
    }
    for (int i = 0; i < 4; i++) {
        track_load(ids[i]);
        track_stop(ids[i], (uint16_t)cross_fade);
    }
    if (item->state <= FUNCTION_OFF && ids[item->state] >= 0) {
        track_play(ids[item->state], state2str(item->state), (uint16_t)cross_fade, (uint16_t)notification);
    }
}

void function_stop(function_t *item, uint16_t transition_time) {
    if (item == NULL) return;
    for (int i = 0; i < 4; i++)
        track_stop(item->rom->ids[i], transition_time);
    item->state = FUNCTION_IDLE;
}

void function_reset_ram(function_t *item) {
    item->state = FUNCTION_IDLE;
    item->enabled = false;
    item->blocked = false;
    item->on_interrupted = false;
}

void function_reset_rom(function_rom_t *item) {
    memset(item->ids, -1, sizeof item->ids);
}

void function_reset(function_t *item) {
    function_reset_ram(item);
    if (item->rom != NULL) function_reset_rom(item->rom);
}

void multi_function_reset(multi_function_t *item) {
    item->func_id = -1;
    item->len = 0;
    for (int i = 0; i < MAX_MULTI_VARIANTS; i++)
        function_reset_rom(&item->variants[i]);
}

void function_print(const char *tag, function_t *item, int8_t id) {
    int8_t *ids = item->rom->ids;
    if (ids[0] < 0 && ids[1] < 0 && ids[2] < 0 && ids[3] < 0) return;
    ESP_LOGI(tag, "F%u: %i %i %i", (unsigned)(uint8_t)id, ids[FUNCTION_ON], ids[FUNCTION_LOOP],
             ids[FUNCTION_OFF]);
}

void multi_function_print(const char *tag, multi_function_t *item) {
    char buf[100];
    int pos = snprintf(buf, sizeof buf, "F%i MULTI:", item->func_id);
    for (int v = 0; v < item->len && v < MAX_MULTI_VARIANTS && pos < (int)sizeof buf; v++) {
        const int8_t *ids = item->variants[v].ids;
        pos += snprintf(buf + pos, sizeof buf - (size_t)pos, " [%i %i %i]", ids[FUNCTION_ON],
                        ids[FUNCTION_LOOP], ids[FUNCTION_OFF]);
    }
    ESP_LOGI(tag, "%s", buf);
}
