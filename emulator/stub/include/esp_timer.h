// High-resolution timers (ESP-IDF interface) over a fixed table polled by the 1 ms tick.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "esp_err.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct esp_timer *esp_timer_handle_t;
typedef void (*esp_timer_cb_t)(void *arg);

typedef enum {
    ESP_TIMER_TASK = 0,
    ESP_TIMER_MAX = 1,
} esp_timer_dispatch_t;

typedef struct {
    esp_timer_cb_t callback;
    void *arg;
    esp_timer_dispatch_t dispatch_method;
    const char *name;
    bool skip_unhandled_events;
} esp_timer_create_args_t;

esp_err_t esp_timer_init(void);
// Microseconds since esp_timer_init().
int64_t esp_timer_get_time(void);
esp_err_t esp_timer_create(const esp_timer_create_args_t *create_args, esp_timer_handle_t *out_handle);
esp_err_t esp_timer_start_once(esp_timer_handle_t timer, uint64_t timeout_us);
esp_err_t esp_timer_start_periodic(esp_timer_handle_t timer, uint64_t period);
// Periodic timer whose first expiry is the absolute time `alarm` of the time base.
esp_err_t esp_timer_start_periodic_at(esp_timer_handle_t timer, uint64_t alarm, uint64_t period);
esp_err_t esp_timer_start_alarm(esp_timer_handle_t timer, uint64_t alarm);
esp_err_t esp_timer_stop(esp_timer_handle_t timer);
esp_err_t esp_timer_delete(esp_timer_handle_t timer);
bool esp_timer_is_active(esp_timer_handle_t timer);
esp_err_t esp_timer_get_expiry_time(esp_timer_handle_t timer, uint64_t *expiry);
// Runs every due timer callback; called once per millisecond by the tick.
void esp_timer_poll(void);
// The same as of the time `now_us` of the time base: the tick's catch-up runs each skipped
// millisecond with its own time, so a timer fires in the millisecond it was due in.
void esp_timer_poll_at(int64_t now_us);

#ifdef __cplusplus
}
#endif
