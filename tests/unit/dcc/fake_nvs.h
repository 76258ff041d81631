// An in-memory key-value store that replaces the platform's inert one in this test program, so
// that what the firmware stores can be read back and storage failures can be provoked.
//
// It defines every function of nvs.h: the linker then never pulls the platform's store into
// this program. Keep it in step with nvs.h.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "esp_err.h"

struct FakeNvs {
    std::map<std::string, std::vector<uint8_t>> values;
    esp_err_t open_result = ESP_OK;               // returned by nvs_open
    esp_err_t write_result = ESP_OK;              // returned by the setters
    std::vector<std::string> failing_write_keys;  // setters fail for these keys only
    int opens = 0;
    int closes = 0;
    int commits = 0;
    int writes = 0;
    std::map<std::string, std::vector<uint8_t>> committed;  // state at the last commit

    bool has(const std::string &key) const { return values.count(key) != 0; }
    uint16_t u16(const std::string &key) const;
    uint8_t u8(const std::string &key) const;
};

extern FakeNvs fake_nvs;
// Empties the store and restores the default results.
void fake_nvs_clear();
