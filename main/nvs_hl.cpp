// Persistent engine state over the key-value store. Nothing is cached: every call opens and
// closes the namespace, and every write is committed at once.
#include "nvs_hl.h"

#include "esp_log.h"
#include "nvs.h"

static const char *TAG = "nvs_hl";
static const char *STORAGE_NAMESPACE = "storage";
static const char *KEY_SLOT_ATTEMPT = "slot_attempt";
static const char *KEY_HW_FLAGS = "hw_flags";
static const char *KEY_FILE_UPDATE = "file_update";
static const char *KEY_SPEED_DIR = "speed_dir";
static const char *KEY_SLOT_BLOB = "slot_blob";
static const char *KEY_TRACKS_BLOB = "tracks_blob";
static const char *KEY_INFO_POS = "info_pos_blob";
static const char *KEY_FUNCTION_VOL = "function_vol";
static const char *KEY_LOCO_INFO = "loco_info";

// Opens the namespace. Loads of a blob name the error code; every other call does not.
static bool open_storage(nvs_open_mode_t mode, nvs_handle_t *handle) {
    if (nvs_open(STORAGE_NAMESPACE, mode, handle) != ESP_OK) {
        ESP_LOGE(TAG, "Error opening NVS handle.");
        return false;
    }
    return true;
}

static bool open_storage_to_load(nvs_handle_t *handle) {
    esp_err_t ret = nvs_open(STORAGE_NAMESPACE, NVS_READONLY, handle);
    if (ret != ESP_OK) {
        ESP_LOGE(TAG, "Error opening NVS handle ret = %x", (unsigned)ret);
        return false;
    }
    return true;
}

// Write or read one blob of a save or load; a failure is logged and closes the handle.
static bool write_blob(nvs_handle_t handle, const char *key, const void *data, size_t len, const char *what) {
    if (nvs_set_blob(handle, key, data, len) != ESP_OK) {
        ESP_LOGE(TAG, "Error writing %s", what);
        nvs_close(handle);
        return false;
    }
    return true;
}

static bool read_blob(nvs_handle_t handle, const char *key, void *data, size_t *len, const char *what) {
    esp_err_t ret = nvs_get_blob(handle, key, data, len);
    if (ret != ESP_OK) {
        ESP_LOGE(TAG, "Error reading %s ret = %x", what, (unsigned)ret);
        nvs_close(handle);
        return false;
    }
    return true;
}

esp_err_t nvsHL_get_u8(const char *key, uint8_t *value) {
    nvs_handle_t handle;
    if (!open_storage(NVS_READONLY, &handle)) return ESP_FAIL;
    nvs_get_u8(handle, key, value);
    nvs_close(handle);
    return ESP_OK;
}

esp_err_t nvsHL_set_u8(const char *key, uint8_t value) {
    nvs_handle_t handle;
    if (!open_storage(NVS_READWRITE, &handle)) return ESP_FAIL;
    nvs_set_u8(handle, key, value);
    nvs_commit(handle);
    nvs_close(handle);
    return ESP_OK;
}

esp_err_t nvsHL_get_slot_load_attempt(uint8_t *value) {
    return nvsHL_get_u8(KEY_SLOT_ATTEMPT, value);
}
esp_err_t nvsHL_set_slot_load_attempt(uint8_t value) {
    return nvsHL_set_u8(KEY_SLOT_ATTEMPT, value);
}
esp_err_t nvsHL_get_hw_flags(uint8_t *value) {
    return nvsHL_get_u8(KEY_HW_FLAGS, value);
}
esp_err_t nvsHL_set_hw_flags(uint8_t value) {
    return nvsHL_set_u8(KEY_HW_FLAGS, value);
}
esp_err_t nvsHL_get_file_update_flags(uint8_t *value) {
    return nvsHL_get_u8(KEY_FILE_UPDATE, value);
}
esp_err_t nvsHL_set_file_update_flags(uint8_t value) {
    return nvsHL_set_u8(KEY_FILE_UPDATE, value);
}

esp_err_t nvsHL_get_speed_and_dir(uint8_t *value, int8_t *dir) {
    uint16_t word = 0;
    nvs_handle_t handle;
    if (!open_storage(NVS_READONLY, &handle)) return ESP_FAIL;
    if (nvs_get_u16(handle, KEY_SPEED_DIR, &word) == ESP_OK) {
        if (value != nullptr) *value = (uint8_t)(word & 0xFF);
        if (dir != nullptr) *dir = (int8_t)((word >> 8) - 1);
    }
    nvs_close(handle);
    return ESP_OK;
}

esp_err_t nvsHL_set_speed_and_dir(uint8_t value, int8_t dir) {
    nvs_handle_t handle;
    if (!open_storage(NVS_READWRITE, &handle)) return ESP_FAIL;
    nvs_set_u16(handle, KEY_SPEED_DIR, (uint16_t)((((dir + 1) & 0xFF) << 8) | value));
    nvs_commit(handle);
    nvs_close(handle);
    return ESP_OK;
}

esp_err_t nvsHL_save_slot_data(void *data, size_t len, void *tracks, size_t tracks_len) {
    ESP_LOGI(TAG, "Saving slot with size: (%u, %u)", (unsigned)len, (unsigned)tracks_len);
    nvs_handle_t handle;
    if (!open_storage(NVS_READWRITE, &handle)) return ESP_FAIL;
    if (!write_blob(handle, KEY_SLOT_BLOB, data, len, "slot blob")) return ESP_FAIL;
    if (!write_blob(handle, KEY_TRACKS_BLOB, tracks, tracks_len, "tracks blob")) return ESP_FAIL;
    nvs_commit(handle);
    nvs_close(handle);
    return ESP_OK;
}

esp_err_t nvsHL_load_slot_data(void *data, size_t *len, void *tracks, size_t *tracks_len) {
    nvs_handle_t handle;
    if (!open_storage_to_load(&handle)) return ESP_OK;
    if (!read_blob(handle, KEY_SLOT_BLOB, data, len, "slot blob")) return ESP_FAIL;
    if (!read_blob(handle, KEY_TRACKS_BLOB, tracks, tracks_len, "tracks blob")) return ESP_FAIL;
    nvs_close(handle);
    ESP_LOGI(TAG, "Loaded slot with size: (%u, %u)", (unsigned)*len, (unsigned)*tracks_len);
    return ESP_OK;
}

esp_err_t nvsHL_save_raw_data(const char *key, void *data, size_t len) {
    ESP_LOGI(TAG, "Saving %s with size %u", key, (unsigned)len);
    nvs_handle_t handle;
    if (!open_storage(NVS_READWRITE, &handle)) return ESP_FAIL;
    if (!write_blob(handle, key, data, len, key)) return ESP_FAIL;
    nvs_commit(handle);
    nvs_close(handle);
    return ESP_OK;
}

esp_err_t nvsHL_load_raw_data(const char *key, void *data, size_t *len) {
    nvs_handle_t handle;
    if (!open_storage_to_load(&handle)) return ESP_OK;
    esp_err_t ret = nvs_get_blob(handle, key, data, len);
    if (ret != ESP_OK) {
        // A key never written is normal on a first start.
        ESP_LOGI(TAG, "Error reading %s ret = %x", key, (unsigned)ret);
        nvs_close(handle);
        return ESP_FAIL;
    }
    nvs_close(handle);
    ESP_LOGI(TAG, "Loaded %s with size: %u", key, (unsigned)*len);
    return ESP_OK;
}

esp_err_t nvsHL_save_info_function_pos(void *data, size_t len) {
    return nvsHL_save_raw_data(KEY_INFO_POS, data, len);
}
esp_err_t nvsHL_load_info_function_pos(void *data, size_t *len) {
    return nvsHL_load_raw_data(KEY_INFO_POS, data, len);
}
esp_err_t nvsHL_save_function_volume(void *data, size_t len) {
    return nvsHL_save_raw_data(KEY_FUNCTION_VOL, data, len);
}
esp_err_t nvsHL_load_function_volume(void *data, size_t *len) {
    return nvsHL_load_raw_data(KEY_FUNCTION_VOL, data, len);
}
esp_err_t nvsHL_save_loco_info(void *data, size_t len) {
    return nvsHL_save_raw_data(KEY_LOCO_INFO, data, len);
}
esp_err_t nvsHL_load_loco_info(void *data, size_t *len) {
    return nvsHL_load_raw_data(KEY_LOCO_INFO, data, len);
}

esp_err_t nvsHL_erase_function_volume(void) {
    ESP_LOGI(TAG, "Erase functions volume");
    nvs_handle_t handle;
    if (!open_storage(NVS_READWRITE, &handle)) return ESP_FAIL;
    if (nvs_erase_key(handle, KEY_FUNCTION_VOL) != ESP_OK) {
        ESP_LOGE(TAG, "Error erasing functions volume");
        nvs_close(handle);
        return ESP_FAIL;
    }
    nvs_commit(handle);
    nvs_close(handle);
    return ESP_OK;
}
