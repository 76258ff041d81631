// Output device on the no-device path: pacing against the platform clock, and recording.
#include <gtest/gtest.h>

#include "audio_files.h"
#include "audio_ll.h"
#include "esp_timer.h"
#include "files.h"
#include "test_support.h"

using namespace test_support;

namespace {

i2s_ll_handle_t init_without_device() {
    i2s_ll_set_no_device(true);
    i2s_ll_cfg_t cfg = {nullptr, 44100, 16, 2};
    return i2s_ll_init(&cfg);
}

// Waits, without moving the clock, until `done` (2 s of real time at most).
bool wait_for(const std::atomic<bool> &done) {
    for (int i = 0; i < 2000 && !done.load(); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done.load();
}

// Advances the manual clock in 1 ms steps until `done`; returns the clock then.
int64_t advance_until(ManualClock &clock, const std::atomic<bool> &done, int64_t limit_ms) {
    for (int64_t i = 0; i < limit_ms && !done.load(); i++) {
        clock.advance_ms(1);
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    wait_for(done);
    return esp_timer_get_time();
}

}  // namespace

TEST(AudioOutput, WithoutDeviceAWriteSleepsTheBuffersPlayTime) {
    LogCapture log;
    i2s_ll_handle_t h = init_without_device();
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(i2s_ll_is_available(h));
    EXPECT_EQ(log.count("sound is discarded"), 1) << log.dump();
    // Rate 0 counts as 32000 Hz: 4096 bytes play for 64 ms.
    ASSERT_EQ(i2s_ll_set_stream_data(h, 0, 16, 1), ESP_OK);
    ASSERT_EQ(i2s_ll_set_mute(h, true), ESP_OK);

    const int64_t start = 1000000000000;
    ManualClock clock(start);
    std::vector<char> buf(4096, 0);
    std::atomic<bool> started{false}, done{false};
    int rc = -2;
    std::thread writer([&] {
        started = true;
        rc = i2s_ll_write(h, buf.data(), (int)buf.size());
        done.store(true);
    });
    // Let the writer take its deadline before the clock moves (a thread may start late on a
    // loaded machine).
    for (int i = 0; i < 2000 && !started; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    clock.advance_ms(63);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(done.load()) << "returned before the buffer's play time";
    // The clock then stays at the play time: the write must return there, not a step later.
    clock.advance_ms(1);
    const bool returned = wait_for(done);
    if (!returned) clock.advance_ms(1000);  // let it end, so that it can be joined
    writer.join();
    EXPECT_TRUE(returned) << "did not return at the buffer's play time";
    EXPECT_EQ(rc, 0);
    i2s_ll_set_mute(h, false);
}

TEST(AudioOutput, PacingUsesAbsoluteDeadlinesSoMixingTimeDoesNotAccumulate) {
    i2s_ll_handle_t h = init_without_device();
    ASSERT_EQ(i2s_ll_set_stream_data(h, 32000, 16, 1), ESP_OK);
    const int64_t start = 2000000000000;
    ManualClock clock(start);
    std::vector<char> buf(4096, 0);
    std::atomic<bool> done{false};
    std::atomic<int> written{0};
    std::thread writer([&] {
        for (int i = 0; i < 10; i++) {
            // Each cycle spends 10 ms mixing before it writes.
            stub_clock_advance_us(10000);
            i2s_ll_write(h, buf.data(), (int)buf.size());
            written++;
        }
        done.store(true);
    });
    // Let the writer mix its first buffer and take its deadline before the clock moves.
    for (int i = 0; i < 2000 && esp_timer_get_time() < start + 10000; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // The clock stops at the end of each buffer's play time until that write has returned, so
    // that a writer woken late (a loaded machine) does not see the clock run on past its wake.
    for (int k = 1; k <= 10; k++) {
        while (esp_timer_get_time() < start + k * 64000)
            clock.advance_ms(1);
        for (int i = 0; i < 1000 && written.load() < k; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    int64_t end = advance_until(clock, done, 2000);
    writer.join();
    // Ten buffers of 64 ms on the grid of the buffer length (the start is on it): 640 ms of
    // stream, the mixing absorbed; relative sleeps would take 740 ms or more.
    EXPECT_EQ(end - start, 640000);
}

TEST(AudioOutput, RecordingKeepsAValidHeaderAndStartsANewFileOnARateChange) {
    TempFolder dir;
    i2s_ll_handle_t h = init_without_device();
    ASSERT_EQ(i2s_ll_record_start(dir.file("rec.wav").c_str()), ESP_OK);
    std::vector<int16_t> a(160), b(160), c(220);
    for (size_t i = 0; i < a.size(); i++)
        a[i] = (int16_t)(i * 3 - 100);
    for (size_t i = 0; i < b.size(); i++)
        b[i] = (int16_t)(-(int)i * 7);
    for (size_t i = 0; i < c.size(); i++)
        c[i] = (int16_t)(i + 1000);

    // Nothing is recorded before a stream format is set.
    ASSERT_EQ(i2s_ll_write(h, (char *)c.data(), (int)c.size() * 2), 0);
    ASSERT_EQ(i2s_ll_set_stream_data(h, 16000, 16, 1), ESP_OK);
    ASSERT_EQ(i2s_ll_write(h, (char *)a.data(), (int)a.size() * 2), 0);
    WavData w = read_wav(dir.file("rec.wav"));
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.rate, 16000u);
    EXPECT_EQ(w.channels, 1);
    EXPECT_EQ(w.data_size, 320u);
    EXPECT_EQ(w.riff_size, 36u + 320u);
    EXPECT_EQ(w.samples, a);

    ASSERT_EQ(i2s_ll_write(h, (char *)b.data(), (int)b.size() * 2), 0);
    ASSERT_EQ(i2s_ll_set_stream_data(h, 16000, 16, 1), ESP_OK);  // same rate: same file
    w = read_wav(dir.file("rec.wav"));
    EXPECT_EQ(w.data_size, 640u);
    std::vector<int16_t> ab = a;
    ab.insert(ab.end(), b.begin(), b.end());
    EXPECT_EQ(w.samples, ab);

    ASSERT_EQ(i2s_ll_set_stream_data(h, 22050, 16, 1), ESP_OK);
    ASSERT_EQ(i2s_ll_write(h, (char *)c.data(), (int)c.size() * 2), 0);
    char current[512];
    i2s_ll_record_current_path(current, sizeof current);
    EXPECT_EQ(std::string(current), dir.file("rec-1.wav"));
    i2s_ll_record_stop();
    w = read_wav(dir.file("rec.wav"));
    EXPECT_EQ(w.samples, ab);
    WavData w1 = read_wav(dir.file("rec-1.wav"));
    ASSERT_TRUE(w1.ok);
    EXPECT_EQ(w1.rate, 22050u);
    EXPECT_EQ(w1.samples, c);
    EXPECT_EQ(w1.riff_size, 36u + 440u);

    // After the end of the recording nothing more is written.
    ASSERT_EQ(i2s_ll_write(h, (char *)c.data(), (int)c.size() * 2), 0);
    EXPECT_EQ(read_wav(dir.file("rec-1.wav")).samples, c);
}

TEST(AudioOutput, InvalidArguments) {
    char buf[4] = {};
    EXPECT_EQ(i2s_ll_init(nullptr), nullptr);
    EXPECT_EQ(i2s_ll_write(nullptr, buf, 4), -1);
    EXPECT_EQ(i2s_ll_set_mute(nullptr, true), ESP_FAIL);
    EXPECT_EQ(i2s_ll_set_stream_data(nullptr, 32000, 16, 1), ESP_FAIL);
    EXPECT_EQ(i2s_ll_record_start(""), ESP_FAIL);
    EXPECT_EQ(i2s_ll_record_start("/nonexistent-folder/x.wav"), ESP_FAIL);
}

TEST(AudioOutput, ARecordingWithoutAnyStreamIsAnEmptyValidWav) {
    TempFolder dir;
    init_without_device();
    ASSERT_EQ(i2s_ll_record_start(dir.file("empty.wav").c_str()), ESP_OK);
    i2s_ll_record_stop();
    WavData w = read_wav(dir.file("empty.wav"));
    ASSERT_TRUE(w.ok);
    EXPECT_EQ(w.data_size, 0u);
    EXPECT_EQ(w.riff_size, 36u);
    EXPECT_TRUE(w.samples.empty());
}
