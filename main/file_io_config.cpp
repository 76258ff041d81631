// The slot folder's text files: functions, logic conditions, CV values and the output mapping.
//
// Every parser reads lines with fgets into a fixed buffer (a longer line is read as several
// lines) and checks each field itself instead of trusting sscanf with numbers that may overflow:
// a number that does not fit its field counts as absent.
#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "file_io.h"
#include "file_io_private.h"
#include "memory.h"

static const char *TAG = FILEIO_TAG;

#define FUNCTIONS_LINE_LEN 150
#define LINE_LEN 100
#define CV_COUNT 512

static bool is_blank(char c) {
    return isspace((unsigned char)c) != 0;
}

// Opens a configuration file after the line "Parsing <kind> file". Without a path, without a
// record to parse into (`has_target` false) or when the file cannot be opened: logs the error
// and gives null.
static FILE *open_config_file(const char *path, const char *kind, bool has_target) {
    ESP_LOGI(TAG, "Parsing %s file", kind);
    FILE *f = (path != nullptr && has_target) ? fopen(path, "r") : nullptr;
    if (f == nullptr) ESP_LOGE(TAG, "Could not open file %s", path != nullptr ? path : "(null)");
    return f;
}

// ---------------------------------------------------------------- functions file

// Reads "%d" as the C scanner does (blanks, optional sign, digits) into *value; an overflowing
// number saturates, which every caller treats as out of range. Returns false without digits.
static bool scan_int(const char **s, long *value) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(*s, &end, 10);
    if (end == *s) return false;
    *value = v;
    *s = end;
    return true;
}

// Reads "%<width>s": skips blanks, then 1..width non-blank characters into out.
static bool scan_word(const char **s, char *out, size_t width) {
    const char *p = *s;
    while (is_blank(*p))
        p++;
    size_t n = 0;
    while (n < width && p[n] != 0 && !is_blank(p[n]))
        n++;
    if (n == 0) return false;
    memcpy(out, p, n);
    out[n] = 0;
    *s = p + n;
    return true;
}

// The line pattern "F%d:%7[^:]:%31s".
bool fileIO_scanFunctionLine(const char *s, long *number, char *code, char *name) {
    if (*s++ != 'F') return false;
    if (!scan_int(&s, number)) return false;
    if (*s++ != ':') return false;
    size_t n = 0;
    while (n < 7 && s[n] != 0 && s[n] != ':')
        n++;
    if (n == 0) return false;
    memcpy(code, s, n);
    code[n] = 0;
    s += n;
    if (*s++ != ':') return false;
    return scan_word(&s, name, 31);
}

static void parse_function_line(const char *line, loco_info_t *locomotive) {
    long number = 0;
    char code[8];
    char name[32];
    if (!fileIO_scanFunctionLine(line, &number, code, name)) {
        ESP_LOGE(TAG, "Scanf error line='%s'", line);
        return;
    }
    if (number < 0 || number >= MAX_FUNCTIONS) return;
    uint16_t entry = 0;
    char *m = strchr(code, 'M');
    if (m != nullptr) {
        *m = 0;
        entry = 0x1000;
    }
    // A code that does not fit 16 bits (or is negative) adds nothing rather than a wrapped value.
    long value;
    if (fileio_read_number(code, 0, UINT16_MAX, &value, nullptr)) entry |= (uint16_t)value;
    locomotive->functions[number] = entry;
}

// "%d:%31s": vehicle type and name. Lines that do not match are comments or blank.
static void parse_type_line(const char *line, loco_info_t *locomotive) {
    const char *s = line;
    long type;
    char name[32];
    if (!scan_int(&s, &type) || *s++ != ':' || !scan_word(&s, name, 31)) return;
    // A type outside 0..255 does not fit the field: the line counts as not matching.
    if (type < 0 || type > UINT8_MAX) return;
    locomotive->type = (uint8_t)type;
    memset(locomotive->name, 0, sizeof locomotive->name);
    memcpy(locomotive->name, name, strlen(name));
}

void parseFunctionsFile(const char *path, loco_info_t *locomotive) {
    FILE *f = open_config_file(path, "functions", locomotive != nullptr);
    if (f == nullptr) return;
    memset(locomotive, 0, sizeof *locomotive);
    char line[FUNCTIONS_LINE_LEN];
    while (fgets(line, sizeof line, f) != nullptr) {
        char *lf = strchr(line, '\n');
        if (lf != nullptr) *lf = 0;
        if (line[0] == 'F') {
            parse_function_line(line, locomotive);
        } else {
            parse_type_line(line, locomotive);
        }
    }
    fclose(f);
    ESP_LOGI(TAG, "Loaded loco info Name='%s'", locomotive->name);
}

// ---------------------------------------------------------------- logic file

// Keyword of each logic_type_t, indexed by its value.
static const char *const LOGIC_KEYWORDS[] = {
    "",         "ACC",     "DCL", "ACCDCL", "START",  "STOP",     "ESTOP",   "BLOCK",
    "BLOCKDRV", "ON",      "OFF", "ONOFF",  "VOL",    "VOLSPD",   "VOLLOAD", "SPD",
    "LOAD",     "MINLOAD", "DIM", "DIMOUT", "RANDOM", "TOGETHER", "FAN",
};
static_assert(sizeof LOGIC_KEYWORDS / sizeof LOGIC_KEYWORDS[0] == LOGIC_MAX, "one keyword per logic kind");

static const char *logic_keyword(logic_type_t type) {
    return (type >= 0 && type < LOGIC_MAX) ? LOGIC_KEYWORDS[type] : "";
}

// Splits at the next "_" (every one: two in a row give an empty token).
static char *next_token(char **rest) {
    char *token = *rest;
    char *sep = strchr(token, '_');
    if (sep != nullptr) {
        *sep = 0;
        *rest = sep + 1;
    } else {
        *rest = nullptr;
    }
    return token;
}

// Ids of functions and inputs (input n is 99 + n) must fit the int8 id fields as non-negative
// values; anything else counts as absent.
static bool read_id(const char *token, long *id, const char **after) {
    long offset = token[0] == 'I' ? 99 : 0;
    long v;
    if (!fileio_read_number(token + 1, 0, INT8_MAX - offset, &v, after)) return false;
    *id = v + offset;
    return true;
}

// The parameter rule of one token (after its kind was looked up).
static void apply_logic_param(const char *token, logic_condition_rom_t *r, bool *explicit_duration) {
    if (strcmp(token, "INSTOP") == 0) {
        r->flags |= 1;
        return;
    }
    if (strcmp(token, "INMOVE") == 0) {
        r->flags |= 2;
        return;
    }
    const char *num = token + 1;
    long v;
    switch (token[0]) {
        case 'L':
            if (fileio_read_number(num, INT32_MIN, INT32_MAX, &v, nullptr)) {
                r->duration_ms = (int32_t)v;
            } else if (strcmp(token, "LON") == 0) {
                r->duration_ms = 0;
                *explicit_duration = true;
            } else if (strcmp(token, "LOFF") == 0) {
                r->duration_ms = -1;
                *explicit_duration = true;
            }
            break;
        case 'D':
            if (fileio_read_number(num, 0, UINT32_MAX, &v, nullptr)) r->delay_ms = (uint32_t)v;
            break;
        case 'E':
        case 'K':
            if (fileio_read_number(num, 0, UINT16_MAX, &v, nullptr)) r->param2 = (uint16_t)v;
            break;
        case 'R':
        case 'V':
        case 'S':
            if (fileio_read_number(num, 0, UINT16_MAX, &v, nullptr)) r->param = (uint16_t)v;
            break;
        case 'F':
        case 'I':
            if (read_id(token, &v, nullptr)) {
                if (r->type == LOGIC_NONE) r->type = LOGIC_REPEATS_ON;
                r->trigger_id = (int8_t)v;
            }
            break;
        case 'O':
            if (fileio_read_number(num, 0, INT8_MAX, &v, nullptr)) {
                if (r->type == LOGIC_DIMM) {
                    r->type = LOGIC_DIMM_OUTPUT;
                    r->trigger_id = (int8_t)v;
                } else {
                    ESP_LOGW(TAG, "Unknown parameter '%c' for type %s", token[0], logic_keyword(r->type));
                }
            }
            break;
        default:
            break;
    }
}

static bool logic_needs_duration(logic_type_t type) {
    switch (type) {
        case LOGIC_ACCEL:
        case LOGIC_DECEL:
        case LOGIC_ACCDCL:
        case LOGIC_START:
        case LOGIC_STOP:
        case LOGIC_ESTOP:
        case LOGIC_REPEATS_ON:
        case LOGIC_REPEATS_OFF:
        case LOGIC_REPEATS_BOTH:
        case LOGIC_RANDOM:
            return true;
        default:
            return false;
    }
}

int parseLogicLine(char *str, logic_condition_t *logic_item) {
    if (str == nullptr || logic_item == nullptr || logic_item->rom == nullptr) return -1;
    logic_condition_rom_t *r = logic_item->rom;
    char *rest = str;
    char *first = next_token(&rest);
    if (first[0] != 'F' && first[0] != 'I') {
        ESP_LOGW(TAG, "Function is not defined in %s", first);
        return -1;
    }
    // An empty number is function 0 (or input 0); a number that does not fit an id leaves the
    // line without a function.
    long func_id = first[0] == 'I' ? 99 : 0;
    const char *after = nullptr;
    if (!read_id(first, &func_id, &after) && after != first + 1) {
        ESP_LOGW(TAG, "Function is not defined in %s", first);
        return -1;
    }

    memset(r, 0, sizeof *r);
    r->func_id = (int8_t)func_id;
    r->trigger_id = -1;
    bool explicit_duration = false;
    while (rest != nullptr) {
        char *token = next_token(&rest);
        for (int k = 0; k < LOGIC_MAX; k++) {
            if (strcmp(token, LOGIC_KEYWORDS[k]) == 0) {
                r->type = (logic_type_t)k;
                break;
            }
        }
        apply_logic_param(token, r, &explicit_duration);
    }

    if ((r->flags & 3) == 0) r->flags |= 3;
    switch (r->type) {
        case LOGIC_BLOCK:
        case LOGIC_VOLUME:
        case LOGIC_MIN_LOAD:
        case LOGIC_DIMM:
        case LOGIC_DIMM_OUTPUT:
        case LOGIC_TOGETHER: {
            // The leading function triggers; the F/I/O parameter names the target.
            int8_t t = r->func_id;
            r->func_id = r->trigger_id;
            r->trigger_id = t;
            break;
        }
        default:
            break;
    }
    if (r->type == LOGIC_BLOCK || r->type == LOGIC_BLOCK_DRV || r->type == LOGIC_TOGETHER) r->param = 0xFFFF;
    if (r->param == 0) {
        switch (r->type) {
            case LOGIC_START:
            case LOGIC_STOP:
            case LOGIC_ESTOP:
            case LOGIC_REPEATS_ON:
            case LOGIC_REPEATS_OFF:
            case LOGIC_REPEATS_BOTH:
                r->param = 1;
                break;
            default:
                break;
        }
    }

    unsigned id = (uint8_t)r->func_id;
    if (r->type == LOGIC_NONE) {
        ESP_LOGE(TAG, "Type is not defined in logic condition F%u", id);
        return -1;
    }
    if (r->duration_ms == 0 && logic_needs_duration(r->type) && !explicit_duration) {
        ESP_LOGE(TAG, "Function duration is 0 in logic condition F%u", id);
        r->type = LOGIC_NONE;
        return -1;
    }
    if (r->func_id == r->trigger_id) {
        ESP_LOGE(TAG, "Function id and trigger id could not be the same in logic condition F%u", id);
        r->type = LOGIC_NONE;
        return -1;
    }
    return 0;
}

void parseLogicFile(const char *path, logic_condition_t *logic) {
    FILE *f = open_config_file(path, "logic", logic != nullptr);
    if (f == nullptr) return;
    unsigned count = 0;
    char line[LINE_LEN];
    while (fgets(line, sizeof line, f) != nullptr) {
        line[strcspn(line, "\r\n")] = 0;
        if (line[0] == 0) continue;
        if (parseLogicLine(line, &logic[count]) == 0) count++;
        if (count >= MAX_LOGICS) {
            ESP_LOGE(TAG, "Only %u logic conditions are allowed", (unsigned)MAX_LOGICS);
            break;
        }
    }
    fclose(f);
}

// ---------------------------------------------------------------- CV file

// "%u" as the C scanner reads it, limited to values an unsigned int holds: a negative or
// overflowing number does not fit and makes the line unreadable.
static bool scan_uint(const char **s, unsigned long *value) {
    const char *p = *s;
    while (is_blank(*p))
        p++;
    if (*p == '-') return false;
    const char *end = nullptr;
    long v;
    if (!fileio_read_number(p, 0, UINT_MAX, &v, &end)) return false;
    *value = (unsigned long)v;
    *s = end;
    return true;
}

void parseCVFile(const char *path) {
    FILE *f = open_config_file(path, "CV", true);
    if (f == nullptr) return;
    Memory_Start();
    char line[LINE_LEN];
    while (fgets(line, sizeof line, f) != nullptr) {
        // The line is expected to start with "cv"; the numbers are read from its third character.
        if (strstr(line, "cv") == nullptr) continue;
        const char *s = line + 2;
        unsigned long cv, value;
        if (!scan_uint(&s, &cv) || *s++ != '=' || !scan_uint(&s, &value)) continue;
        if (cv >= CV_COUNT) continue;
        // A CV holds one byte: the value's low 8 bits are stored (cv7=300 stores 44) and the
        // value is logged as written in the file.
        Memory_SaveU8((uint16_t)cv, (uint8_t)(value & 0xFF));
        ESP_LOGW(TAG, "Applied CV%u=%u", (unsigned)cv, (unsigned)value);
    }
    Memory_Finish();
    fclose(f);
}

// ---------------------------------------------------------------- mapping file

// Output bit index of a designation, or -1 when the line maps nothing.
static int output_bit(const char *designation) {
    bool aux = strstr(designation, "AUX") != nullptr;
    long output = 0;
    if (!aux) {
        if (strstr(designation, "F0_F") != nullptr) return 0;
        if (strstr(designation, "F0_R") != nullptr) return 1;
        if (strstr(designation, "DAT") != nullptr) return 9;
        if (strstr(designation, "CLK") != nullptr) return 10;
    }
    const char *p = designation;
    while (*p != 0 && !isdigit((unsigned char)*p))
        p++;
    // Output numbers whose bit falls outside the 16-bit masks (and the number 0) map nothing;
    // such bits are never used as a shift count.
    if (!fileio_read_number(p, 1, aux ? 14 : 16, &output, nullptr)) return -1;
    if (aux) output += 2;
    return (int)output - 1;
}

void parseOutputsMap(char *str, uint16_t (*functionsMap)[2]) {
    if (str == nullptr || functionsMap == nullptr) return;
    char *colon = strchr(str, ':');
    if (colon == nullptr) return;
    *colon = 0;
    int bit = output_bit(str);
    if (bit < 0) return;
    uint16_t mask = (uint16_t)(1u << bit);

    char *rest = colon + 1;
    while (rest != nullptr) {
        char *item = rest;
        char *comma = strchr(item, ',');
        if (comma != nullptr) {
            *comma = 0;
            rest = comma + 1;
        } else {
            rest = nullptr;
        }
        bool fwd_mark = strchr(item, '>') != nullptr;
        bool rev_mark = strchr(item, '<') != nullptr;
        const char *p = item;
        while (*p != 0 && !isdigit((unsigned char)*p))
            p++;
        // The table holds F0..F30, the functions the mapping CVs have room for: larger function
        // numbers are ignored.
        long f;
        if (!fileio_read_number(p, 0, FILEIO_MAP_FUNCTIONS - 1, &f, nullptr)) continue;
        if (fwd_mark || !rev_mark) functionsMap[f][0] |= mask;
        if (rev_mark || !fwd_mark) functionsMap[f][1] |= mask;
    }
}

uint8_t getCVValue(uint16_t (*map)[2], int offset) {
    if (map == nullptr || offset < 0 || offset >= FILEIO_MAP_CV_COUNT) return 0;
    int i = offset % (2 * FILEIO_MAP_FUNCTIONS);
    uint16_t mask = map[i / 2][i % 2];
    return offset < 2 * FILEIO_MAP_FUNCTIONS ? (uint8_t)(mask & 0xFF) : (uint8_t)(mask >> 8);
}

void parseMapFile(const char *path) {
    uint16_t table[FILEIO_MAP_FUNCTIONS][2] = {};
    FILE *f = open_config_file(path, "mapping", true);
    if (f == nullptr) return;
    char line[LINE_LEN];
    while (fgets(line, sizeof line, f) != nullptr)
        parseOutputsMap(line, table);

    Memory_Start();
    for (int offset = 0; offset < FILEIO_MAP_CV_COUNT; offset++) {
        uint8_t value = getCVValue(table, offset);
        uint16_t cv = (uint16_t)(FILEIO_MAP_FIRST_CV + offset);
        if (Memory_LoadU8(cv) != value) {
            ESP_LOGI(TAG, "Updating mapping CV%u to 0x%x", (unsigned)cv, (unsigned)value);
            Memory_SaveU8(cv, value);
        }
    }
    Memory_Finish();
    fclose(f);
}
