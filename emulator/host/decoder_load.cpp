// Slot loads looked into: the project check's requests and the copy of a load's outcome.
#include "decoder.h"

#include "fw_lock.h"
#include "memory.h"
#include "nvs_hl.h"
#include "sound_drv_function.h"
#include "sound_hl.h"

static_assert(sizeof(decoder_load_copy::cv) == MEMORY_PAGE_SIZE, "the copy holds the whole CV page");

void decoder_choose_start_slot(int slot) {
    Memory_SaveU8(202, (uint8_t)slot);
}

bool decoder_request_load(int slot) {
    return soundHL_load_slot((uint32_t)slot - 1, true) == ESP_OK;
}

uint8_t decoder_file_update_flags(void) {
    uint8_t flags = 0;
    nvsHL_get_file_update_flags(&flags);
    return flags;
}

void decoder_copy_load(decoder_load_copy *out) {
    fw_lock();
    decoder_copy_records(&out->records);
    out->state = slot_state;
    for (int d = 0; d < MAX_DRIVE_FUNCTIONS; d++)
        out->drive_max_speed[d] = drive_functions[d].max_speed;
    fw_unlock();
    Memory_ReadPage(out->cv, sizeof out->cv);
}

void decoder_with_cv_page_kept(const std::function<void()> &parse) {
    uint8_t page[MEMORY_PAGE_SIZE];
    fw_lock();
    Memory_ReadPage(page, sizeof page);
    parse();
    Memory_WritePage(page, sizeof page);
    fw_unlock();
}
