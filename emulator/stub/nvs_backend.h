// The seam behind the platform's NVS calls. Without a backend every call is the inert stub
// (succeeds, keeps nothing, writes no caller variable). A host feature that keeps values (the
// kept store of --state) installs a backend before the firmware starts; the firmware never
// sees the difference. Host header: the firmware never includes it.
#pragma once

#include <cstddef>

#include "nvs.h"

// Value kinds of the store. A value is read back only as the kind it was written as.
enum class NvsType : unsigned char { U8 = 1, I8 = 2, U16 = 3, U32 = 4, Blob = 5 };

class NvsBackend {
public:
    virtual ~NvsBackend() = default;
    virtual esp_err_t open(const char *name_space, nvs_open_mode_t mode, nvs_handle_t *out_handle) = 0;
    virtual void close(nvs_handle_t handle) = 0;
    virtual esp_err_t commit(nvs_handle_t handle) = 0;
    virtual esp_err_t erase_key(nvs_handle_t handle, const char *key) = 0;
    // Fixed-size kinds: `*length` is the size of the kind. Blobs: `out` may be null (then only
    // the stored length is reported); a buffer smaller than the value gives
    // ESP_ERR_NVS_INVALID_LENGTH.
    virtual esp_err_t get(nvs_handle_t handle, const char *key, NvsType type, void *out, size_t *length) = 0;
    virtual esp_err_t set(nvs_handle_t handle, const char *key, NvsType type, const void *value,
                          size_t length) = 0;
};

// Installs `backend` (null: back to the inert stubs). Call while no NVS call can be running.
void stub_nvs_set_backend(NvsBackend *backend);
// The installed backend, or null.
NvsBackend *stub_nvs_backend(void);
