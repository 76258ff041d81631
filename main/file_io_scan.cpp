// Slot folder scan: classifies the entries of a slot folder, decodes audio file names into track
// entries and hands text files to their parsers (file_io_config.cpp).
//
// The scan runs on the slot loader's thread under the firmware lock.
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "file_io.h"
#include "file_io_private.h"
#include "nvs_hl.h"
#include "sound_hl.h"

static const char *TAG = FILEIO_TAG;

// Text files are opened through a path of at most 79 characters; a name of 79 characters or more
// can never fit with its folder, so it is refused rather than cut short into another file's name.
#define TEXT_PATH_LEN 80
#define FILE_NAME_MAX_LEN 78
// is_dir examines path + name in a buffer of this size (260 characters and a terminator).
#define STAT_PATH_LEN 261
// fileIO_getFolderSize builds path + name in a buffer of this size.
#define SIZE_PATH_LEN 80

// ---------------------------------------------------------------- file-name grammar

static char upper(char c) {
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

// Token [p, p + len) equals `word` (upper case), ignoring the letter case of the token.
static bool tok_equals(const char *p, size_t len, const char *word) {
    size_t n = strlen(word);
    if (n != len) return false;
    for (size_t i = 0; i < n; i++) {
        if (upper(p[i]) != word[i]) return false;
    }
    return true;
}

// Token [p, p + len) contains `word` (upper case), ignoring the letter case of the token.
static bool tok_contains(const char *p, size_t len, const char *word) {
    size_t n = strlen(word);
    if (n > len) return false;
    for (size_t start = 0; start + n <= len; start++) {
        if (tok_equals(p + start, n, word)) return true;
    }
    return false;
}

struct type_word {
    const char *word;
    play_type_t type;
};

// Checked in this order, first match wins: the exact words first, then words a token may merely
// contain (LOOPD before LOOP and INFONEXT before INFO, since the shorter words are inside them).
static const type_word EXACT_WORDS[] = {
    {"ON", PLAY_TYPE_ON},       {"OFF", PLAY_TYPE_OFF},         {"ACCEL", PLAY_TYPE_ACCEL},
    {"DECEL", PLAY_TYPE_DECEL}, {"ACCELON", PLAY_TYPE_ACCELON}, {"DECELON", PLAY_TYPE_DECELON},
    {"START", PLAY_TYPE_START}, {"STOP", PLAY_TYPE_STOP},       {"ESTOP", PLAY_TYPE_ESTOP},
};
static const type_word CONTAINED_WORDS[] = {
    {"LOOPD", PLAY_TYPE_LOOPD}, {"LOOP", PLAY_TYPE_LOOP}, {"INFONEXT", PLAY_TYPE_INFONEXT},
    {"INFO", PLAY_TYPE_INFO},   {"DIR", PLAY_TYPE_DIR},   {"TURBO", PLAY_TYPE_TURBO},
};

// One token after the function token. Numbers are read right after the first letter; a sign is
// accepted (S-5 is speed -5). A number that does not fit its field leaves the field as it was.
static void decode_token(const char *p, size_t len, fileIO_name_info_t *info) {
    for (const type_word &w : EXACT_WORDS) {
        if (tok_equals(p, len, w.word)) {
            info->type = w.type;
            return;
        }
    }
    for (const type_word &w : CONTAINED_WORDS) {
        if (tok_contains(p, len, w.word)) {
            info->type = w.type;
            return;
        }
    }
    if (len == 0) return;
    // strtol stops at the "_" or the terminator that ends the token, so it never reads into the
    // next token.
    const char *num = p + 1;
    long v;
    switch (upper(p[0])) {
        case 'D':
            if (fileio_read_number(num, INT16_MIN, INT16_MAX, &v, nullptr)) info->delay_ms = (int16_t)v;
            break;
        case 'S':
            if (fileio_read_number(num, INT8_MIN, INT8_MAX, &v, nullptr)) info->speed = (int16_t)v;
            break;
        case 'M':
            if (fileio_read_number(num, INT8_MIN, INT8_MAX, &v, nullptr)) info->load = (int16_t)v;
            break;
        case 'E':
            if (fileio_read_number(num, INT8_MIN, INT8_MAX, &v, nullptr)) info->end_speed = (int16_t)v;
            break;
        case 'P':
            if (tok_equals(p, len, "PX")) {
                info->period_ms = 1;
            } else if (fileio_read_number(num, 0, (long)UINT32_MAX, &v, nullptr)) {
                info->period_ms = (uint32_t)v;
            }
            break;
        default:
            break;
    }
}

bool fileIO_decodeFileName(const char *stem, fileIO_name_info_t *info) {
    info->func_id = 0;
    info->variant_id = -1;
    info->type = PLAY_TYPE_ONESHOT;
    info->delay_ms = 0;
    info->speed = -1;
    info->load = -1;
    info->end_speed = -1;
    info->period_ms = 0;
    if (stem == nullptr || upper(stem[0]) != 'F') return false;

    // Function token: F, the function number (an empty number is 0), then optionally a variant
    // letter. A number beyond 0..255 does not fit the track's function field: the file then has
    // no function rather than the function of the wrapped number.
    const char *after = nullptr;
    long v;
    if (fileio_read_number(stem + 1, 0, UINT8_MAX, &v, &after)) {
        info->func_id = (uint8_t)v;
    } else if (after != stem + 1) {
        return false;
    }
    char c = upper(*after);
    if (c >= 'A' && c <= 'Z') info->variant_id = (int8_t)(c - 'A');

    const char *p = strchr(stem, '_');
    while (p != nullptr) {
        p++;
        const char *q = strchr(p, '_');
        size_t len = q != nullptr ? (size_t)(q - p) : strlen(p);
        decode_token(p, len, info);
        p = q;
    }

    // A loop with both a speed and a period is one part of a complex loop.
    if (info->period_ms != 0 && info->speed != -1) {
        if (info->type == PLAY_TYPE_LOOP) info->type = PLAY_TYPE_REPEAT;
        if (info->type == PLAY_TYPE_LOOPD) info->type = PLAY_TYPE_REPEATD;
    }
    return true;
}

// ---------------------------------------------------------------- track entries

// -1 (absent) for a value that does not fit the int8 field of the track record.
static int8_t to_int8_or_absent(int16_t v) {
    return (v >= INT8_MIN && v <= INT8_MAX) ? (int8_t)v : (int8_t)-1;
}

static bool fill_track(track_t *table, const char *path, const char *name, int8_t func_id, int8_t variant_id,
                       int8_t int_id, play_type_t note_type, int16_t delay_ms, int16_t speed, int16_t load,
                       int16_t end_speed, uint32_t period_ms) {
    if (int_id < 0 || int_id >= MAX_TRACKS || table[int_id].rom == nullptr) return false;
    track_rom_t *rom = table[int_id].rom;

    speed = to_int8_or_absent(speed);
    load = to_int8_or_absent(load);
    rom->function_id = (uint8_t)func_id;
    rom->ch_group = -1;
    rom->type = note_type;
    rom->delay_ms = delay_ms;
    rom->end_speed = to_int8_or_absent(end_speed);
    rom->period_ms = period_ms;
    if (speed != -1 || load != -1) {
        rom->variant_id = load != -1 ? DRIVE_VARIANT_LOAD : DRIVE_VARIANT_SPEED;
    } else {
        rom->variant_id = variant_id;
    }
    rom->speed = (int8_t)(load != -1 ? load : speed);

    if (path == nullptr) {
        rom->filepath[0] = (char)0xFF;
        return true;
    }
    if (name == nullptr) name = "";
    if (strlen(path) + strlen(name) >= sizeof rom->filepath) {
        ESP_LOGE(TAG, "Filepath is too big for %s", name);
        rom->filepath[0] = 0;
        return false;
    }
    snprintf(rom->filepath, sizeof rom->filepath, "%s%s", path, name);
    return true;
}

bool fill_track_info(const char *path, const char *name, int8_t func_id, int8_t variant_id, int8_t int_id,
                     play_type_t note_type, int16_t delay_ms, int16_t speed, int16_t load, int16_t end_speed,
                     uint32_t period_ms) {
    return fill_track(::tracks, path, name, func_id, variant_id, int_id, note_type, delay_ms, speed, load,
                      end_speed, period_ms);
}

// ---------------------------------------------------------------- folder entries

bool is_dir(struct dirent *entry, const char *path) {
    if (entry == nullptr || path == nullptr) return true;
    char full[STAT_PATH_LEN];
    int n = snprintf(full, sizeof full, "%s%s", path, entry->d_name);
    if (n < 0 || (size_t)n >= sizeof full) {
        ESP_LOGE(TAG, "Filepath is too big for %s", entry->d_name);
        return true;
    }
    struct stat st;
    if (stat(full, &st) != 0) return true;
    return S_ISDIR(st.st_mode);
}

uint32_t fileIO_getFolderSize(const char *path) {
    DIR *dir = path != nullptr ? opendir(path) : nullptr;
    if (dir == nullptr) {
        ESP_LOGE(TAG, "Failed to stat dir");
        return 0xFFFFFFFF;
    }
    uint64_t sum = 0;
    struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr) {
        if (is_dir(entry, path)) continue;
        char full[SIZE_PATH_LEN];
        int n = snprintf(full, sizeof full, "%s%s", path, entry->d_name);
        if (n < 0 || (size_t)n >= sizeof full) {
            ESP_LOGE(TAG, "Filepath is too big for %s", entry->d_name);
            continue;
        }
        struct stat st;
        if (stat(full, &st) != 0) {
            ESP_LOGE(TAG, "Cannot stat file %s", full);
            continue;
        }
        sum += (uint64_t)st.st_size;
    }
    closedir(dir);
    // 0xFFFFFFFF is the error result: a larger folder reports the largest size below it instead
    // of a wrapped, too small one.
    return sum >= 0xFFFFFFFFull ? 0xFFFFFFFEu : (uint32_t)sum;
}

// ---------------------------------------------------------------- the scan

// A text file goes to the parser its name selects (first match, case-sensitive, anywhere in the
// name). Files that select no parser are never opened, so only those get a path built.
fileIO_text_kind_t fileIO_textFileKind(const char *name) {
    if (name == nullptr) return FILEIO_TEXT_NONE;
    if (strstr(name, "map") != nullptr) return FILEIO_TEXT_MAP;
    if (strstr(name, "logic") != nullptr) return FILEIO_TEXT_LOGIC;
    if (strstr(name, "cv") != nullptr) return FILEIO_TEXT_CV;
    if (strstr(name, "functions") != nullptr) return FILEIO_TEXT_FUNCTIONS;
    return FILEIO_TEXT_NONE;
}

static void parse_text_file(const char *path, const char *name, logic_condition_t *logics,
                            loco_info_t *loco_info, uint8_t update_flags) {
    const fileIO_text_kind_t kind = fileIO_textFileKind(name);
    if (kind == FILEIO_TEXT_NONE) return;
    if (kind == FILEIO_TEXT_CV && (update_flags & FILE_UPDATE_CV_FILE) == 0) return;
    char full[TEXT_PATH_LEN];
    int n = snprintf(full, sizeof full, "%s%s", path, name);
    if (strlen(name) > FILE_NAME_MAX_LEN || n < 0 || (size_t)n >= sizeof full) {
        ESP_LOGE(TAG, "Filepath is too big for %s", name);
        return;
    }
    switch (kind) {
        case FILEIO_TEXT_MAP:
            parseMapFile(full);
            break;
        case FILEIO_TEXT_LOGIC:
            if (logics != nullptr) parseLogicFile(full, logics);
            break;
        case FILEIO_TEXT_CV:
            parseCVFile(full);
            break;
        case FILEIO_TEXT_FUNCTIONS:
            if (loco_info != nullptr) parseFunctionsFile(full, loco_info);
            break;
        case FILEIO_TEXT_NONE:
            break;
    }
}

esp_err_t fileIO_parseFolder(const char *path, track_t *tracks, logic_condition_t *logics,
                             loco_info_t *loco_info, uint8_t update_flags) {
    track_t *table = tracks != nullptr ? tracks : ::tracks;
    for (int i = 0; i < MAX_TRACKS; i++) {
        if (table[i].rom != nullptr) table[i].rom->filepath[0] = 0;
    }

    DIR *dir = path != nullptr ? opendir(path) : nullptr;
    if (dir == nullptr) {
        ESP_LOGE(TAG, "Failed to stat dir");
        return ESP_FAIL;
    }
    ESP_LOGI(TAG, "Processing folder %s", path);

    int track_count = 0;
    struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr) {
        if (is_dir(entry, path)) continue;
        // The name is examined whole (a directory entry name is at most NAME_MAX characters):
        // a long name is refused where its path is built, never cut into a different name.
        const char *name = entry->d_name;
        const char *dot = strrchr(name, '.');
        if (dot == nullptr) {
            ESP_LOGW(TAG, "File without extention: %s", name);
            continue;
        }
        const char *ext = dot + 1;
        if (strcmp(ext, "txt") == 0) {
            parse_text_file(path, name, logics, loco_info, update_flags);
            continue;
        }
        if (strcmp(ext, "wav") != 0 && strcmp(ext, "ogg") != 0) {
            ESP_LOGW(TAG, "%s is not an audio file", name);
            continue;
        }

        char stem[NAME_MAX + 1];
        size_t stem_len = (size_t)(dot - name);
        if (stem_len >= sizeof stem) stem_len = sizeof stem - 1;
        memcpy(stem, name, stem_len);
        stem[stem_len] = 0;
        fileIO_name_info_t info;
        if (!fileIO_decodeFileName(stem, &info)) {
            ESP_LOGW(TAG, "Function is not defined in %s", name);
            continue;
        }
        // A name whose stored path does not fit still uses up its track id, with an empty entry.
        fill_track(table, path, name, (int8_t)info.func_id, info.variant_id, (int8_t)track_count, info.type,
                   info.delay_ms, info.speed, info.load, info.end_speed, info.period_ms);
        track_count++;
        if (track_count >= MAX_TRACKS) {
            ESP_LOGE(TAG, "Only %u files are supported", (unsigned)MAX_TRACKS);
            break;
        }
    }
    // The entries after the limit are neither loaded nor parsed. Name each of them, so that the
    // user learns which files of the folder were left out rather than only that some were.
    if (track_count >= MAX_TRACKS) {
        while ((entry = readdir(dir)) != nullptr) {
            if (is_dir(entry, path)) continue;
            ESP_LOGW(TAG, "%s skipped: only %u files are supported", entry->d_name, (unsigned)MAX_TRACKS);
        }
    }
    closedir(dir);
    return ESP_OK;
}
