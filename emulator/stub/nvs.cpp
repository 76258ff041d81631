// Non-volatile storage. Without a backend (the default) these are the inert stubs: every call
// succeeds, nothing is kept, and no caller variable is written, so a read leaves the caller's
// initial value in place. With a backend installed (a kept store) every call goes to it.
#include <atomic>

#include "nvs.h"
#include "nvs_backend.h"

static std::atomic<NvsBackend *> s_backend{nullptr};

void stub_nvs_set_backend(NvsBackend *backend) {
    s_backend.store(backend);
}

NvsBackend *stub_nvs_backend(void) {
    return s_backend.load();
}

static NvsBackend *backend() {
    return s_backend.load(std::memory_order_acquire);
}

esp_err_t nvs_open(const char *name_space, nvs_open_mode_t open_mode, nvs_handle_t *out_handle) {
    if (NvsBackend *b = backend()) return b->open(name_space, open_mode, out_handle);
    return ESP_OK;
}
void nvs_close(nvs_handle_t handle) {
    if (NvsBackend *b = backend()) b->close(handle);
}
esp_err_t nvs_commit(nvs_handle_t handle) {
    if (NvsBackend *b = backend()) return b->commit(handle);
    return ESP_OK;
}
esp_err_t nvs_erase_key(nvs_handle_t handle, const char *key) {
    if (NvsBackend *b = backend()) return b->erase_key(handle, key);
    return ESP_OK;
}

static esp_err_t get_fixed(nvs_handle_t handle, const char *key, NvsType type, void *out, size_t size) {
    if (NvsBackend *b = backend()) return b->get(handle, key, type, out, &size);
    return ESP_OK;
}

static esp_err_t set_fixed(nvs_handle_t handle, const char *key, NvsType type, const void *value,
                           size_t size) {
    if (NvsBackend *b = backend()) return b->set(handle, key, type, value, size);
    return ESP_OK;
}

esp_err_t nvs_get_u8(nvs_handle_t handle, const char *key, uint8_t *out_value) {
    return get_fixed(handle, key, NvsType::U8, out_value, sizeof *out_value);
}
esp_err_t nvs_get_i8(nvs_handle_t handle, const char *key, int8_t *out_value) {
    return get_fixed(handle, key, NvsType::I8, out_value, sizeof *out_value);
}
esp_err_t nvs_get_u16(nvs_handle_t handle, const char *key, uint16_t *out_value) {
    return get_fixed(handle, key, NvsType::U16, out_value, sizeof *out_value);
}
esp_err_t nvs_get_u32(nvs_handle_t handle, const char *key, uint32_t *out_value) {
    return get_fixed(handle, key, NvsType::U32, out_value, sizeof *out_value);
}
esp_err_t nvs_set_u8(nvs_handle_t handle, const char *key, uint8_t value) {
    return set_fixed(handle, key, NvsType::U8, &value, sizeof value);
}
esp_err_t nvs_set_i8(nvs_handle_t handle, const char *key, int8_t value) {
    return set_fixed(handle, key, NvsType::I8, &value, sizeof value);
}
esp_err_t nvs_set_u16(nvs_handle_t handle, const char *key, uint16_t value) {
    return set_fixed(handle, key, NvsType::U16, &value, sizeof value);
}
esp_err_t nvs_set_u32(nvs_handle_t handle, const char *key, uint32_t value) {
    return set_fixed(handle, key, NvsType::U32, &value, sizeof value);
}

esp_err_t nvs_get_blob(nvs_handle_t handle, const char *key, void *out_value, size_t *length) {
    if (NvsBackend *b = backend()) return b->get(handle, key, NvsType::Blob, out_value, length);
    return ESP_OK;
}
esp_err_t nvs_set_blob(nvs_handle_t handle, const char *key, const void *value, size_t length) {
    if (NvsBackend *b = backend()) return b->set(handle, key, NvsType::Blob, value, length);
    return ESP_OK;
}
