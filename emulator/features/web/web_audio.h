// The panel's sound: a tap on the sound output copies every buffer the mixer sends into a ring
// that the server's sound thread empties. The mixer never waits: when the ring is full (the
// server has fallen behind) the buffer is left out of the pages' sound, never out of the
// decoder's.
//
// Audio frame, one binary WebSocket message per buffer (little-endian):
//   bytes 0..3   "PCM1"
//   bytes 4..7   sample rate, Hz (uint32)
//   bytes 8..11  sequence number (uint32), one per buffer the mixer wrote while a page listened
//   bytes 12..19 the moment the buffer went to the sound output, on the server's clock in ms
//                (double; the clock the "pong" answers give)
//   bytes 20..   16-bit mono samples
#pragma once

#include <cstdint>
#include <string>

constexpr size_t WEB_AUDIO_HEADER = 20;

// Installs the tap (once).
void web_audio_install(void);
// While false (no page listens) the tap copies nothing.
void web_audio_set_listening(bool listening);
// Blocks until the mixer has written the next buffer and returns it as an audio frame.
std::string web_audio_next_frame(void);
// The server's clock in ms (the platform clock).
double web_server_ms(void);
