// Fuzz target: the readers of the kept store's files (--state DIR): a namespace file
// (storage.nvs and the like) and the record of a slot's files (slot_files).
#include <string>
#include <vector>

#include "kept_store.h"
#include "slot_files.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    KeptStore::Image image;
    kept_store_decode(std::vector<uint8_t>(data, data + size), &image);
    SlotFilesRecord record;
    slot_files_decode(std::string((const char *)data, size), &record);
    return 0;
}
