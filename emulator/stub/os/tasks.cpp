// FreeRTOS tasks on host threads, and the tick loop.
//
// Threads: every task is one detached POSIX thread, named after the task. In real time the
// threads run truly in parallel; in simulated time each is registered with the scheduler of
// sim.cpp when it is created and runs only in its turns. A task ends when its
// function returns. Task records live in a fixed pool and are recycled once their thread has
// ended: a handle carries the record index and its generation, so a handle of an ended task
// reads eDeleted even after its record was reused, and thousands of short reader tasks an hour
// leak nothing. Time: task delays sleep on the platform clock (stub.h), so under the manual
// clock of the tests they wait for the test to advance it, and in simulated time for their turn.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "esp_timer.h"
#include "freertos/task.h"
#include "sim.h"
#include "stub.h"

namespace {

constexpr uint32_t TASK_POOL_SIZE = 1024;  // index fits in 10 bits of the handle
constexpr size_t TASK_STACK_BYTES = 512 * 1024;

struct task_record {
    std::atomic<uint32_t> generation{0};
    std::atomic<bool> running{false};
    bool reserved = false;  // guarded by s_pool_mutex
    TaskFunction_t code = nullptr;
    void *param = nullptr;
    char name[16] = {0};
    unsigned priority = 0;
    sim_thread *sim = nullptr;  // in simulated time: the thread's record in the scheduler
};

task_record s_pool[TASK_POOL_SIZE];
std::mutex s_pool_mutex;
std::atomic<int> s_running_count{0};

TaskHandle_t make_handle(uint32_t index, uint32_t generation) {
    uintptr_t v = ((uintptr_t)generation << 10) | (uintptr_t)(index + 1);
    return (TaskHandle_t)v;
}

void *task_thread(void *arg) {
    auto *rec = (task_record *)arg;
    pthread_setname_np(pthread_self(), rec->name);
    sim_thread *sim = rec->sim;
    if (sim != nullptr) {
        sim_thread_begin(sim);
    } else {
        stub_set_thread_priority(rec->priority);
    }
    rec->code(rec->param);
    {
        std::lock_guard<std::mutex> lock(s_pool_mutex);
        rec->running.store(false);
        rec->generation.fetch_add(1);
        rec->reserved = false;
    }
    s_running_count.fetch_sub(1);
    // The record may be reused from here on; the turn passes on only after the task is seen
    // ended, so that whoever runs next finds it so.
    if (sim != nullptr) sim_thread_end();
    return nullptr;
}

}  // namespace

void stub_set_thread_priority(unsigned freertos_priority) {
    // Normal, above normal and highest map to nice 0, -5 and -10; an unprivileged process is
    // refused, which is harmless.
    int nice_value = freertos_priority >= 10 ? -10 : freertos_priority >= 5 ? -5 : 0;
    if (nice_value != 0) setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), nice_value);
}

int stub_tasks_running() {
    return s_running_count.load();
}

BaseType_t xTaskCreate(TaskFunction_t pxTaskCode, const char *pcName, configSTACK_DEPTH_TYPE usStackDepth,
                       void *pvParameters, UBaseType_t uxPriority, TaskHandle_t *pxCreatedTask) {
    (void)usStackDepth;
    task_record *rec = nullptr;
    uint32_t index = 0;
    uint32_t generation = 0;
    {
        std::lock_guard<std::mutex> lock(s_pool_mutex);
        for (uint32_t i = 0; i < TASK_POOL_SIZE; i++) {
            if (!s_pool[i].reserved) {
                rec = &s_pool[i];
                index = i;
                break;
            }
        }
        if (rec == nullptr) return errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY;
        rec->reserved = true;
        rec->running.store(true);
        generation = rec->generation.load();
    }
    rec->code = pxTaskCode;
    rec->param = pvParameters;
    rec->priority = uxPriority;
    snprintf(rec->name, sizeof rec->name, "%s", pcName ? pcName : "task");
    rec->sim = stub_sim_active() ? sim_thread_create(rec->name, uxPriority) : nullptr;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, TASK_STACK_BYTES);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    s_running_count.fetch_add(1);
    int rc = pthread_create(&thread, &attr, task_thread, rec);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        if (rec->sim != nullptr) sim_thread_discard(rec->sim);
        s_running_count.fetch_sub(1);
        std::lock_guard<std::mutex> lock(s_pool_mutex);
        rec->running.store(false);
        rec->generation.fetch_add(1);
        rec->reserved = false;
        return errCOULD_NOT_ALLOCATE_REQUIRED_MEMORY;
    }
    if (pxCreatedTask != nullptr) *pxCreatedTask = make_handle(index, generation);
    return pdPASS;
}

BaseType_t xTaskCreatePinnedToCore(TaskFunction_t pxTaskCode, const char *pcName,
                                   configSTACK_DEPTH_TYPE usStackDepth, void *pvParameters,
                                   UBaseType_t uxPriority, TaskHandle_t *pxCreatedTask, BaseType_t xCoreID) {
    (void)xCoreID;
    return xTaskCreate(pxTaskCode, pcName, usStackDepth, pvParameters, uxPriority, pxCreatedTask);
}

void vTaskDelete(TaskHandle_t xTaskToDelete) {
    (void)xTaskToDelete;
}

void vTaskDelay(TickType_t xTicksToDelay) {
    stub_sleep_us((int64_t)xTicksToDelay * 1000);
}

eTaskState eTaskGetState(TaskHandle_t xTask) {
    uintptr_t v = (uintptr_t)xTask;
    if (v == 0) return eInvalid;
    uint32_t index = (uint32_t)(v & 0x3FF);
    if (index == 0 || index > TASK_POOL_SIZE) return eInvalid;
    uint32_t generation = (uint32_t)(v >> 10);
    task_record &rec = s_pool[index - 1];
    if (rec.generation.load() == generation && rec.running.load()) return eRunning;
    return eDeleted;
}

UBaseType_t uxTaskGetStackHighWaterMark(TaskHandle_t) {
    return 0;
}
TickType_t xTaskGetTickCount(void) {
    return 0;
}

// ---------------------------------------------------------------- tick loop

void vTaskStartScheduler(void) {
    // The tick thread asks for a real-time scheduling class so that it wakes on time;
    // a refusal is reported and the loop runs at normal priority. Simulated time needs none.
    sched_param sp{};
    sp.sched_priority = 1;
    if (!stub_sim_active() && pthread_setschedparam(pthread_self(), SCHED_FIFO, &sp) != 0) {
        printf("SetPriorityClass() failed\n");
        fflush(stdout);
    }
    stub_tick_loop();
}

// The host registers its tick before the loop starts; until then the loop only waits to be woken.
static void no_tick(void) {}
static int64_t never_due(void) {
    return STUB_FOREVER;
}
static std::atomic<void (*)(void)> s_tick_run{no_tick};
static std::atomic<int64_t (*)(void)> s_tick_due_us{never_due};

void stub_tick_set_hooks(void (*run)(void), int64_t (*due_us)(void)) {
    s_tick_run.store(run != nullptr ? run : no_tick);
    s_tick_due_us.store(due_us != nullptr ? due_us : never_due);
}

// In real time the firmware's own periodic work of the tick thread (the speed repeat, the
// motor step, the output handler: every 10 ms, in different milliseconds) is gathered while
// nothing else happens: the loop wakes at most once a step (50 ms after its last wake) for it
// and runs the skipped milliseconds in order, so the firmware sees the same ticks with the same
// times; only their host moment is later, by less than a step. The step counts from the last
// wake, not on a fixed grid: the 100 ms sound tick's wake then also starts the next step, and
// an idle loop wakes 20 times a second rather than 30. Timers (the sound tick, a reader's
// delayed start) still wake the loop in their own millisecond: they start and change sound, and
// the ticks before them have run by then. For a while after another thread has woken the loop (a
// command, a track that ended), every tick with work runs in its own millisecond again: a new
// speed takes effect on its second repeat, and what it starts is heard without the delay.
static constexpr int64_t TICK_GATHER_US = 50000;
static constexpr int64_t TICK_EXACT_AFTER_WAKE_US = 500000;

static int64_t gathered_due_us(int64_t due_us) {
    static uint32_t outside_seen;
    static int64_t exact_until_us;
    if (due_us == STUB_FOREVER || stub_sim_active() || stub_clock_is_manual()) return due_us;
    const int64_t now = esp_timer_get_time();
    if (const uint32_t outside = stub_tick_outside_wakeups(); outside != outside_seen) {
        outside_seen = outside;
        exact_until_us = now + TICK_EXACT_AFTER_WAKE_US;
    }
    if (now < exact_until_us) return due_us;
    int64_t timer_us = stub_timer_next_due_us();
    // A timer fires in the first tick whose time is at or after its due time.
    if (timer_us != STUB_FOREVER) timer_us = (timer_us + 999) / 1000 * 1000;
    if (timer_us <= due_us) return due_us;
    const int64_t gathered = std::max(due_us, now + TICK_GATHER_US);
    return gathered < timer_us ? gathered : timer_us;
}

void stub_tick_loop(void) {
    // A loop that woke every millisecond would cost a few percent of a core while nothing
    // sounds; it sleeps until the next tick with work instead, and catches up on waking.
    stub_tick_mark_thread();
    for (;;) {
        s_tick_run.load()();
        const uint32_t seen = stub_tick_wakeups();
        stub_tick_wait_until(gathered_due_us(s_tick_due_us.load()()), seen);
    }
}
