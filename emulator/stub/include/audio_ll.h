// The audio output device: the mixed stream goes to the host's default sound output through
// PortAudio in blocking-write mode. Without a device (or with --no-sound, or while muted) every
// write sleeps the buffer's play time, so the mixer keeps real-time pace and the readers drain
// exactly as they would with a device. Every buffer written can also be recorded to a WAV file.
//
// The firmware (mixer, sound engine) includes this header as a platform header: C-style, with
// the i2s_ll_ prefix.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "esp_err.h"

#ifdef __cplusplus
extern "C" {
#endif

// Opaque hardware channel handle of the decoder board; not used on the host.
typedef void *i2s_chan_handle_t;

typedef struct {
    i2s_chan_handle_t i2s_port;
    int sample_rates;  // Hz
    int bits;
    int channels;
} i2s_ll_cfg_t;

// One static instance for the whole program.
typedef struct i2s_ll *i2s_ll_handle_t;

// Prepares the default output device; no stream is opened yet. Without an output device the
// handle still exists with `available` false (one warning line says that sound is discarded).
// Null only for a null configuration.
i2s_ll_handle_t i2s_ll_init(i2s_ll_cfg_t *config);
// Stores the stream format and, with a device, closes and reopens the stream with it.
esp_err_t i2s_ll_set_stream_data(i2s_ll_handle_t self, int sample_rates, int bits, int channels);
esp_err_t i2s_ll_set_mute(i2s_ll_handle_t self, bool state);
// Writes `len` bytes of 16-bit samples. 0, or -1 when the stream write fails (after sleeping
// the buffer's play time, so that a refusing device never makes the caller spin).
int i2s_ll_write(i2s_ll_handle_t self, char *data, int len);
// True when the default output device was found and the stream parameters prepared.
bool i2s_ll_is_available(i2s_ll_handle_t self);

// ---- host controls (emulator options and tests) ----

// Never open an audio device: the next i2s_ll_init takes the no-device path.
void i2s_ll_set_no_device(bool no_device);
// Records every buffer written from now on (once a stream format has been set) into a 16-bit
// WAV file at the stream rate. A later stream-rate change continues in a new file named with a
// counter: rec.wav, rec-1.wav, rec-2.wav, ... The header is valid after every write.
// 0, or -1 when the path cannot be opened.
esp_err_t i2s_ll_record_start(const char *path);
// Finishes and closes the current recording file; nothing more is recorded.
void i2s_ll_record_stop(void);
// A write, flush or close of the recording failed (a full disk), at the start or later: the
// failure was logged once and recording stopped, while the sound went on. True until the next
// i2s_ll_record_start, with "FILE: reason" in `buf` (at most size - 1 chars; may be null).
bool i2s_ll_record_error(char *buf, int size);
// Path of the file being recorded (empty when none is open); copies at most size - 1 chars.
void i2s_ll_record_current_path(char *buf, int size);

// A listener to everything sent to the sound output (the web panel's sound): called on the
// mixer's thread with each buffer as a listener hears it, `samples` null for silence (while
// muted), `count` 16-bit samples of `channels` interleaved channels at `rate` Hz. It must
// return at once: copy and hand over, never wait. Null removes it.
typedef void (*i2s_ll_tap_t)(const int16_t *samples, int count, int rate, int channels);
void i2s_ll_set_tap(i2s_ll_tap_t tap);

#ifdef __cplusplus
}
#endif
