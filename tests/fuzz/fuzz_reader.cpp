// Fuzz target: the audio reader decoding a whole sound file. The input is the file: 16-bit PCM
// or IMA ADPCM WAV, or Ogg Vorbis (opened through the reader's own callbacks). Each input is
// loaded into a fresh reader, played once to its end, played once more from the middle, and
// played looping until a few buffers have been taken; every buffer is checked and freed, and
// the reader is released with no task left running.
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "audio_reader.h"
#include "esp_timer.h"
#include "fuzz_file_io.h"

namespace {

// Inputs are cut to this size so that each one stays fast; the interesting parts of a sound
// file (headers, first blocks, Ogg set-up packets) come first.
constexpr size_t kMaxFileBytes = 64 * 1024;
// Small buffers make many hand-overs (and loop joins) out of a small file.
constexpr int kBufLenPerChannel = 512;
// Bounds of one play. An Ogg stream of a few KB can hold minutes of silence, so a one-shot
// play is stopped after this many buffers; a reader that does not end within the time limit
// is a hang and stops the run.
constexpr size_t kMaxBuffersPerPlay = 1500;
constexpr size_t kLoopBuffers = 12;
constexpr auto kPlayTimeLimit = std::chrono::seconds(30);

struct StopCounter {
    std::atomic<int> stops{0};
};

void on_stop(audio_reader_handle_t, void *param) {
    ((StopCounter *)param)->stops.fetch_add(1);
}

// A folder of this process with one file name per container: the reader picks its decoder
// from the name. mkdtemp's random part is letters and digits only, so the path never holds a
// file-name parameter such as "_T5". Plain arrays, so that the clean-up at exit can still use
// them after static objects are gone.
char g_dir[256];
char g_wav[300];
char g_ogg[300];

void remove_files() {
    unlink(g_wav);
    unlink(g_ogg);
    rmdir(g_dir);
}

const char *file_path(bool ogg) {
    if (g_dir[0] == 0) {
        const char *tmp = getenv("TMPDIR");
        snprintf(g_dir, sizeof g_dir, "%s/fuzzreader-XXXXXX", tmp != nullptr && tmp[0] != 0 ? tmp : "/tmp");
        if (mkdtemp(g_dir) == nullptr) {
            fprintf(stderr, "cannot create a temporary folder\n");
            abort();
        }
        snprintf(g_wav, sizeof g_wav, "%s/x.wav", g_dir);
        snprintf(g_ogg, sizeof g_ogg, "%s/x.ogg", g_dir);
        atexit(remove_files);
    }
    return ogg ? g_ogg : g_wav;
}

bool write_file(const char *path, const uint8_t *data, size_t size) {
    FILE *f = fopen(path, "wb");
    if (f == nullptr) return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

// Checks one buffer the way the mixer relies on it, reads every sample, and frees it.
void consume(buf_item_t b, uint32_t out_len, unsigned channels) {
    FUZZ_CHECK(b.len > 0);
    FUZZ_CHECK(b.len <= out_len);
    // Whole frames of 16-bit samples: the mixer takes the channels interleaved.
    FUZZ_CHECK(b.len % (2u * channels) == 0);
    volatile int32_t sum = 0;
    for (size_t i = 0; i < b.len / 2; i++)
        sum = sum + b.data[i];
    free(b.data);
}

// Takes every buffer until the reader's task is idle. After `limit` buffers the play is stopped
// without a fade. Returns the number of buffers taken.
size_t drain(audio_reader_handle_t h, StopCounter &sc, int stops_before, size_t limit, uint32_t out_len,
             unsigned channels) {
    const auto deadline = std::chrono::steady_clock::now() + kPlayTimeLimit;
    size_t taken = 0;
    bool stopped = false;
    for (;;) {
        buf_item_t b = audio_reader_get_data(h);
        if (b.data != nullptr) {
            consume(b, out_len, channels);
            if (++taken >= limit && !stopped) {
                audio_reader_stop(h, 0);
                stopped = true;
            }
            continue;
        }
        if (audio_reader_get_task_state(h) == TASK_IDLE && sc.stops.load() > stops_before) {
            // The last buffer may have been handed over just before the task ended; after it
            // an idle reader hands over nothing.
            b = audio_reader_get_data(h);
            if (b.data != nullptr) {
                consume(b, out_len, channels);
                taken++;
            }
            FUZZ_CHECK(audio_reader_get_data(h).data == nullptr);
            return taken;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            fprintf(stderr, "reader task still running after %lld s (%zu buffers taken)\n",
                    (long long)kPlayTimeLimit.count(), taken);
            abort();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

// Plays the loaded file; `position_ms` != 0 starts there. Returns false if play was refused.
bool play(audio_reader_handle_t h, StopCounter &sc, bool loop, uint16_t position_ms, size_t limit,
          uint32_t out_len, unsigned channels) {
    audio_reader_set_position(h, position_ms);
    const int stops_before = sc.stops.load();
    if (audio_reader_play(h, loop, loop ? 20 : 0, 0) != ESP_OK) return false;
    drain(h, sc, stops_before, limit, out_len, channels);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_quiet_log();
    static bool timers = (esp_timer_init(), true);
    (void)timers;
    if (size > kMaxFileBytes) size = kMaxFileBytes;

    // The container: by its magic, else by the first byte, so that broken files of both kinds
    // reach both decoders.
    bool ogg;
    if (size >= 4 && memcmp(data, "OggS", 4) == 0) {
        ogg = true;
    } else if (size >= 4 && memcmp(data, "RIFF", 4) == 0) {
        ogg = false;
    } else {
        ogg = size > 0 && (data[0] & 1) != 0;
    }
    const char *path = file_path(ogg);
    if (!write_file(path, data, size)) return 0;

    StopCounter sc;
    audio_reader_cfg_t cfg = {};
    cfg.task_prio = 5;
    cfg.buf_data_len = kBufLenPerChannel;
    cfg.param = &sc;
    cfg.stop_notification = on_stop;
    audio_reader_handle_t h = audio_reader_init(&cfg, "fuzz");
    FUZZ_CHECK(h != nullptr);

    file_info_t *info = nullptr;
    if (audio_reader_load(h, path, &info, 100) == ESP_OK) {
        FUZZ_CHECK(info != nullptr && info->available.load());
        const unsigned channels = info->channels;
        FUZZ_CHECK(channels > 0);
        const uint32_t out_len = (uint32_t)kBufLenPerChannel * channels;
        const uint32_t duration = audio_reader_get_duration(h);
        if (play(h, sc, false, 0, kMaxBuffersPerPlay, out_len, channels)) {
            uint32_t middle = duration / 2;
            play(h, sc, false, (uint16_t)(middle > 65535 ? 65535 : middle), kMaxBuffersPerPlay, out_len,
                 channels);
            play(h, sc, true, 0, kLoopBuffers, out_len, channels);
        }
        FUZZ_CHECK(audio_reader_unload(h) == ESP_OK);
    } else {
        FUZZ_CHECK(audio_reader_play(h, false, 0, 0) != ESP_OK);
    }
    audio_reader_deinit(h);
    return 0;
}
