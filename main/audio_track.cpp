// Audio tracks over their readers. Called from the sound engine's control paths, which the
// firmware lock serialises; the readers synchronise with their tasks themselves.
#include "audio_track.h"

#include "audio_reader.h"
#include "esp_log.h"
#include "mixer.h"
#include "sound_hl.h"

static const char *TAG = "AUDIO_TRACK";

static bool id_valid(int id) {
    return id >= 0 && id < MAX_TRACKS;
}

esp_err_t track_load(int8_t id) {
    if (!id_valid(id)) return ESP_ERR_INVALID_ARG;
    track_t *t = &tracks[id];
    if (t->rom == nullptr) return ESP_FAIL;
    if (t->available) return ESP_OK;
    if (t->rom->filepath[0] == '\0') return ESP_OK;
    const uint8_t volume = soundHL_track_volume(t->rom->function_id);
    file_info_t *info = nullptr;
    if (audio_reader_load(t->audio_reader, t->rom->filepath, &info, volume) != ESP_OK || info == nullptr) {
        return ESP_FAIL;
    }
    t->state = false;
    t->available = true;
    mixer_set_file_info(mixer, id, (uint16_t)info->sample_rate, info->channels);
    return ESP_OK;
}

esp_err_t track_play(int16_t id, const char *state, uint16_t transition_time_ms,
                     uint16_t notification_time_ms) {
    if (!id_valid(id)) return ESP_ERR_INVALID_ARG;
    if (!tracks[id].available) track_load((int8_t)id);
    if (!tracks[id].available) return ESP_FAIL;
    esp_err_t result = play_note((uint8_t)id, true, transition_time_ms, notification_time_ms);
    ESP_LOGI(TAG, "Play %i(%s) FADEIN=%u NOTIFICATION=%u", (int)id, state ? state : "",
             (unsigned)transition_time_ms, (unsigned)notification_time_ms);
    return result;
}

esp_err_t track_stop(int16_t id, uint16_t transition_time_ms) {
    if (!id_valid(id)) return ESP_ERR_INVALID_ARG;
    if (!tracks[id].available) return ESP_FAIL;
    return play_note((uint8_t)id, false, transition_time_ms, 0);
}

esp_err_t play_note(uint8_t int_id, bool state, uint16_t transition_time_ms, uint16_t notification_time_ms) {
    if (!id_valid(int_id) || tracks[int_id].rom == nullptr) return ESP_ERR_INVALID_ARG;
    track_t *t = &tracks[int_id];
    if (state) {
        if (t->rom->ch_group != -1) track_stop_group(int_id, transition_time_ms);
        t->state = true;
        bool loop = t->rom->type == PLAY_TYPE_LOOP;
        if (audio_reader_play(t->audio_reader, loop, transition_time_ms, notification_time_ms) != ESP_OK) {
            t->state = false;
            ESP_LOGW(TAG, "Failed to play int_id=%u", (unsigned)int_id);
        }
        return ESP_OK;
    }
    // A one-shot always plays to its end.
    if (t->rom->type == PLAY_TYPE_ONESHOT) return ESP_OK;
    if (!t->state) return ESP_OK;
    t->state = false;
    return audio_reader_stop(t->audio_reader, transition_time_ms);
}

void track_stop_group(uint8_t int_id, uint16_t transition_time_ms) {
    if (!id_valid(int_id) || tracks[int_id].rom == nullptr) return;
    const int8_t group = tracks[int_id].rom->ch_group;
    for (int i = 0; i < MAX_TRACKS; i++) {
        if (i == int_id || tracks[i].rom == nullptr) continue;
        if (tracks[i].rom->ch_group != group || !tracks[i].state) continue;
        tracks[i].state = false;
        ESP_LOGI(TAG, "Stop %u from group %u FADEOUT=%u", (unsigned)i, (unsigned)(int)group,
                 (unsigned)transition_time_ms);
        audio_reader_stop(tracks[i].audio_reader, transition_time_ms);
    }
}

uint32_t track_get_duration(int8_t int_id) {
    if (!id_valid(int_id)) return 0;
    if (!tracks[int_id].available) track_load(int_id);
    return audio_reader_get_duration(tracks[int_id].audio_reader);
}

bool track_is_drv_item(play_type_t type) {
    switch (type) {
        case PLAY_TYPE_ON:
        case PLAY_TYPE_OFF:
        case PLAY_TYPE_LOOP:
        case PLAY_TYPE_LOOPD:
        case PLAY_TYPE_REPEAT:
        case PLAY_TYPE_REPEATD:
            return true;
        default:
            return false;
    }
}

bool track_is_multi_possible(play_type_t type) {
    return type == PLAY_TYPE_ON || type == PLAY_TYPE_OFF || type == PLAY_TYPE_LOOP;
}
