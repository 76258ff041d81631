// Folder utilities (slot folder creation, clearing a folder) and the PID telemetry file.
//
// Threads: folder creation runs at engine start; clearing runs on its caller's thread and yields
// after every file. Each telemetry save is one short-lived "save_pid" task that owns its copy of
// the data; only the time of the previous save is shared between such tasks.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "esp_timer.h"
#include "file_io.h"
#include "file_io_private.h"
#include "freertos/FreeRTOS.h"
#include "freertos/task.h"

static const char *TAG = FILEIO_TAG;

#define FOLDER_PATH_LEN 80
#define TELEMETRY_FILE "data/Watch1.log"

// ---------------------------------------------------------------- folders

esp_err_t fileIO_createFolders(void) {
    char path[FOLDER_PATH_LEN];
    snprintf(path, sizeof path, "data/%u", 3u);
    // data/3 stands for the whole set: when it exists, the folders were made before.
    if (mkdir(path, 0755) == 0) {
        snprintf(path, sizeof path, "data/%u", 1u);
        mkdir(path, 0755);
        snprintf(path, sizeof path, "data/%u", 2u);
        mkdir(path, 0755);
    }
    return ESP_OK;
}

void clear_folder(const char *path) {
    DIR *dir = path != nullptr ? opendir(path) : nullptr;
    if (dir == nullptr) {
        ESP_LOGE(TAG, "Failed to stat dir");
        return;
    }
    struct dirent *entry;
    while ((entry = readdir(dir)) != nullptr) {
        if (is_dir(entry, path)) continue;
        char full[FOLDER_PATH_LEN];
        int n = snprintf(full, sizeof full, "%s%s", path, entry->d_name);
        // A file whose path does not fit is left in place: deleting a cut-short path could
        // remove a different file.
        if (n < 0 || (size_t)n >= sizeof full) {
            ESP_LOGE(TAG, "Filepath is too big for %s", entry->d_name);
            continue;
        }
        if (unlink(full) != 0) ESP_LOGE(TAG, "unlink falled with %s", full);
        vTaskDelay(2);
    }
    closedir(dir);
}

esp_err_t fileIO_clearFolder(const char *path) {
    if (path == nullptr) return ESP_FAIL;
    clear_folder(path);
    return ESP_OK;
}

// ---------------------------------------------------------------- PID telemetry

typedef struct {
    uint8_t *data;  // emf, pwm and req series of length / 3 bytes each, one after the other
    size_t length;
} telemetry_job_t;

// Time (ms) of the previous save; saves may overlap, so it is exchanged atomically.
static std::atomic<uint32_t> last_time{0};

esp_err_t fileIO_save_pid_telemetry(const uint8_t *emf, const uint8_t *req, const uint8_t *pwm, size_t len) {
    if (len > 0 && (emf == nullptr || req == nullptr || pwm == nullptr)) return ESP_ERR_INVALID_ARG;
    // Three series must fit one allocation without the size wrapping.
    if (len > SIZE_MAX / 3) return ESP_ERR_NO_MEM;
    telemetry_job_t *job = (telemetry_job_t *)malloc(sizeof *job);
    if (job == nullptr) return ESP_ERR_NO_MEM;
    // Empty series still make a file (the header and the names): allocate at least one byte so
    // that an empty save is not mistaken for running out of memory.
    job->length = 3 * len;
    job->data = (uint8_t *)malloc(job->length > 0 ? job->length : 1);
    if (job->data == nullptr) {
        free(job);
        return ESP_ERR_NO_MEM;
    }
    if (len > 0) {
        memcpy(job->data, emf, len);
        memcpy(job->data + len, pwm, len);
        memcpy(job->data + 2 * len, req, len);
    }
    if (xTaskCreatePinnedToCore(save_telemetry_task, "save_pid", 4096, job, 5, nullptr, 1) == pdPASS)
        return ESP_OK;
    ESP_LOGE(TAG, "Error create save PID telemetry task");
    free(job->data);
    free(job);
    return ESP_FAIL;
}

void save_telemetry_task(void *pvParameters) {
    telemetry_job_t *job = (telemetry_job_t *)pvParameters;
    size_t n = job->length / 3;
    uint32_t now = (uint32_t)(esp_timer_get_time() / 1000);
    uint32_t previous = last_time.exchange(now);
    ESP_LOGW(TAG, "Saving PID telemetry period=%lums", (unsigned long)(uint32_t)(now - previous));

    FILE *f = fopen(TELEMETRY_FILE, "w");
    if (f == nullptr) {
        ESP_LOGE(TAG, "Failed to create PID telemetry file");
    } else {
        static const char *const names[3] = {"emf_val", "pwm_val", "req_val"};
        fprintf(f, "Expression\tValue\n");
        for (size_t s = 0; s < 3; s++) {
            fprintf(f, "%s\t'\\0'\n", names[s]);
            const uint8_t *series = job->data + s * n;
            for (size_t i = 0; i < n; i++)
                fprintf(f, "[%lu]\t%u\n", (unsigned long)i, (unsigned)series[i]);
        }
        fclose(f);
    }
    free(job->data);
    free(job);
    vTaskDelete(nullptr);
}
