// The sound tap and its ring: one producer (the mixer's thread, in i2s_ll_write) and one
// consumer (the server's sound thread). The indexes are atomics; a slot belongs to the producer
// until `head` passes it and to the consumer until `tail` does, so neither side ever waits for
// the other. The consumer sleeps on `head` (an atomic wait), which the producer wakes.
#include "web_audio.h"

#include <atomic>
#include <cstring>

#include "audio_ll.h"
#include "esp_timer.h"

namespace {

// 32 buffers of the mixer (64 ms each at 32 kHz) are two seconds: far more than the sound
// thread ever lags behind.
constexpr uint32_t SLOTS = 32;
constexpr int SLOT_SAMPLES = 4096;

struct slot {
    int16_t samples[SLOT_SAMPLES];
    int count;
    int rate;
    double ms;
};

slot s_ring[SLOTS];
std::atomic<uint32_t> s_head{0};  // slots written
std::atomic<uint32_t> s_tail{0};  // slots taken
std::atomic<bool> s_listening{false};
std::atomic<uint32_t> s_sequence{0};

void put_u32(char *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (char)(v >> (8 * i));
}

// On the mixer's thread: copy and go. Only the first channel is kept (the mixer writes mono).
void tap(const int16_t *samples, int count, int rate, int channels) {
    if (!s_listening.load(std::memory_order_relaxed) || channels < 1) return;
    const double ms = web_server_ms();
    for (int done = 0; done < count / channels;) {
        const uint32_t head = s_head.load(std::memory_order_relaxed);
        if (head - s_tail.load(std::memory_order_acquire) >= SLOTS) return;  // the server lags: skip
        slot &s = s_ring[head % SLOTS];
        const int n = count / channels - done < SLOT_SAMPLES ? count / channels - done : SLOT_SAMPLES;
        for (int i = 0; i < n; i++)
            s.samples[i] = samples != nullptr ? samples[(size_t)(done + i) * (size_t)channels] : 0;
        s.count = n;
        s.rate = rate;
        s.ms = ms + (double)done * 1000.0 / rate;
        s_head.store(head + 1, std::memory_order_release);
        s_head.notify_one();
        done += n;
    }
}

}  // namespace

double web_server_ms(void) {
    return (double)esp_timer_get_time() / 1000.0;
}

void web_audio_install(void) {
    i2s_ll_set_tap(tap);
}

void web_audio_set_listening(bool listening) {
    s_listening.store(listening, std::memory_order_relaxed);
}

std::string web_audio_next_frame(void) {
    const uint32_t tail = s_tail.load(std::memory_order_relaxed);
    s_head.wait(tail, std::memory_order_acquire);
    const slot &s = s_ring[tail % SLOTS];
    std::string frame(WEB_AUDIO_HEADER + (size_t)s.count * 2, '\0');
    memcpy(frame.data(), "PCM1", 4);
    put_u32(frame.data() + 4, (uint32_t)s.rate);
    put_u32(frame.data() + 8, s_sequence.fetch_add(1, std::memory_order_relaxed));
    memcpy(frame.data() + 12, &s.ms, 8);
    memcpy(frame.data() + WEB_AUDIO_HEADER, s.samples, (size_t)s.count * 2);
    s_tail.store(tail + 1, std::memory_order_release);
    return frame;
}
