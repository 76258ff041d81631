// The timer service (esp_timer): a fixed table of 200 entries polled by the 1 ms tick on the
// tick thread. Start, stop, create and delete come from any thread, so each entry's
// read-modify-write happens under the table lock; callbacks always run outside it.
#include <mutex>

#include "esp_log.h"
#include "esp_timer.h"
#include "stub.h"

static const char *TAG = "esp_timer";

// Due times are kept in 64 bits on the platform clock, so they never wrap: a periodic timer
// keeps its rhythm past the 32-bit microsecond wrap (about 71.6 minutes of run time).
struct esp_timer {
    esp_timer_create_args_t args;
    uint64_t time_us;    // absolute due time; meaningful while armed
    uint64_t period_us;  // 0 = one-shot
    bool armed;
    bool in_use;
    bool deleted;  // deleted while armed: released once it is no longer armed
};

static esp_timer s_timers[STUB_TIMER_TABLE_SIZE];
static int s_timers_pos;  // entries ever handed out (the poll scans 0 .. s_timers_pos-1)
static std::mutex s_timers_mutex;
// At or before the earliest due time of any armed entry (a stopped entry may leave it early,
// never late). The poll runs every millisecond and a timer is due far more rarely: a poll
// before this moment has nothing to fire and returns after one look instead of locking every
// entry of the table in turn.
static uint64_t s_earliest_due = UINT64_MAX;

static bool timer_is_handed_out(esp_timer_handle_t h) {
    return h >= &s_timers[0] && h < &s_timers[s_timers_pos] && h->in_use;
}

// Called with the lock held, when an entry stops being armed.
static void timer_release_if_deleted(esp_timer *t) {
    if (t->deleted && !t->armed) {
        t->in_use = false;
        t->deleted = false;
    }
}

esp_err_t esp_timer_create(const esp_timer_create_args_t *create_args, esp_timer_handle_t *out_handle) {
    if (create_args == nullptr || out_handle == nullptr) return ESP_ERR_INVALID_ARG;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    // Re-creating through the same handle variable keeps the existing timer.
    if (timer_is_handed_out(*out_handle)) return ESP_OK;
    esp_timer *t = nullptr;
    for (int i = 0; i < s_timers_pos; i++) {
        if (!s_timers[i].in_use) {
            t = &s_timers[i];
            break;
        }
    }
    if (t == nullptr) {
        if (s_timers_pos >= STUB_TIMER_TABLE_SIZE) {
            *out_handle = nullptr;
            ESP_LOGE(TAG, "Timer table is full (%d entries), timer '%s' not created", STUB_TIMER_TABLE_SIZE,
                     create_args->name ? create_args->name : "");
            return ESP_ERR_NO_MEM;
        }
        t = &s_timers[s_timers_pos++];
    }
    t->args = *create_args;
    t->time_us = 0;
    t->period_us = 0;
    t->armed = false;
    t->deleted = false;
    t->in_use = true;
    *out_handle = t;
    return ESP_OK;
}

static esp_err_t timer_arm(esp_timer_handle_t timer, uint64_t due_us, uint64_t period_us, bool set_period) {
    if (timer == nullptr) return ESP_FAIL;
    {
        std::lock_guard<std::mutex> lock(s_timers_mutex);
        timer->time_us = due_us;
        if (set_period) timer->period_us = period_us;
        timer->armed = true;
        if (due_us < s_earliest_due) s_earliest_due = due_us;
    }
    // The tick loop may be asleep until a later moment.
    stub_tick_wake();
    return ESP_OK;
}

esp_err_t esp_timer_start_once(esp_timer_handle_t timer, uint64_t timeout_us) {
    return timer_arm(timer, (uint64_t)esp_timer_get_time() + timeout_us, 0, true);
}

esp_err_t esp_timer_start_periodic(esp_timer_handle_t timer, uint64_t period) {
    return timer_arm(timer, (uint64_t)esp_timer_get_time() + period, period, true);
}

esp_err_t esp_timer_start_periodic_at(esp_timer_handle_t timer, uint64_t alarm, uint64_t period) {
    return timer_arm(timer, alarm, period, true);
}

esp_err_t esp_timer_start_alarm(esp_timer_handle_t timer, uint64_t alarm) {
    return timer_arm(timer, alarm, 0, false);
}

esp_err_t esp_timer_stop(esp_timer_handle_t timer) {
    if (timer == nullptr) return ESP_FAIL;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    timer->period_us = 0;
    timer->time_us = 0;
    timer->armed = false;
    timer_release_if_deleted(timer);
    return ESP_OK;
}

// An armed timer keeps firing after delete (callers stop it first when it must not fire);
// an entry that is not armed is released for reuse.
esp_err_t esp_timer_delete(esp_timer_handle_t timer) {
    if (timer == nullptr) return ESP_OK;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    if (!timer_is_handed_out(timer)) return ESP_OK;
    timer->deleted = true;
    timer_release_if_deleted(timer);
    return ESP_OK;
}

bool esp_timer_is_active(esp_timer_handle_t timer) {
    if (timer == nullptr) return false;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    return timer->armed;
}

esp_err_t esp_timer_get_expiry_time(esp_timer_handle_t timer, uint64_t *expiry) {
    if (timer == nullptr || expiry == nullptr) return ESP_FAIL;
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    *expiry = timer->armed ? timer->time_us : 0;
    return ESP_OK;
}

void esp_timer_poll(void) {
    esp_timer_poll_at(esp_timer_get_time());
}

void esp_timer_poll_at(int64_t now_us) {
    const uint64_t now = (uint64_t)now_us;
    {
        std::lock_guard<std::mutex> lock(s_timers_mutex);
        if (now < s_earliest_due) return;
        // Worked out again over this pass: every entry adds its due time as the pass leaves it,
        // and an entry armed meanwhile (by a callback, or another thread) adds its own.
        s_earliest_due = UINT64_MAX;
    }
    for (int i = 0;; i++) {
        esp_timer_cb_t callback;
        void *arg;
        {
            std::lock_guard<std::mutex> lock(s_timers_mutex);
            // Re-read the count at every step: a timer created by a callback is polled in this pass.
            if (i >= s_timers_pos) break;
            esp_timer *t = &s_timers[i];
            if (!t->in_use || !t->armed) continue;
            if (now < t->time_us) {
                if (t->time_us < s_earliest_due) s_earliest_due = t->time_us;
                continue;
            }
            // Re-arm before the call, so that the callback may stop or re-arm its own timer.
            if (t->period_us != 0) {
                t->time_us += t->period_us;
            } else {
                t->armed = false;
                t->time_us = 0;
            }
            if (t->armed && t->time_us < s_earliest_due) s_earliest_due = t->time_us;
            callback = t->args.callback;
            arg = t->args.arg;
            timer_release_if_deleted(t);
        }
        if (callback != nullptr) callback(arg);
    }
}

int64_t stub_timer_next_due_us() {
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    uint64_t due = (uint64_t)STUB_FOREVER;
    for (int i = 0; i < s_timers_pos; i++) {
        const esp_timer &t = s_timers[i];
        if (t.in_use && t.armed && t.time_us < due) due = t.time_us;
    }
    return (int64_t)due;
}

int stub_timer_entries_in_use() {
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    int n = 0;
    for (int i = 0; i < s_timers_pos; i++)
        n += s_timers[i].in_use ? 1 : 0;
    return n;
}

void stub_timer_reset_all() {
    std::lock_guard<std::mutex> lock(s_timers_mutex);
    for (auto &t : s_timers)
        t = esp_timer{};
    s_timers_pos = 0;
    s_earliest_due = UINT64_MAX;
}
