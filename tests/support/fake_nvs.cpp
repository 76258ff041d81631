#include "fake_nvs.h"

#include <algorithm>
#include <cstring>

namespace test_support {

void FakeNvs::clear() {
    values.clear();
    open_result = ESP_OK;
    write_result = ESP_OK;
    failing_write_keys.clear();
    opens = closes = commits = writes = 0;
    committed.clear();
}

uint16_t FakeNvs::u16(const std::string &key) const {
    const auto &v = values.at(key);
    return (uint16_t)(v.at(0) | v.at(1) << 8);
}

uint8_t FakeNvs::u8(const std::string &key) const {
    return values.at(key).at(0);
}

esp_err_t FakeNvs::get(nvs_handle_t, const char *key, NvsType type, void *out, size_t *length) {
    auto it = values.find(key);
    if (it == values.end()) return ESP_ERR_NVS_NOT_FOUND;
    const std::vector<uint8_t> &v = it->second;
    if (type != NvsType::Blob) {
        // A value of another size is not one of this kind.
        if (v.size() != *length) return ESP_ERR_INVALID_SIZE;
    } else if (out == nullptr) {
        *length = v.size();
        return ESP_OK;
    } else if (*length < v.size()) {
        return ESP_ERR_INVALID_SIZE;
    }
    memcpy(out, v.data(), v.size());
    *length = v.size();
    return ESP_OK;
}

esp_err_t FakeNvs::set(nvs_handle_t, const char *key, NvsType, const void *value, size_t length) {
    if (write_result != ESP_OK) return write_result;
    if (std::find(failing_write_keys.begin(), failing_write_keys.end(), key) != failing_write_keys.end())
        return ESP_FAIL;
    writes++;
    const auto *bytes = static_cast<const uint8_t *>(value);
    values[key] = std::vector<uint8_t>(bytes, bytes + length);
    return ESP_OK;
}

}  // namespace test_support
