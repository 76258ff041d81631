// The tick loop that sleeps until the next due moment must run the same ticks, with the same
// millisecond counts, as a loop that wakes every millisecond: the same scenario runs both ways
// and every timer and callback must fire at the same firmware time.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "callback.h"
#include "emulator.h"
#include "esp_timer.h"
#include "freertos/task.h"
#include "test_support.h"

namespace {

using Event = std::pair<uint32_t, int>;  // firmware time relative to the run's start, probe id

std::vector<Event> g_events;
uint32_t g_origin;
int g_callback_step;

void record(int id) {
    g_events.emplace_back(Time() - g_origin, id);
}

void timer_probe(void *arg) {
    record((int)(intptr_t)arg);
}

// A callback slot that re-arms itself with an irregular rhythm, as the movement and output
// handlers do with theirs.
void callback_probe() {
    record(100);
    static const uint32_t delays[] = {3, 17, 1, 9, 30, 2};
    if (g_callback_step < 40) Callback_SetDelay(POWEROFF_INDEX, delays[g_callback_step++ % 6]);
}

struct Probes {
    esp_timer_handle_t periodic7 = nullptr, sound_tick = nullptr, once = nullptr, late = nullptr;

    esp_timer_handle_t make(int id) {
        esp_timer_create_args_t args = {};
        args.callback = timer_probe;
        args.arg = (void *)(intptr_t)id;
        args.name = "probe";
        esp_timer_handle_t h = nullptr;
        EXPECT_EQ(esp_timer_create(&args, &h), ESP_OK);
        return h;
    }
    void start() {
        periodic7 = make(1);
        sound_tick = make(2);
        once = make(3);
        late = make(4);
        esp_timer_start_periodic(periodic7, 7000);
        esp_timer_start_periodic(sound_tick, 100000);
        esp_timer_start_once(once, 23400);  // between two milliseconds: fires in the 24th
        g_callback_step = 0;
        Callback_SetHandler(POWEROFF_INDEX, callback_probe);
        Callback_SetDelay(POWEROFF_INDEX, 5);
    }
    // What another thread does mid-run: arms a timer and moves the callback slot forward.
    void interfere() {
        esp_timer_start_once(late, 4000);
        Callback_SetDelay(POWEROFF_INDEX, 2);
    }
    ~Probes() {
        for (auto h : {periodic7, sound_tick, once, late}) {
            esp_timer_stop(h);
            esp_timer_delete(h);
        }
        Callback_CancelDelay(POWEROFF_INDEX);
        Callback_SetHandler(POWEROFF_INDEX, nullptr);
    }
};

constexpr int64_t RUN_MS = 700;
constexpr int64_t INTERFERE_AT_MS = 333;

// The reference: the clock moves one millisecond at a time and the hook runs every time.
std::vector<Event> run_every_millisecond(ManualClock &clock) {
    g_events.clear();
    vApplicationTickHook();
    g_origin = Time();
    Probes probes;
    probes.start();
    for (int64_t ms = 1; ms <= RUN_MS; ms++) {
        clock.advance_ms(1);
        vApplicationTickHook();
        if (ms == INTERFERE_AT_MS) probes.interfere();
    }
    return g_events;
}

// The sleeping loop: the clock jumps to the deadline the application gives, or to the moment
// of the interference if that comes first; returns the events and counts the wake-ups.
std::vector<Event> run_sleeping(int64_t start_us, int *wakeups) {
    g_events.clear();
    vApplicationTickHook();
    g_origin = Time();
    Probes probes;
    probes.start();
    const int64_t end_us = start_us + RUN_MS * 1000;
    const int64_t interfere_us = start_us + INTERFERE_AT_MS * 1000;
    bool interfered = false;
    *wakeups = 0;
    while (esp_timer_get_time() < end_us) {
        vApplicationTickHook();
        const uint32_t seen = stub_tick_wakeups();
        int64_t due = vApplicationTickDueUs();
        EXPECT_GT(due, esp_timer_get_time() - 1000) << "a deadline in the past would spin";
        if (!interfered && due > interfere_us) {
            stub_clock_set_us(interfere_us);
            vApplicationTickHook();
            probes.interfere();
            interfered = true;
            // The arm woke the loop: it does not sleep through to the old deadline.
            EXPECT_TRUE(stub_tick_wait_until(due, seen));
            continue;
        }
        const int64_t until = due < end_us ? due : end_us;
        stub_clock_set_us(until);
        EXPECT_FALSE(stub_tick_wait_until(until, stub_tick_wakeups()));
        ++*wakeups;
    }
    vApplicationTickHook();
    return g_events;
}

TEST(TickLoop, SleepingUntilTheNextDueTickRunsTheSameTicksAsWakingEveryMillisecond) {
    ManualClock clock(7'000'000);
    const std::vector<Event> reference = run_every_millisecond(clock);
    // Sanity of the reference: each probe fired, the late arm among them.
    for (int id : {1, 2, 3, 4, 100})
        EXPECT_TRUE(
            std::any_of(reference.begin(), reference.end(), [id](const Event &e) { return e.second == id; }))
            << "probe " << id;
    EXPECT_TRUE(std::find(reference.begin(), reference.end(), Event{24, 3}) != reference.end());
    EXPECT_TRUE(std::find(reference.begin(), reference.end(), Event{INTERFERE_AT_MS + 4, 4}) !=
                reference.end());

    clock.advance_ms(1000);
    int wakeups = 0;
    const std::vector<Event> sleeping = run_sleeping(esp_timer_get_time(), &wakeups);
    EXPECT_EQ(sleeping, reference);
    // It slept: far fewer wake-ups than milliseconds (the 10 ms speed repeat alone needs 70).
    EXPECT_LT(wakeups, RUN_MS / 3);
    EXPECT_GE(wakeups, RUN_MS / 10);
}

TEST(TickLoop, NextDueTimeIsTheNearestOfSpeedRepeatCallbackAndTimer) {
    ManualClock clock(20'000'000);
    vApplicationTickHook();
    clock.advance_ms(1);
    vApplicationTickHook();
    // With nothing armed, the next work is the speed repeat on the 10 ms grid of the counter.
    const int64_t now_us = esp_timer_get_time();
    const uint32_t to_repeat = 10 - Time() % 10;
    EXPECT_EQ(vApplicationTickDueUs(), now_us + to_repeat * 1000);

    Callback_SetChangeHook(stub_tick_wake);
    Callback_SetHandler(POWEROK_INDEX, [] {});
    uint32_t seen = stub_tick_wakeups();
    Callback_SetDelay(POWEROK_INDEX, 1);
    EXPECT_NE(stub_tick_wakeups(), seen) << "scheduling a callback wakes the loop";
    Callback_SetChangeHook(nullptr);
    EXPECT_EQ(vApplicationTickDueUs(), now_us + 1000) << "a callback due in the next millisecond";
    Callback_CancelDelay(POWEROK_INDEX);
    Callback_SetHandler(POWEROK_INDEX, nullptr);

    esp_timer_create_args_t args = {};
    args.callback = [](void *) {};
    args.name = "probe";
    esp_timer_handle_t h = nullptr;
    ASSERT_EQ(esp_timer_create(&args, &h), ESP_OK);
    seen = stub_tick_wakeups();
    esp_timer_start_once(h, 300);  // 0.3 ms: due in the next tick
    EXPECT_NE(stub_tick_wakeups(), seen) << "arming a timer wakes the loop";
    EXPECT_EQ(vApplicationTickDueUs(), now_us + 1000);
    esp_timer_stop(h);
    esp_timer_delete(h);

    // A callback whose due time has passed will not run again before the counter wraps: it
    // must not pull the deadline into the past.
    Callback_SetHandler(POWEROK_INDEX, [] {});
    Callback_SetCalltime(POWEROK_INDEX, Time() - 5);
    EXPECT_EQ(Callback_NextDue(Time()), 0u);
    EXPECT_EQ(vApplicationTickDueUs(), now_us + to_repeat * 1000);
    Callback_CancelDelay(POWEROK_INDEX);
    Callback_SetHandler(POWEROK_INDEX, nullptr);
}

}  // namespace
