#include "fake_nvs.h"

#include <algorithm>
#include <cstring>

#include "nvs.h"

FakeNvs fake_nvs;

void fake_nvs_clear() {
    fake_nvs = FakeNvs{};
}

uint16_t FakeNvs::u16(const std::string &key) const {
    const auto &v = values.at(key);
    return (uint16_t)(v.at(0) | v.at(1) << 8);
}

uint8_t FakeNvs::u8(const std::string &key) const {
    return values.at(key).at(0);
}

static esp_err_t put(const char *key, const void *data, size_t len) {
    if (fake_nvs.write_result != ESP_OK) return fake_nvs.write_result;
    auto &keys = fake_nvs.failing_write_keys;
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) return ESP_FAIL;
    fake_nvs.writes++;
    const auto *bytes = static_cast<const uint8_t *>(data);
    fake_nvs.values[key] = std::vector<uint8_t>(bytes, bytes + len);
    return ESP_OK;
}

static esp_err_t get(const char *key, void *out, size_t len) {
    auto it = fake_nvs.values.find(key);
    if (it == fake_nvs.values.end()) return ESP_ERR_NVS_NOT_FOUND;
    if (it->second.size() != len) return ESP_ERR_INVALID_SIZE;
    memcpy(out, it->second.data(), len);
    return ESP_OK;
}

esp_err_t nvs_open(const char *, nvs_open_mode_t, nvs_handle_t *out_handle) {
    if (fake_nvs.open_result != ESP_OK) return fake_nvs.open_result;
    fake_nvs.opens++;
    *out_handle = 1;
    return ESP_OK;
}
void nvs_close(nvs_handle_t) {
    fake_nvs.closes++;
}
esp_err_t nvs_commit(nvs_handle_t) {
    fake_nvs.commits++;
    fake_nvs.committed = fake_nvs.values;
    return ESP_OK;
}
esp_err_t nvs_erase_key(nvs_handle_t, const char *key) {
    if (fake_nvs.write_result != ESP_OK) return fake_nvs.write_result;
    return fake_nvs.values.erase(key) ? ESP_OK : ESP_ERR_NVS_NOT_FOUND;
}
esp_err_t nvs_get_u8(nvs_handle_t, const char *key, uint8_t *v) {
    return get(key, v, 1);
}
esp_err_t nvs_get_i8(nvs_handle_t, const char *key, int8_t *v) {
    return get(key, v, 1);
}
esp_err_t nvs_get_u16(nvs_handle_t, const char *key, uint16_t *v) {
    return get(key, v, 2);
}
esp_err_t nvs_get_u32(nvs_handle_t, const char *key, uint32_t *v) {
    return get(key, v, 4);
}
esp_err_t nvs_set_u8(nvs_handle_t, const char *key, uint8_t v) {
    return put(key, &v, 1);
}
esp_err_t nvs_set_i8(nvs_handle_t, const char *key, int8_t v) {
    return put(key, &v, 1);
}
esp_err_t nvs_set_u16(nvs_handle_t, const char *key, uint16_t v) {
    return put(key, &v, 2);
}
esp_err_t nvs_set_u32(nvs_handle_t, const char *key, uint32_t v) {
    return put(key, &v, 4);
}

esp_err_t nvs_get_blob(nvs_handle_t, const char *key, void *out_value, size_t *length) {
    auto it = fake_nvs.values.find(key);
    if (it == fake_nvs.values.end()) return ESP_ERR_NVS_NOT_FOUND;
    if (out_value == nullptr) {
        *length = it->second.size();
        return ESP_OK;
    }
    if (*length < it->second.size()) return ESP_ERR_INVALID_SIZE;
    memcpy(out_value, it->second.data(), it->second.size());
    *length = it->second.size();
    return ESP_OK;
}

esp_err_t nvs_set_blob(nvs_handle_t, const char *key, const void *value, size_t length) {
    return put(key, value, length);
}
