// Sound project files: the slot folder scan with the audio file-name grammar, the parsers of the
// four text files (functions, logic, CV, output mapping), folder creation and clearing, and the
// PID telemetry file. Log tag "FILE_IO".
//
// Malformed input policy, the same in every parser: a line, token or file name that cannot be
// read is logged (or skipped silently where a comment or blank line is expected) and never
// aborts the scan. A number that does not fit the field it is stored in is treated as absent,
// never wrapped into another value. Paths are built only in fixed buffers; an entry whose path
// does not fit is refused with "Filepath is too big for %s" instead of being cut short.
#pragma once

#include <dirent.h>
#include <stddef.h>
#include <stdint.h>

#include "esp_err.h"
#include "slot_data.h"

// ---- folder scan ----

// Scans the slot folder `path` (ending in "/"): every audio file becomes one entry of the track
// table reached through tracks[i].rom (track id = order in the host's directory listing, at most
// 100), every text file goes to its parser. Bit 0 of `update_flags` allows the CV file to be
// applied. Returns 0 when the folder opens, -1 when it cannot be opened.
esp_err_t fileIO_parseFolder(const char *path, track_t *tracks, logic_condition_t *logics,
                             loco_info_t *loco_info, uint8_t update_flags);

// Stores one decoded audio file into entry `int_id` of the engine's track table (through
// tracks[int_id].rom; the folder scan fills the table it was given the same way). A speed, load
// or end speed of -1, or one outside the int8 range, means absent. Returns false when the stored path "path +
// name" does not fit (entry left empty).
bool fill_track_info(const char *path, const char *name, int8_t func_id, int8_t variant_id, int8_t int_id,
                     play_type_t note_type, int16_t delay_ms, int16_t speed, int16_t load, int16_t end_speed,
                     uint32_t period_ms);

// True when the entry must be skipped as a folder: `path` + name is a directory, cannot be
// examined with stat, or does not fit the 260-character path buffer.
bool is_dir(struct dirent *entry, const char *path);

// Sum of the sizes of the files directly inside `path` (ending in "/"); 0xFFFFFFFF when the folder
// cannot be opened.
uint32_t fileIO_getFolderSize(const char *path);

// The values one audio file name encodes. func_id 0..255; -1 means absent for variant_id, speed,
// load and end_speed; 0 means absent for delay_ms and period_ms.
typedef struct {
    uint8_t func_id;
    int8_t variant_id;
    play_type_t type;
    int16_t delay_ms;
    int16_t speed;
    int16_t load;
    int16_t end_speed;
    uint32_t period_ms;
} fileIO_name_info_t;

// Decodes an audio file name with its extension already removed (any letter case). Returns
// false when the name does not start with an F-token whose function number fits 0..255.
bool fileIO_decodeFileName(const char *stem, fileIO_name_info_t *info);

// ---- text files ----

typedef enum {
    FILEIO_TEXT_NONE = 0,
    FILEIO_TEXT_MAP,
    FILEIO_TEXT_LOGIC,
    FILEIO_TEXT_CV,
    FILEIO_TEXT_FUNCTIONS,
} fileIO_text_kind_t;

// The parser the name of a .txt file selects: the first of "map", "logic", "cv", "functions"
// that the name contains (case-sensitive, anywhere, extension included); NONE for any other name.
fileIO_text_kind_t fileIO_textFileKind(const char *name);

// Functions file: vehicle type and name ("2:Shunter") and function codes ("F1:8M:Horn").
void parseFunctionsFile(const char *path, loco_info_t *locomotive);
// One key line of the functions file, "F<number>:<code>:<label>" ("F2:8M:Horn"), as the parser
// reads it: the number as written (not range-checked), the code (1..7 characters up to the next
// ':', into code[8]) and the label (its first word of at most 31 characters, into label[32]).
// False, without a log line, when one of the three is missing.
bool fileIO_scanFunctionLine(const char *line, long *number, char *code, char *label);
// Logic file: one condition per line into logic[0..31].rom.
void parseLogicFile(const char *path, logic_condition_t *logic);
// One logic line into logic_item->rom; cuts `str` in place. 0 accepted, -1 rejected.
int parseLogicLine(char *str, logic_condition_t *logic_item);
// CV file: lines "cv<number>=<value>" applied to the CV store in one batch.
void parseCVFile(const char *path);
// Mapping file: output-to-function lines written into the mapping CVs 280..403.
void parseMapFile(const char *path);
// One mapping line into the working table (entries F0..F30, [0] forward, [1] reverse masks);
// cuts `str` in place.
void parseOutputsMap(char *str, uint16_t (*functionsMap)[2]);
// Mapping CV 280 + offset (offset 0..123) from the working table; 0 for any other offset.
uint8_t getCVValue(uint16_t (*map)[2], int offset);

// Functions of the mapping file's working table (F0..F30).
#define FILEIO_MAP_FUNCTIONS 31
#define FILEIO_MAP_FIRST_CV 280
#define FILEIO_MAP_CV_COUNT 124

// ---- folder utilities and telemetry ----

// Creates data/1, data/2 and data/3 under the working directory, once: nothing is created when
// data/3 exists already. The parent "data" must exist. Always 0.
esp_err_t fileIO_createFolders(void);
// Deletes every file directly inside `path` (ending in "/"); subfolders are left alone.
// -1 when `path` is absent, else 0.
esp_err_t fileIO_clearFolder(const char *path);
void clear_folder(const char *path);

// Copies the three series of `len` bytes and writes them to data/Watch1.log from a new task
// "save_pid"; returns at once. 0x101 out of memory, 0x102 a series is absent, -1 no task.
esp_err_t fileIO_save_pid_telemetry(const uint8_t *emf, const uint8_t *req, const uint8_t *pwm, size_t len);
// The body of the "save_pid" task; owns and frees its job.
void save_telemetry_task(void *pvParameters);
