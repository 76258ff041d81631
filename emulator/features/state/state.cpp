// The --state feature: the kept store (kept_store.h) and the record of the files each stored
// slot description was made from (slot_files.h), kept in DIR/slot_files.
//
// The record is written after every commit that stores a slot description, on the thread that
// stores it (the slot loader). It names the description by a checksum of its two blobs, so a
// record left from an earlier description (a kill between the two writes) is never taken for
// the current one. At start, before the sound engine loads the slot, the folder is compared with
// the record; a difference reaches the firmware through decoder_file_changed().
#include "state.h"

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <memory>

#include "decoder.h"
#include "esp_log.h"
#include "kept_store.h"
#include "slot_data.h"
#include "slot_files.h"

static const char *TAG = "STATE";
static const char *NAMESPACE = "storage";
static const char *SLOT_BLOB = "slot_blob";
static const char *TRACKS_BLOB = "tracks_blob";
static const char *RECORD = "slot_files";
static const uint16_t CV_SLOT = 202;
// A record lists the files of one slot folder: far below this even for thousands of files.
static const size_t RECORD_MAX = 1024 * 1024;

static std::unique_ptr<KeptStore> s_store;

static std::string slot_folder(int slot) {
    return "data/" + std::to_string(slot + 1) + "/";
}

// The slot (0..2) of the stored description, or -1 when none is stored.
static int stored_slot() {
    auto blob = s_store->read(NAMESPACE, SLOT_BLOB);
    if (!blob || blob->size() != sizeof(slot_rom_t)) return -1;
    const int8_t id = (int8_t)(*blob)[offsetof(slot_rom_t, id)];
    return id >= 0 && id < MAX_SLOTS ? id : -1;
}

// A checksum of the stored description (both blobs).
static uint32_t stored_description() {
    uLong crc = crc32(0L, Z_NULL, 0);
    for (const char *key : {SLOT_BLOB, TRACKS_BLOB}) {
        auto blob = s_store->read(NAMESPACE, key);
        if (blob) crc = crc32(crc, blob->data(), (uInt)blob->size());
    }
    return (uint32_t)crc;
}

static void record_slot_files(const std::string &name_space, const std::vector<std::string> &keys) {
    if (name_space != NAMESPACE || std::find(keys.begin(), keys.end(), SLOT_BLOB) == keys.end()) return;
    const int slot = stored_slot();
    if (slot < 0) return;
    SlotFilesRecord record{slot + 1, stored_description(), slot_files_list(slot_folder(slot))};
    const std::string text = slot_files_encode(record);
    std::string error;
    if (s_store->write_file(RECORD, {text.begin(), text.end()}, &error) != 0) {
        // Without a record that fits, the next start parses the folder rather than trust it.
        s_store->remove_file(RECORD);
        ESP_LOGE(TAG, "Cannot keep the record of the slot's files: %s", error.c_str());
    }
}

bool state_open(const std::string &dir, std::string *error) {
    auto store = std::make_unique<KeptStore>();
    if (!store->open_dir(dir, error)) return false;
    s_store = std::move(store);
    s_store->set_commit_hook(record_slot_files);
    stub_nvs_set_backend(s_store.get());
    return true;
}

void state_use_memory() {
    s_store = std::make_unique<KeptStore>();
    stub_nvs_set_backend(s_store.get());
}

void state_close() {
    stub_nvs_set_backend(nullptr);
    s_store.reset();
}

void state_check_slot_folder() {
    if (!s_store || s_store->dir().empty()) return;
    esp_log_level_set(TAG, ESP_LOG_INFO);
    const int slot = stored_slot();
    // No description of the slot about to load: the firmware parses the folder anyway.
    if (slot < 0 || slot != (int)decoder_read_cv(CV_SLOT) - 1) return;
    const std::string folder = slot_folder(slot);

    SlotFilesRecord record;
    std::vector<uint8_t> bytes;
    std::string error;
    const bool read =
        s_store->read_file(RECORD, RECORD_MAX, &bytes, &error) == 0 && bytes.size() <= RECORD_MAX;
    if (!read || !slot_files_decode({bytes.begin(), bytes.end()}, &record) || record.slot != slot + 1 ||
        record.description != stored_description()) {
        ESP_LOGI(TAG, "%s: no record of the files its stored description was made from: parsing it again",
                 folder.c_str());
        decoder_file_changed(folder, true);
        return;
    }
    const SlotFilesChange change = slot_files_compare(record.files, slot_files_list(folder));
    if (change.empty()) return;
    ESP_LOGI(TAG, "%s changed since its description was stored (%s): parsing it again", folder.c_str(),
             change.describe().c_str());
    auto tell = [&](const std::vector<std::string> &names, bool added) {
        for (const std::string &name : names)
            decoder_file_changed(folder + name, added);
    };
    tell(change.modified, true);
    tell(change.added, true);
    tell(change.removed, false);
}
