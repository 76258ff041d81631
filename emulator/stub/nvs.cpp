// Non-volatile storage stubs: every call succeeds, nothing is kept, and no caller buffer is
// written (so a read leaves the caller's initial value in place).
#include "nvs.h"

esp_err_t nvs_open(const char *, nvs_open_mode_t, nvs_handle_t *) {
    return ESP_OK;
}
void nvs_close(nvs_handle_t) {}
esp_err_t nvs_commit(nvs_handle_t) {
    return ESP_OK;
}
esp_err_t nvs_erase_key(nvs_handle_t, const char *) {
    return ESP_OK;
}
esp_err_t nvs_get_u8(nvs_handle_t, const char *, uint8_t *) {
    return ESP_OK;
}
esp_err_t nvs_get_i8(nvs_handle_t, const char *, int8_t *) {
    return ESP_OK;
}
esp_err_t nvs_get_u16(nvs_handle_t, const char *, uint16_t *) {
    return ESP_OK;
}
esp_err_t nvs_get_u32(nvs_handle_t, const char *, uint32_t *) {
    return ESP_OK;
}
esp_err_t nvs_set_u8(nvs_handle_t, const char *, uint8_t) {
    return ESP_OK;
}
esp_err_t nvs_set_i8(nvs_handle_t, const char *, int8_t) {
    return ESP_OK;
}
esp_err_t nvs_set_u16(nvs_handle_t, const char *, uint16_t) {
    return ESP_OK;
}
esp_err_t nvs_set_u32(nvs_handle_t, const char *, uint32_t) {
    return ESP_OK;
}
esp_err_t nvs_get_blob(nvs_handle_t, const char *, void *, size_t *) {
    return ESP_OK;
}
esp_err_t nvs_set_blob(nvs_handle_t, const char *, const void *, size_t) {
    return ESP_OK;
}
