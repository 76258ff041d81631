// Audio output over PortAudio (blocking writes), the no-device pacing and the recording sink.
//
// Locks: `s_stream_mutex` guards the configuration and the stream pointer, so that a stream
// reopen (slot loading) never overlaps a write (mixer task); `s_rec_mutex` guards the
// recording file, so that the exit hook can finish it while the mixer is blocked in a write;
// `s_pace_mutex` guards the pacing deadline.
#include "audio_ll.h"

#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>

#include "esp_log.h"
#include "esp_timer.h"
#include "stub.h"

static const char *TAG = "AUDIO_LL";

struct i2s_ll {
    i2s_ll_cfg_t config;
    std::atomic<bool> available;
    std::atomic<bool> mute;
    PaStreamParameters outputParameters;
    PaStream *stream;  // null until opened, and again after a close or a failed open
};

static i2s_ll s_i2s;
static std::mutex s_stream_mutex;
static std::atomic<bool> s_no_device{false};
static std::atomic<bool> s_stream_set{false};  // a stream format has been set
static std::atomic<i2s_ll_tap_t> s_tap{nullptr};

// ---------------------------------------------------------------- stderr silencing

// PortAudio's back-ends (ALSA, JACK) print their probing on standard error; it is noise for
// the user of a console program, so standard error points at /dev/null while they probe.
namespace {
class QuietStderr {
public:
    QuietStderr() {
        fflush(stderr);
        saved_ = dup(2);
        int nul = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && nul >= 0) dup2(nul, 2);
        if (nul >= 0) close(nul);
    }
    ~QuietStderr() {
        fflush(stderr);
        if (saved_ >= 0) {
            dup2(saved_, 2);
            close(saved_);
        }
    }
    QuietStderr(const QuietStderr &) = delete;
    QuietStderr &operator=(const QuietStderr &) = delete;

private:
    int saved_;
};
}  // namespace

// ---------------------------------------------------------------- recording

namespace {
struct recorder {
    std::string base;  // the path given by the user
    int counter = 0;   // 0 = base name, n = "-n" before the extension
    bool active = false;
    FILE *file = nullptr;
    std::string current;
    uint32_t rate = 0;
    uint16_t channels = 1;
    uint32_t data_bytes = 0;
    std::string error;  // "FILE: reason" of the write that failed; empty while none did
};
recorder s_rec;
std::mutex s_rec_mutex;
bool s_rec_hook_installed = false;

// Largest data size a RIFF header can describe, kept even.
constexpr uint32_t WAV_MAX_DATA = 0xFFFFFFFFu - 64;

void put_u32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

void put_u16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

// The reason for errno `error_number` (strerror() may share one buffer between threads).
std::string error_text(int error_number) {
    return std::generic_category().message(error_number != 0 ? error_number : EIO);
}

// Writes the header for the data so far and pushes everything to the file. 0, or the error.
int write_header(recorder &r) {
    uint8_t h[44];
    memcpy(h, "RIFF", 4);
    put_u32(h + 4, 36 + r.data_bytes);
    memcpy(h + 8, "WAVEfmt ", 8);
    put_u32(h + 16, 16);
    put_u16(h + 20, 1);
    put_u16(h + 22, r.channels);
    put_u32(h + 24, r.rate);
    put_u32(h + 28, r.rate * r.channels * 2);
    put_u16(h + 32, (uint16_t)(r.channels * 2));
    put_u16(h + 34, 16);
    memcpy(h + 36, "data", 4);
    put_u32(h + 40, r.data_bytes);
    errno = 0;
    // fseek() first writes what is buffered: a full disk shows here as often as below.
    if (fseek(r.file, 0, SEEK_SET) != 0 || fwrite(h, 1, sizeof h, r.file) != sizeof h ||
        fseek(r.file, 0, SEEK_END) != 0 || fflush(r.file) != 0)
        return errno != 0 ? errno : EIO;
    return 0;
}

// With s_rec_mutex held. A write of the recording failed (a full disk): says so once, closes the
// file (whose header describes what was written before) and records nothing more; the sound
// itself goes on.
void fail(recorder &r, std::string path, int error_number) {
    if (r.file != nullptr) fclose(r.file);
    r.file = nullptr;
    r.active = false;
    r.current.clear();
    if (!r.error.empty()) return;
    r.error = path + ": " + error_text(error_number);
    ESP_LOGE(TAG, "Cannot write the recording %s; recording stops", r.error.c_str());
}

std::string numbered_path(const std::string &base, int counter) {
    if (counter == 0) return base;
    size_t dot = base.rfind('.');
    size_t slash = base.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return base + "-" + std::to_string(counter);
    }
    return base.substr(0, dot) + "-" + std::to_string(counter) + base.substr(dot);
}

// With s_rec_mutex held. False when the file could not be finished (then recording stops).
bool finish_file(recorder &r) {
    if (r.file == nullptr) return true;
    int err = write_header(r);
    FILE *file = r.file;
    r.file = nullptr;
    if (fclose(file) != 0 && err == 0) err = errno;
    if (err != 0) {
        fail(r, r.current, err);
        return false;
    }
    r.current.clear();
    return true;
}

// With s_rec_mutex held. Opens the next file of the series at the given format.
bool open_file(recorder &r, uint32_t rate, uint16_t channels) {
    r.current = numbered_path(r.base, r.counter);
    r.file = fopen(r.current.c_str(), "wb");
    if (r.file == nullptr) {
        fail(r, r.current, errno);
        return false;
    }
    r.rate = rate;
    r.channels = channels;
    r.data_bytes = 0;
    if (const int err = write_header(r); err != 0) {
        fail(r, r.current, err);
        return false;
    }
    return true;
}

void record_exit_hook(void) {
    std::lock_guard<std::mutex> lock(s_rec_mutex);
    finish_file(s_rec);
    s_rec.active = false;
}

// Records `len` bytes of `data`, or of silence when `data` is null.
void record_buffer(const char *data, int len, int rate, int channels) {
    std::lock_guard<std::mutex> lock(s_rec_mutex);
    if (!s_rec.active || !s_stream_set.load()) return;
    uint32_t r = rate > 0 ? (uint32_t)rate : 32000;
    uint16_t ch = channels > 0 ? (uint16_t)channels : 1;
    if (s_rec.file != nullptr && (s_rec.rate != r || s_rec.channels != ch)) {
        if (!finish_file(s_rec)) return;
        s_rec.counter++;
    }
    if (s_rec.file != nullptr && (uint64_t)s_rec.data_bytes + (uint64_t)len > WAV_MAX_DATA) {
        // A RIFF header cannot count further: continue in the next file of the series.
        if (!finish_file(s_rec)) return;
        s_rec.counter++;
    }
    if (s_rec.file == nullptr && !open_file(s_rec, r, ch)) return;
    size_t n = 0;
    errno = 0;
    if (data != nullptr) {
        n = fwrite(data, 1, (size_t)len, s_rec.file);
    } else {
        static const char zeros[4096] = {};
        for (size_t left = (size_t)len; left > 0;) {
            const size_t chunk = left < sizeof zeros ? left : sizeof zeros;
            const size_t wrote = fwrite(zeros, 1, chunk, s_rec.file);
            n += wrote;
            if (wrote != chunk) break;
            left -= chunk;
        }
    }
    int err = n == (size_t)len ? 0 : (errno != 0 ? errno : EIO);
    // After a failure the header written with the last buffer that went in stays: a valid WAV
    // of what the file holds.
    if (err == 0) {
        s_rec.data_bytes += (uint32_t)n;
        err = write_header(s_rec);
    }
    if (err != 0) fail(s_rec, s_rec.current, err);
}
}  // namespace

esp_err_t i2s_ll_record_start(const char *path) {
    if (path == nullptr || path[0] == '\0') return ESP_FAIL;
    std::lock_guard<std::mutex> lock(s_rec_mutex);
    finish_file(s_rec);
    s_rec = recorder{};
    s_rec.base = path;
    // Fail early on an unwritable path rather than at the first write, and leave a valid
    // (empty) WAV file behind even when no stream is ever opened. The first recorded buffer
    // rewrites it with the stream's rate.
    s_rec.file = fopen(path, "wb");
    if (s_rec.file == nullptr) {
        ESP_LOGE(TAG, "Cannot write the recording %s: %s", path, error_text(errno).c_str());
        return ESP_FAIL;
    }
    s_rec.rate = 32000;
    s_rec.channels = 1;
    s_rec.current = path;
    s_rec.active = true;
    // A file that opens but cannot be written (a full disk) fails as a write during the run
    // does: said once, and the run goes on without recording.
    finish_file(s_rec);
    if (!s_rec_hook_installed) {
        s_rec_hook_installed = true;
        stub_on_exit(record_exit_hook);
        atexit(record_exit_hook);
    }
    return ESP_OK;
}

void i2s_ll_record_stop(void) {
    record_exit_hook();
}

bool i2s_ll_record_error(char *buf, int size) {
    std::lock_guard<std::mutex> lock(s_rec_mutex);
    if (buf != nullptr && size > 0) snprintf(buf, (size_t)size, "%s", s_rec.error.c_str());
    return !s_rec.error.empty();
}

void i2s_ll_record_current_path(char *buf, int size) {
    if (buf == nullptr || size <= 0) return;
    std::lock_guard<std::mutex> lock(s_rec_mutex);
    snprintf(buf, (size_t)size, "%s", s_rec.current.c_str());
}

// ---------------------------------------------------------------- pacing

static std::mutex s_pace_mutex;
static int64_t s_next_deadline_us = -1;
static int64_t s_play_us;  // play time of the buffers of the current schedule

// Sleeps until the end of the buffer's play time, measured from absolute deadlines: the time
// the caller spends between writes (mixing) is absorbed, so the stream keeps real time over
// minutes. A caller that fell far behind (a pause, a stopped debugger) starts a new schedule
// instead of rushing to catch up.
//
// A schedule starts on the grid of its buffer length counted from the clock's origin, not at
// the first write: when the mixer first writes depends on which start-up thread ran first, and
// the buffers set the moments at which readers hand over sound (and so the times of track ends).
// On the grid, those moments are the same in every run, in real and in simulated time.
static void pace(int len, int rate) {
    if (rate <= 0) rate = 32000;
    // Mono 16-bit samples, as the mixer writes them.
    int64_t play_us = (int64_t)len * 1000000 / rate / 2;
    int64_t deadline;
    {
        std::lock_guard<std::mutex> lock(s_pace_mutex);
        int64_t now = esp_timer_get_time();
        // Far behind (a pause), ahead of any schedule (the clock was switched) or another buffer
        // length (another stream rate): start anew.
        if (s_next_deadline_us < 0 || s_next_deadline_us < now - 200000 ||
            s_next_deadline_us > now + play_us + 200000 || play_us != s_play_us) {
            s_next_deadline_us = play_us > 0 ? now / play_us * play_us : now;
            s_play_us = play_us;
        }
        s_next_deadline_us += play_us;
        deadline = s_next_deadline_us;
    }
    stub_sleep_until_us(deadline);
}

// ---------------------------------------------------------------- device

void i2s_ll_set_no_device(bool no_device) {
    s_no_device.store(no_device);
}

// With s_stream_mutex held.
static void stream_close(i2s_ll *self) {
    if (self->stream == nullptr) return;
    Pa_CloseStream(self->stream);
    self->stream = nullptr;
}

// With s_stream_mutex held. Returns the first error.
static PaError stream_open(i2s_ll *self) {
    self->outputParameters.channelCount = self->config.channels;
    PaStream *stream = nullptr;
    PaError err;
    {
        QuietStderr quiet;
        err = Pa_OpenStream(&stream, nullptr, &self->outputParameters, (double)self->config.sample_rates,
                            2048, paClipOff, nullptr, nullptr);
        if (err == paNoError) {
            err = Pa_StartStream(stream);
            if (err != paNoError) Pa_CloseStream(stream);
        }
    }
    self->stream = err == paNoError ? stream : nullptr;
    return err;
}

i2s_ll_handle_t i2s_ll_init(i2s_ll_cfg_t *config) {
    if (config == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(s_stream_mutex);
    i2s_ll *self = &s_i2s;
    stream_close(self);
    self->config = *config;
    self->mute.store(false);
    self->available.store(false);
    s_stream_set.store(false);
    memset(&self->outputParameters, 0, sizeof self->outputParameters);
    if (s_no_device.load()) {
        ESP_LOGW(TAG, "Sound output disabled: sound is discarded");
        return self;
    }
    const PaDeviceInfo *info = nullptr;
    PaDeviceIndex device = paNoDevice;
    {
        QuietStderr quiet;
        if (Pa_Initialize() == paNoError) {
            device = Pa_GetDefaultOutputDevice();
            if (device != paNoDevice) info = Pa_GetDeviceInfo(device);
        }
    }
    if (info == nullptr) {
        ESP_LOGW(TAG, "No audio output device found: sound is discarded");
        return self;
    }
    self->outputParameters.device = device;
    self->outputParameters.channelCount = config->channels;
    self->outputParameters.sampleFormat = paInt16;
    self->outputParameters.suggestedLatency = info->defaultLowOutputLatency;
    self->outputParameters.hostApiSpecificStreamInfo = nullptr;
    self->available.store(true);
    return self;
}

esp_err_t i2s_ll_set_stream_data(i2s_ll_handle_t self, int sample_rates, int bits, int channels) {
    if (self == nullptr) return ESP_FAIL;
    std::lock_guard<std::mutex> lock(s_stream_mutex);
    self->config.sample_rates = sample_rates;
    self->config.bits = bits;
    self->config.channels = channels;
    s_stream_set.store(true);
    if (self->available.load()) {
        stream_close(self);
        // A refused format leaves the stream null: later writes fail (and pace) until the next change.
        stream_open(self);
    }
    return ESP_OK;
}

esp_err_t i2s_ll_set_mute(i2s_ll_handle_t self, bool state) {
    if (self == nullptr) return ESP_FAIL;
    self->mute.store(state);
    return ESP_OK;
}

void i2s_ll_set_tap(i2s_ll_tap_t tap) {
    s_tap.store(tap, std::memory_order_release);
}

bool i2s_ll_is_available(i2s_ll_handle_t self) {
    return self != nullptr && self->available.load();
}

int i2s_ll_write(i2s_ll_handle_t self, char *data, int len) {
    if (self == nullptr || data == nullptr || len <= 0) return -1;
    int rc = 0;
    bool paced;
    bool muted;
    int rate;
    int channels;
    {
        std::lock_guard<std::mutex> lock(s_stream_mutex);
        rate = self->config.sample_rates;
        channels = self->config.channels > 0 ? self->config.channels : 1;
        muted = self->mute.load();
        bool available = self->available.load();
        if (!muted && available) {
            if (self->stream == nullptr) {
                rc = -1;
            } else {
                PaError err = Pa_WriteStream(self->stream, data, (unsigned long)(len / (2 * channels)));
                // An underflow is reported after the data was written: only a lost write is a failure.
                if (err != paNoError && err != paOutputUnderflowed) rc = -1;
            }
        }
        paced = muted || !available || rc != 0;
    }
    // The recording holds what a listener hears: while muted that is silence, as long as the
    // sound that was not played.
    record_buffer(muted ? nullptr : data, len, rate, channels);
    if (i2s_ll_tap_t tap = s_tap.load(std::memory_order_acquire); tap != nullptr && s_stream_set.load())
        tap(muted ? nullptr : (const int16_t *)data, len / 2, rate > 0 ? rate : 32000, channels);
    if (paced) pace(len, rate);
    return rc;
}
