// CV store over the storage interface. The page is loaded lazily by the first read; writes
// outside a batch commit the whole page at once. A store that keeps nothing (the host's) leaves
// the built-in contents in place, so every run starts from an unmarked page.
#include "memory.h"

#include <atomic>
#include <cstring>

#include "esp_log.h"
#include "nvs.h"

static const char *TAG = "MEMORY";
static const char *STORAGE_NAMESPACE = "storage";
static const char *CV_BLOB_KEY = "cv_blob";

static uint8_t PageData[MEMORY_PAGE_SIZE] = {255};
static std::atomic<bool> initialized{false};
static std::atomic<bool> MemStarted{false};

static inline uint8_t page_get(uint16_t id) {
    return std::atomic_ref<uint8_t>(PageData[id % MEMORY_PAGE_SIZE]).load(std::memory_order_relaxed);
}

static inline void page_set(uint16_t id, uint8_t value) {
    std::atomic_ref<uint8_t>(PageData[id % MEMORY_PAGE_SIZE]).store(value, std::memory_order_relaxed);
}

// The whole page, copied out of or into the store's memory byte by byte (each byte is read and
// written as an atomic).
static void page_copy_out(uint8_t *page) {
    for (uint16_t i = 0; i < MEMORY_PAGE_SIZE; i++)
        page[i] = page_get(i);
}

static void page_copy_in(const uint8_t *page) {
    for (uint16_t i = 0; i < MEMORY_PAGE_SIZE; i++)
        page_set(i, page[i]);
}

static bool open_storage(nvs_open_mode_t mode, nvs_handle_t *handle) {
    esp_err_t err = nvs_open(STORAGE_NAMESPACE, mode, handle);
    if (err != ESP_OK) {
        ESP_LOGE(TAG, "Error opening NVS handle ret = %x", (unsigned)err);
        return false;
    }
    return true;
}

static void prepare(void) {
    if (initialized.load()) return;
    ESP_LOGI(TAG, "Initializing CV blob data");
    nvs_handle_t handle;
    if (!open_storage(NVS_READONLY, &handle)) return;
    uint8_t blob[MEMORY_PAGE_SIZE];
    page_copy_out(blob);
    size_t length = MEMORY_PAGE_SIZE;
    esp_err_t err = nvs_get_blob(handle, CV_BLOB_KEY, blob, &length);
    if (err != ESP_OK) {
        ESP_LOGE(TAG, "Error reading CV blob ret = %x", (unsigned)err);
    } else {
        if (length != MEMORY_PAGE_SIZE) ESP_LOGE(TAG, "Wrong CV blob size %u.", (unsigned)length);
        page_copy_in(blob);
        initialized.store(true);
    }
    nvs_close(handle);
}

static void commit(void) {
    ESP_LOGI(TAG, "Saving CV blob");
    nvs_handle_t handle;
    if (!open_storage(NVS_READWRITE, &handle)) return;
    uint8_t blob[MEMORY_PAGE_SIZE];
    page_copy_out(blob);
    esp_err_t err = nvs_set_blob(handle, CV_BLOB_KEY, blob, MEMORY_PAGE_SIZE);
    if (err != ESP_OK) {
        ESP_LOGE(TAG, "Error writing CV blob ret = %i", err);
    } else {
        nvs_commit(handle);
    }
    nvs_close(handle);
}

void MemPrepare(void) {}

uint8_t Memory_LoadU8(uint16_t id) {
    prepare();
    return page_get(id);
}

void Memory_SaveU8(uint16_t id, uint8_t value) {
    bool batch = MemStarted.load();
    if (!batch) MemPrepare();
    page_set(id, value);
    if (!batch) Memory_Finish();
}

void Memory_SaveArray(uint16_t id, const uint8_t *arr, uint16_t size) {
    bool batch = MemStarted.load();
    if (!batch) MemPrepare();
    for (uint16_t i = 0; i < size; i++)
        page_set((uint16_t)(id + i), arr[i]);
    if (!batch) Memory_Finish();
}

void Memory_LoadArray(uint16_t id, uint8_t *arr, uint16_t size) {
    prepare();
    for (uint16_t i = 0; i < size; i++)
        arr[i] = page_get((uint16_t)(id + i));
}

void Memory_ReadPage(uint8_t *page, uint16_t size) {
    (void)size;
    ESP_LOGI(TAG, "Loading CV blob");
    prepare();
    page_copy_out(page);
}

void Memory_WritePage(const uint8_t *page, uint16_t size) {
    (void)size;
    page_copy_in(page);
    commit();
}

uint8_t *Memory_GetPtr(uint16_t id) {
    prepare();
    return &PageData[id % MEMORY_PAGE_SIZE];
}

uint8_t Memory_PeekU8(const uint8_t *ptr) {
    return std::atomic_ref<uint8_t>(*const_cast<uint8_t *>(ptr)).load(std::memory_order_relaxed);
}

void Memory_Start(void) {
    MemPrepare();
    MemStarted.store(true);
}

void Memory_Finish(void) {
    uint8_t page[MEMORY_PAGE_SIZE];
    page_copy_out(page);
    Memory_WritePage(page, MEMORY_PAGE_SIZE);
    MemStarted.store(false);
}

void Memory_ResetForTest(void) {
    for (uint16_t i = 0; i < MEMORY_PAGE_SIZE; i++)
        page_set(i, i == 0 ? 255 : 0);
    initialized.store(false);
    MemStarted.store(false);
}
