// An in-memory key-value store behind the platform's NVS calls, so that what the firmware stores
// can be read back and storage failures can be provoked. It is installed while it lives; values
// are kept as bytes, whatever kind they were written as.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "nvs_backend.h"

namespace test_support {

class FakeNvs : public NvsBackend {
public:
    FakeNvs() { stub_nvs_set_backend(this); }
    ~FakeNvs() override { stub_nvs_set_backend(nullptr); }
    FakeNvs(const FakeNvs &) = delete;
    FakeNvs &operator=(const FakeNvs &) = delete;

    // Empties the store and restores the default results.
    void clear();
    bool has(const std::string &key) const { return values.count(key) != 0; }
    uint16_t u16(const std::string &key) const;
    uint8_t u8(const std::string &key) const;

    std::map<std::string, std::vector<uint8_t>> values;
    esp_err_t open_result = ESP_OK;               // returned by nvs_open
    esp_err_t write_result = ESP_OK;              // returned by the setters
    std::vector<std::string> failing_write_keys;  // setters fail for these keys only
    int opens = 0;
    int closes = 0;
    int commits = 0;
    int writes = 0;
    std::map<std::string, std::vector<uint8_t>> committed;  // state at the last commit

    esp_err_t open(const char *, nvs_open_mode_t, nvs_handle_t *out_handle) override {
        if (open_result != ESP_OK) return open_result;
        opens++;
        *out_handle = 1;
        return ESP_OK;
    }
    void close(nvs_handle_t) override { closes++; }
    esp_err_t commit(nvs_handle_t) override {
        commits++;
        committed = values;
        return ESP_OK;
    }
    esp_err_t erase_key(nvs_handle_t, const char *key) override {
        if (write_result != ESP_OK) return write_result;
        return values.erase(key) ? ESP_OK : ESP_ERR_NVS_NOT_FOUND;
    }
    esp_err_t get(nvs_handle_t, const char *key, NvsType type, void *out, size_t *length) override;
    esp_err_t set(nvs_handle_t, const char *key, NvsType, const void *value, size_t length) override;
};

}  // namespace test_support
