// Start-up of the firmware and the 1 ms tick.
#include "emulator.h"

#include <cstdlib>
#include <cstring>

#include "esp_log.h"
#include "esp_timer.h"
#include "freertos/task.h"
#include "fw_lock.h"
#include "memory.h"

std::atomic<uint32_t> MillisecondCounter{0};
static uint32_t startTick;

uint32_t Time(void) { return MillisecondCounter.load(std::memory_order_relaxed); }

int get_slot_id(void) {
    FILE *f = fopen("slot.txt", "r");
    if (f == nullptr) return -1;
    char line[100];
    char *got = fgets(line, sizeof line, f);
    fclose(f);
    if (got == nullptr) return -1;
    char *end = nullptr;
    unsigned long value = strtoul(line, &end, 10);
    if (end == line) return -1;
    return (int)value;
}

void emulator_init(void) {
    esp_log_level_set("*", ESP_LOG_WARN);
    esp_log_level_set("SOUND_HL", ESP_LOG_INFO);
    esp_log_level_set("DCC_HL", ESP_LOG_INFO);
    esp_log_level_set("AUDIO_TRACK", ESP_LOG_INFO);
    esp_log_level_set("LOGICS", ESP_LOG_INFO);
    esp_timer_init();
    int slot = get_slot_id();
    if (slot >= 1 && slot <= 3) Memory_SaveU8(202, (uint8_t)slot);
}

void tick(void) {
    fw_lock();
    MillisecondCounter.fetch_add(1, std::memory_order_relaxed);
    esp_timer_poll();
    fw_unlock();
}

void vApplicationTickHook(void) {
    if (startTick == 0) startTick = esp_log_timestamp();
    while (MillisecondCounter.load(std::memory_order_relaxed) < esp_log_timestamp() - startTick) tick();
}
