// Levelled, tagged logging (ESP-IDF interface). Every message is one line:
// "<letter> (<ms>) <tag>: <text>".
#pragma once

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    ESP_LOG_NONE = 0,
    ESP_LOG_ERROR = 1,
    ESP_LOG_WARN = 2,
    ESP_LOG_INFO = 3,
    ESP_LOG_DEBUG = 4,
    ESP_LOG_VERBOSE = 5,
} esp_log_level_t;

typedef int (*vprintf_like_t)(const char *, va_list);

void esp_log_level_set(const char *tag, esp_log_level_t level);
esp_log_level_t esp_log_level_get(const char *tag);
// Swaps the output function; returns the previous one.
vprintf_like_t esp_log_set_vprintf(vprintf_like_t func);
uint32_t esp_log_timestamp(void);
void esp_log_write(esp_log_level_t level, const char *tag, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
void esp_log_writev(esp_log_level_t level, const char *tag, const char *format, va_list args);

#ifdef __cplusplus
}
#endif

#define ESP_LOG_FORMAT(letter, format) #letter " (%u) %s: " format "\n"

#define ESP_LOG_LEVEL_LINE(level, letter, tag, format, ...)                                       \
    esp_log_write(level, tag, ESP_LOG_FORMAT(letter, format), (unsigned)esp_log_timestamp(), tag, \
                  ##__VA_ARGS__)

#define ESP_LOGE(tag, format, ...) ESP_LOG_LEVEL_LINE(ESP_LOG_ERROR, E, tag, format, ##__VA_ARGS__)
#define ESP_LOGW(tag, format, ...) ESP_LOG_LEVEL_LINE(ESP_LOG_WARN, W, tag, format, ##__VA_ARGS__)
#define ESP_LOGI(tag, format, ...) ESP_LOG_LEVEL_LINE(ESP_LOG_INFO, I, tag, format, ##__VA_ARGS__)
#define ESP_LOGD(tag, format, ...) ESP_LOG_LEVEL_LINE(ESP_LOG_DEBUG, D, tag, format, ##__VA_ARGS__)
#define ESP_LOGV(tag, format, ...) ESP_LOG_LEVEL_LINE(ESP_LOG_VERBOSE, V, tag, format, ##__VA_ARGS__)
