// Audio reader: real reader tasks, drained by a stand-in for the mixer. Waits are on
// notifications and buffer counts with generous time-outs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>

#include "audio_files.h"
#include "files.h"
#include "reader_helpers.h"
#include "test_support.h"
#include "tone_detector.h"

using namespace test_support;

namespace {

constexpr uint32_t RATE = 32000;
constexpr size_t BUF_SAMPLES = 2048;  // 4096-byte buffers of mono 16-bit samples

std::vector<int16_t> pattern(size_t n, std::function<int16_t(size_t)> f) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = f(i);
    return v;
}

std::vector<int16_t> constant(size_t n, int16_t value) {
    return pattern(n, [&](size_t) { return value; });
}

// `samples` as the 16-bit PCM file `name` in `dir`; its path ("" when it cannot be written).
std::string pcm_file(const TempFolder &dir, const std::string &name, const std::vector<int16_t> &samples,
                     uint32_t rate = RATE, uint16_t channels = 1) {
    const std::string path = dir.file(name);
    return write_pcm_wav(path, samples, rate, channels) ? path : "";
}

// A tone written by sox as IMA ADPCM into `dir`, and sox's own decoding of it (at most 40000
// samples); the file's path ("" when sox failed).
std::string sox_adpcm(const TempFolder &dir, const std::string &name, const std::string &synth,
                      std::vector<int16_t> *decoded = nullptr) {
    const std::string path = dir.file(name), raw = dir.file(name + ".raw");
    if (!sox("-n -r 32000 -c 1 -e ima-adpcm " + path + " synth " + synth)) return "";
    if (decoded == nullptr) return path;
    if (!sox(path + " -t raw -e signed-integer -b 16 " + raw)) return "";
    *decoded = read_raw_s16(raw);
    decoded->resize(std::min<size_t>(decoded->size(), 40000));
    return path;
}

// Waits until the task has produced `buffers` buffers (the produced time advances before a
// buffer waits for the slot): with nobody draining, two buffers mean the slot is full and the
// task waits to hand over the next.
bool wait_produced(audio_reader_handle_t h, uint32_t length_ms, uint32_t buffers) {
    for (int i = 0; i < 5000; i++) {
        if (audio_reader_get_remaining_time(h) + buffers * 64 <= length_ms) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

buf_item_t take(audio_reader_handle_t h, int timeout_ms = 5000) {
    for (int i = 0; i < timeout_ms; i++) {
        buf_item_t item = audio_reader_get_data(h);
        if (item.data != nullptr) return item;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return {nullptr, 0};
}

}  // namespace

TEST(AudioReader, LoopingPcmDeliversOnlyFullBuffersJoinedSeamlessly) {
    TempFolder dir;
    // 5000 samples: not a multiple of the buffer, so every pass ends with a short buffer.
    auto src = pattern(5000, [](size_t i) { return (int16_t)(i * 6 - 15000); });
    TestReader r;
    ASSERT_TRUE(r.load(pcm_file(dir, "loop.wav", src)));
    auto buffers = r.loop(8);
    ASSERT_GE(buffers.size(), 8u);
    for (size_t b = 0; b < 8; b++)
        EXPECT_EQ(buffers[b].size(), BUF_SAMPLES) << "buffer " << b;
    auto all = concat(std::vector<std::vector<int16_t>>(buffers.begin(), buffers.begin() + 8));
    for (size_t i = 0; i < all.size(); i++) {
        ASSERT_EQ(all[i], src[i % src.size()]) << "sample " << i;
    }
}

// A file cut short inside a stereo frame (1, 2 or 3 bytes into it) ends with its last whole
// frame: a part frame would shift every later sample by a byte or swap the channels, here
// visible in the one-shot play's length and in the loop's joins.
TEST(AudioReader, FileCutInsideAFramePlaysWholeFramesOnly) {
    TempFolder dir;
    auto src = pattern(5000, [](size_t i) { return (int16_t)(i % 2 ? 1000 + i : -1000 - (int)i); });
    const size_t kept_frames = 2000;  // the file holds 2000 frames and a part of the next
    for (int extra : {1, 2, 3}) {
        SCOPED_TRACE(extra);
        std::string path = pcm_file(dir, "cut" + std::to_string(extra) + ".wav", src, RATE, 2);
        ASSERT_EQ(truncate(path.c_str(), (off_t)(44 + kept_frames * 4 + extra)), 0);
        std::vector<int16_t> whole(src.begin(), src.begin() + kept_frames * 2);

        TestReader r;
        ASSERT_TRUE(r.load(path));
        EXPECT_EQ(concat(r.play_once()), whole);
        auto all = concat(r.loop(4));
        ASSERT_GE(all.size(), 4 * 2 * BUF_SAMPLES);
        for (size_t i = 0; i < 4 * 2 * BUF_SAMPLES; i++) {
            ASSERT_EQ(all[i], whole[i % whole.size()]) << "sample " << i;
        }
    }
}

TEST(AudioReader, FadeInRampsToUnityExactly) {
    TempFolder dir;
    TestReader r;
    ASSERT_TRUE(r.load(pcm_file(dir, "const.wav", constant(40000, 16384))));
    auto all = concat(r.play_once(500));
    ASSERT_EQ(all.size(), 40000u);
    // 500 ms at 32000 Hz: 16000 samples, a step of 67108 per sample.
    EXPECT_EQ(all[0], 0);
    EXPECT_EQ(all[1000], (int16_t)((1000u * 67108u) >> 16));
    EXPECT_EQ(all[16000], 16383);
    for (size_t i = 16001; i < all.size(); i++)
        ASSERT_EQ(all[i], 16384) << "sample " << i;
    for (size_t i = 1; i < 16001; i++)
        ASSERT_GE(all[i], all[i - 1]) << "sample " << i;
    EXPECT_EQ(audio_reader_get_volume(r.h), AUDIO_UNITY_VOLUME);
}

TEST(AudioReader, GainRampNearDoubleVolumeSaturatesInsteadOfWrapping) {
    TempFolder dir;
    TestReader r;
    file_info_t *info = nullptr;
    ASSERT_TRUE(r.load(pcm_file(dir, "const.wav", constant(40000, 10000)), &info, 200));
    ASSERT_EQ(info->volume.load(), 200u * 10737418u);
    auto all = concat(r.play_once(500));
    ASSERT_EQ(all.size(), 40000u);
    // Gain 32767/16384 once the ramp has ended at the file gain; a wrap would give silence.
    for (size_t i = 17000; i < all.size(); i++)
        ASSERT_EQ(all[i], 19999) << "sample " << i;
    EXPECT_EQ(audio_reader_get_volume(r.h), 200u * 10737418u);
}

TEST(AudioReader, StopCutsTheWaitingBufferAtItsFirstZeroCrossing) {
    TempFolder dir;
    // 1 kHz sine starting at 45 degrees: the first zero crossing is at sample 12.
    auto src = pattern(32000, [](size_t i) {
        return (int16_t)std::lround(10000 * std::sin(2 * M_PI * 1000.0 * (double)(i + 4) / RATE));
    });
    TestReader r;
    ASSERT_TRUE(r.load(pcm_file(dir, "sine.wav", src)));
    ASSERT_EQ(audio_reader_play(r.h, true, 0, 0), ESP_OK);
    ASSERT_TRUE(wait_produced(r.h, 1000, 2));
    audio_reader_stop(r.h, 0);
    buf_item_t item = audio_reader_get_data(r.h);
    ASSERT_NE(item.data, nullptr);
    EXPECT_EQ(item.len, 24);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(item.data[i], src[i]) << i;
    free(item.data);
    ASSERT_TRUE(r.stops.wait_for(1));
    EXPECT_EQ(audio_reader_get_task_state(r.h), TASK_IDLE);
}

// A fade-out runs from the file gain to silence in its time, also when the volume changes while
// it runs: dynamic volume (logic conditions, CV 192/193) lowers gains at any moment.
TEST(AudioReader, StopWithFadeRampsDownToSilenceAndEnds) {
    for (const int lowered_to : {0, 50}) {
        SCOPED_TRACE(lowered_to ? "volume lowered during the fade" : "volume unchanged");
        TempFolder dir;
        TestReader r;
        ASSERT_TRUE(r.load(pcm_file(dir, "const.wav", constant(8000, 20000))));
        TimerPump pump;
        LogCapture log;
        Drainer drain(r.h, 1000);
        ASSERT_EQ(audio_reader_play(r.h, true, 0, 0), ESP_OK);
        ASSERT_TRUE(drain.wait_for_count(3));
        ASSERT_EQ(audio_reader_stop(r.h, 200), ESP_OK);
        if (lowered_to != 0) {
            ASSERT_EQ(audio_reader_set_volume(r.h, (uint8_t)lowered_to), ESP_OK);
        }
        ASSERT_TRUE(r.stops.wait_for(1));
        drain.stop();
        auto all = concat(drain.buffers());
        size_t start = 0;
        while (start < all.size() && all[start] == 20000)
            start++;
        ASSERT_LT(start, all.size()) << "no fade-out was heard";
        // 200 ms at 32000 Hz: the gain falls by 1/6400 of the file gain per sample.
        for (size_t i = start + 1; i < all.size(); i++)
            ASSERT_LE(all[i], all[i - 1]) << "sample " << i;
        ASSERT_GT(all.size(), start + 6400);
        EXPECT_EQ(all[start + 6400], 0);
        EXPECT_EQ(all.back(), 0);
        EXPECT_TRUE(log.contains("Stopping task")) << log.dump();
    }
}

TEST(AudioReader, PlayWhileAudibleRestartsFromTheBeginning) {
    TempFolder dir;
    auto src = pattern(100000, [](size_t i) { return (int16_t)(i % 20000 + 1); });
    TestReader r;
    ASSERT_TRUE(r.load(pcm_file(dir, "ramp.wav", src)));
    ASSERT_EQ(audio_reader_play(r.h, false, 0, 0), ESP_OK);
    buf_item_t first = take(r.h);
    ASSERT_NE(first.data, nullptr);
    EXPECT_EQ(first.data[0], src[0]);
    free(first.data);
    ASSERT_TRUE(wait_produced(r.h, 3125, 3));
    ASSERT_EQ(audio_reader_play(r.h, false, 0, 0), ESP_OK);
    // The waiting buffer has no zero crossing and is dropped; what follows starts at sample 0.
    buf_item_t next = take(r.h);
    ASSERT_NE(next.data, nullptr);
    ASSERT_EQ(next.len, BUF_SAMPLES * 2);
    for (size_t i = 0; i < BUF_SAMPLES; i++)
        ASSERT_EQ(next.data[i], src[i]) << i;
    free(next.data);
    EXPECT_EQ(r.stops.count(), 0);
    audio_reader_stop(r.h, 0);
    ASSERT_TRUE(r.stops.wait_for(1));
}

TEST(AudioReader, EndNotificationComesOnceAtItsLeadTimeAndFadesOut) {
    TempFolder dir;
    TestReader r(4096, true);
    ASSERT_TRUE(r.load(pcm_file(dir, "one_second.wav", constant(32000, 1000))));
    TimerPump pump;
    auto buffers = r.play_once(0, 300);
    EXPECT_EQ(r.ends(), 1);
    // Buffers are 64 ms: the first that starts less than 300 ms before the end starts at 704 ms.
    EXPECT_EQ(r.remaining_at_end_call, 296u);
    ASSERT_EQ(buffers.size(), 16u);
    // The call comes after buffer 11 has passed the gain stage: the fade over 300 ms (9600
    // samples) starts with buffer 12 and ends 7424 samples later, with the file.
    for (int16_t s : buffers[11])
        ASSERT_EQ(s, 1000);
    const uint32_t step = AUDIO_UNITY_VOLUME / 9600;
    EXPECT_EQ(buffers[12].front(), (int16_t)(((AUDIO_UNITY_VOLUME - 0 * step) >> 16) * 1000 / 16384));
    EXPECT_EQ(buffers[12][1], (int16_t)(((AUDIO_UNITY_VOLUME - 1 * step) >> 16) * 1000 / 16384));
    EXPECT_EQ(buffers[15].back(), (int16_t)(((AUDIO_UNITY_VOLUME - 7423 * step) >> 16) * 1000 / 16384));
}

TEST(AudioReader, FileNameParameters) {
    struct Case {
        const char *path;
        const char *key;
        uint32_t value;
    } cases[] = {
        {"data/1/horn_T1500.wav", "_T", 1500}, {"data/1/x_Lx_L20000.wav", "_L", 20000},
        {"data/1/x_L_V50.wav", "_V", 50},      {"data/1/plain.wav", "_T", 0},
        {"data/1/a_T.wav", "_T", 0},           {"data/1/a_V123456789012.wav", "_V", 1234567890},
    };
    for (auto &c : cases)
        EXPECT_EQ(audio_reader_name_param(c.path, c.key), c.value) << c.path;

    TempFolder dir;
    TestReader r;
    LogCapture log;
    ASSERT_TRUE(r.load(pcm_file(dir, "horn_T1500.wav", constant(3200, 100))));
    EXPECT_EQ(audio_reader_get_duration(r.h), 1501u);
    EXPECT_TRUE(log.contains("] Custom duration 1500")) << log.dump();
}

TEST(AudioReader, VolumeFromArgumentAndFileName) {
    struct Case {
        const char *name;
        uint8_t arg;
        uint32_t gain;
    } cases[] = {
        {"a_V80.wav", 50, 429496720u},                             // 40 %
        {"b_V50.wav", 1, 0},                                       // product 0: silence
        {"c.wav", 250, AUDIO_UNITY_VOLUME},                        // out of range: 100 %
        {"d_V0.wav", AUDIO_VOLUME_NOT_GIVEN, AUDIO_UNITY_VOLUME},  // nothing set
        {"g.wav", 0, 0},                                           // silence
        {"e_V200.wav", 100, 2147483600u},                          // 200 %
        {"f_V150.wav", 200, AUDIO_UNITY_VOLUME},                   // 300 %: above the limit, unity
    };
    TempFolder dir;
    for (auto &c : cases) {
        TestReader r;
        file_info_t *info = nullptr;
        ASSERT_TRUE(r.load(pcm_file(dir, c.name, constant(320, 100)), &info, c.arg));
        EXPECT_EQ(info->volume.load(), c.gain) << c.name;
    }
}

TEST(AudioReader, LoopLengthStopsTheLoopOnce) {
    TempFolder dir;
    TestReader r;
    LogCapture log;
    ASSERT_TRUE(r.load(pcm_file(dir, "idle_L300.wav", constant(3000, 500))));
    EXPECT_TRUE(log.contains("] Custom loop length 300")) << log.dump();
    TimerPump pump;
    // The stand-in mixer takes a buffer every 2 ms, far faster than real time: a stop re-armed
    // on every buffer would never reach its 1000 ms fade's end.
    Drainer drain(r.h, 2000);
    ASSERT_EQ(audio_reader_play(r.h, true, 0, 0), ESP_OK);
    EXPECT_TRUE(r.stops.wait_for(1, 10000)) << "the loop never ended";
}

TEST(AudioReader, OggPlaysAndDropsItsLastPartialBuffer) {
    TempFolder dir;
    std::string path = dir.file("tone.ogg");
    ASSERT_TRUE(sox("-n -r 32000 -c 1 " + path + " synth 0.5 sine 1000 vol 0.5"));
    TestReader r;
    file_info_t *info = nullptr;
    ASSERT_TRUE(r.load(path, &info));
    EXPECT_EQ(info->format, AUDIO_FORMAT_OGG);
    EXPECT_EQ(info->data_len, 16000u);
    EXPECT_EQ(audio_reader_get_duration(r.h), 500u);
    auto buffers = r.play_once();
    // 16000 frames: 7 full buffers of 2048; the last 1664 frames are not delivered.
    ASSERT_EQ(buffers.size(), 7u);
    for (auto &b : buffers)
        EXPECT_EQ(b.size(), BUF_SAMPLES);
    auto all = concat(buffers);
    const ToneDetector tones(RATE, 8192);
    double at_tone = tones.power(all.data() + 2048, 1000);
    double off_tone = tones.power(all.data() + 2048, 1500);
    EXPECT_GT(at_tone, 1000.0 * off_tone);

    // Played again, it starts from its beginning.
    EXPECT_EQ(concat(r.play_once()), all);
}

TEST(AudioReader, AdpcmPlaysAsSoxDecodesIt) {
    TempFolder dir;
    std::vector<int16_t> expected;
    const std::string adpcm = sox_adpcm(dir, "tone.wav", "0.7 sine 440 vol 0.7", &expected);
    TestReader r;
    file_info_t *info = nullptr;
    ASSERT_TRUE(r.load(adpcm, &info));
    EXPECT_EQ(info->format, AUDIO_FORMAT_ADPCM);
    auto all = concat(r.play_once());
    ASSERT_GT(all.size(), 10000u);
    ASSERT_LE(all.size(), expected.size());
    for (size_t i = 0; i < all.size(); i++)
        ASSERT_EQ(all[i], expected[i]) << "sample " << i;
}

TEST(AudioReader, LoopingAdpcmDeliversFullBuffers) {
    TempFolder dir;
    TestReader r;
    LogCapture log;
    ASSERT_TRUE(r.load(sox_adpcm(dir, "loop.wav", "0.3 sine 440 vol 0.7")));
    auto buffers = r.loop(20);
    for (size_t b = 0; b < 20; b++)
        EXPECT_EQ(buffers[b].size(), BUF_SAMPLES) << "buffer " << b;
    EXPECT_TRUE(log.contains("Cut at")) << log.dump();
    EXPECT_FALSE(log.contains("Wrong loop sync")) << log.dump();
}

TEST(AudioReader, StartPositions) {
    TempFolder dir;
    auto src = pattern(16000, [](size_t i) { return (int16_t)(i + 1); });
    TestReader r;
    LogCapture log;
    ASSERT_TRUE(r.load(pcm_file(dir, "ramp.wav", src)));

    // 250 ms in: sample 8000.
    ASSERT_EQ(audio_reader_set_position(r.h, 250), ESP_OK);
    auto all = concat(r.play_once());
    ASSERT_EQ(all.size(), 8000u);
    EXPECT_EQ(all.front(), src[8000]);
    EXPECT_EQ(all.back(), src.back());
    // Far beyond the end: the play ends at once, without a read past the data.
    ASSERT_EQ(audio_reader_set_position(r.h, 65535), ESP_OK);
    EXPECT_EQ(r.play_once().size(), 0u);
    EXPECT_FALSE(log.contains("Unexpected end of file")) << log.dump();
    // The position applied to one start only.
    EXPECT_EQ(concat(r.play_once()), src);
}

TEST(AudioReader, LoopWithoutAudioEndsWithAnError) {
    TempFolder dir;
    // IMA ADPCM blocks whose step index (200) is invalid: nothing decodes.
    std::vector<uint8_t> fmt, blocks;
    put16(fmt, 0x11);
    put16(fmt, 1);
    put32(fmt, RATE);
    put32(fmt, RATE / 2);
    put16(fmt, 256);  // block align
    put16(fmt, 4);
    put16(fmt, 2);
    put16(fmt, 505);  // samples per block
    for (int blk = 0; blk < 4; blk++) {
        blocks.insert(blocks.end(), {0, 0, 200, 0});
        blocks.insert(blocks.end(), 252, 0x11);
    }
    const std::string path = dir.file("broken.wav");
    ASSERT_TRUE(
        write_bytes(path, WavBytes("WAVE", 0).chunk("fmt ", 20, fmt).chunk("data", 4 * 256, blocks).bytes()));

    TestReader r;
    LogCapture log;
    ASSERT_TRUE(r.load(path));
    Drainer drain(r.h);
    ASSERT_EQ(audio_reader_play(r.h, true, 0, 0), ESP_OK);
    EXPECT_TRUE(r.stops.wait_for(1)) << "the looping task spins without audio";
    EXPECT_TRUE(log.contains("No audio in the file")) << log.dump();
}

namespace {
// A 16-byte or 20-byte "fmt " chunk followed by a data chunk of `data` zero bytes.
std::string write_header_file(const TempFolder &dir, const std::string &name, uint16_t tag, uint16_t channels,
                              uint32_t rate, uint16_t align, uint16_t bits, uint32_t data) {
    const bool adpcm = tag == 0x11;
    const uint16_t per_block =
        adpcm ? (uint16_t)((align - 4 * channels) * 2 / (channels ? channels : 1) + 1) : 0;
    const std::string path = dir.file(name);
    WavBytes wav("WAVE", 0);
    write_bytes(
        path, wav.fmt(adpcm ? 20 : 16, tag, channels, rate, align, bits, per_block).data(data, data).bytes());
    return path;
}
}  // namespace

TEST(AudioReader, UnsupportedFilesAreRefusedWithoutLeakingDescriptors) {
    TempFolder dir;
    struct Case {
        std::string path;
        const char *message;
    } cases[] = {
        {write_header_file(dir, "rate0.wav", 1, 1, 0, 2, 16, 64), "E ("},
        {write_header_file(dir, "rate70000.wav", 1, 1, 70000, 2, 16, 64),
         "Not supported sample rate = 70000"},
        {write_header_file(dir, "rate50.wav", 1, 1, 50, 2, 16, 64), "Not supported sample rate = 50"},
        {write_header_file(dir, "pcm8.wav", 1, 1, 32000, 1, 8, 64), "Not supported PCM file. Bits=8"},
        {write_header_file(dir, "adpcm3.wav", 0x11, 3, 32000, 256, 4, 768), "E ("},
        {write_header_file(dir, "adpcm_tiny_block.wav", 0x11, 1, 32000, 4, 4, 64), "E ("},
        {write_header_file(dir, "float.wav", 3, 1, 32000, 4, 32, 64), "Not supported format = 3"},
        {dir.file("missing.wav"), "Failed to open file for reading"},
        {dir.file("missing.ogg"), "Could not open file"},
    };
    std::string text_ogg = dir.file("text.ogg");
    FILE *f = fopen(text_ogg.c_str(), "w");
    fputs("this is not an Ogg stream at all, just some text that is long enough", f);
    fclose(f);

    TestReader r;
    const int fds_before = open_descriptors();
    for (int round = 0; round < 10; round++) {
        for (auto &c : cases) {
            LogCapture log;
            EXPECT_EQ(audio_reader_load(r.h, c.path.c_str(), nullptr, 0), ESP_FAIL) << c.path;
            EXPECT_TRUE(log.contains(c.message)) << c.path << "\n" << log.dump();
        }
        LogCapture log;
        EXPECT_EQ(audio_reader_load(r.h, text_ogg.c_str(), nullptr, 0), ESP_FAIL);
        EXPECT_TRUE(log.contains("Input does not appear to be an Ogg bitstream")) << log.dump();
    }
    EXPECT_EQ(open_descriptors(), fds_before);
    EXPECT_EQ(audio_reader_play(r.h, false, 0, 0), ESP_ERR_NOT_SUPPORTED);
    EXPECT_EQ(audio_reader_set_volume(r.h, 50), ESP_ERR_NOT_SUPPORTED);
}

TEST(AudioReader, DurationOfALongFileNeedsSixtyFourBits) {
    TempFolder dir;
    std::string path = dir.file("long.wav");
    ASSERT_TRUE(write_pcm_wav(path, {}, RATE));
    // A data chunk of 10,000,000 bytes: 156.25 s at 32000 Hz (sparse file).
    FILE *f = fopen(path.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    uint8_t size[4] = {0x80, 0x96, 0x98, 0x00};
    fseek(f, 40, SEEK_SET);
    fwrite(size, 1, 4, f);
    fclose(f);
    ASSERT_EQ(truncate(path.c_str(), 44 + 10000000), 0);
    TestReader r;
    ASSERT_EQ(audio_reader_load(r.h, path.c_str(), nullptr, AUDIO_VOLUME_NOT_GIVEN), ESP_OK);
    EXPECT_EQ(audio_reader_get_duration(r.h), 156250u);
}

TEST(AudioReader, LoadWhileTheTaskWaitsToHandOverStopsItFirst) {
    TempFolder dir;
    const std::string b = pcm_file(dir, "b.wav", constant(32000, 300));
    TestReader r;
    ASSERT_TRUE(r.load(pcm_file(dir, "a.wav", constant(32000, 300), 8000)));
    ASSERT_EQ(audio_reader_play(r.h, true, 0, 0), ESP_OK);
    // Nobody takes buffers: the slot fills and the task blocks handing over the next one
    // (two buffers of 256 ms at 8000 Hz).
    ASSERT_TRUE(wait_produced(r.h, 4000, 8));
    ASSERT_TRUE(r.load(b));
    EXPECT_TRUE(r.stops.wait_for(1));
    EXPECT_EQ(audio_reader_get_duration(r.h), 1000u);
    EXPECT_EQ(audio_reader_unload(r.h), ESP_OK);
}

TEST(AudioReader, PreparedTaskWaitsUntilPlayOrStop) {
    TempFolder dir;
    TestReader r;
    ASSERT_TRUE(r.load(pcm_file(dir, "a.wav", constant(32000, 300))));

    // Prepared (a delay of 100 ms or less prepares at once), then stopped at once: it ends.
    ASSERT_EQ(audio_reader_run(r.h, 50), ESP_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(audio_reader_get_data(r.h).data, nullptr);
    ASSERT_EQ(audio_reader_stop(r.h, 0), ESP_OK);
    ASSERT_TRUE(r.stops.wait_for(1));

    // Prepared, then played: buffers flow.
    ASSERT_EQ(audio_reader_run(r.h, 0), ESP_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(audio_reader_get_data(r.h).data, nullptr);
    ASSERT_EQ(audio_reader_play(r.h, false, 0, 0), ESP_OK);
    buf_item_t item = take(r.h);
    EXPECT_NE(item.data, nullptr);
    free(item.data);
    audio_reader_stop(r.h, 0);
    ASSERT_TRUE(r.stops.wait_for(2));
}

TEST(AudioReader, NullHandlesAndReadersThatNeverRan) {
    EXPECT_EQ(audio_reader_get_remaining_time(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(audio_reader_get_duration(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(audio_reader_play(nullptr, false, 0, 0), ESP_FAIL);
    EXPECT_EQ(audio_reader_stop(nullptr, 0), ESP_FAIL);
    EXPECT_EQ(audio_reader_load(nullptr, "x.wav", nullptr, 0), ESP_FAIL);
    EXPECT_EQ(audio_reader_get_data(nullptr).data, nullptr);
    EXPECT_EQ(audio_reader_init(nullptr, "x"), nullptr);
    // A reader that never ran: deinit returns.
    audio_reader_cfg_t cfg = {};
    cfg.buf_data_len = 4096;
    audio_reader_handle_t h = audio_reader_init(&cfg, "a_rather_long_name");
    ASSERT_NE(h, nullptr);
    audio_reader_deinit(h);
}

TEST(AudioReader, AdpcmStartPositionSeeksToItsBlockAndKeepsTime) {
    TempFolder dir;
    std::vector<int16_t> expected;
    TestReader r;
    file_info_t *info = nullptr;
    ASSERT_TRUE(r.load(sox_adpcm(dir, "run.wav", "1.0 sine 300 vol 0.7", &expected), &info));
    const uint32_t spb = ((uint32_t)info->blockSize - 4) * 2 + 1;
    const uint32_t length = audio_reader_get_duration(r.h);
    ASSERT_EQ(audio_reader_set_position(r.h, 500), ESP_OK);
    ASSERT_EQ(audio_reader_play(r.h, false, 0, 0), ESP_OK);
    buf_item_t item = take(r.h);
    ASSERT_NE(item.data, nullptr);
    // The play starts with the block that holds sample 16000.
    const uint32_t first = 16000 / spb * spb;
    for (size_t i = 0; i < item.len / 2u; i++)
        ASSERT_EQ(item.data[i], expected[first + i]) << i;
    free(item.data);
    // The produced time counts from that block: one or two buffers of 64 ms after it.
    uint32_t remaining = audio_reader_get_remaining_time(r.h);
    uint32_t start_ms = first / 32;
    EXPECT_LE(remaining, length - start_ms - 64);
    EXPECT_GE(remaining + 3 * 64, length - start_ms);
    audio_reader_stop(r.h, 0);
    ASSERT_TRUE(r.stops.wait_for(1));
}

TEST(AudioReader, RapidCommandsNeverHangOrLoseTheFinalStop) {
    TempFolder dir;
    const std::string a =
        pcm_file(dir, "a.wav", pattern(5000, [](size_t i) { return (int16_t)((i % 64) * 500 - 16000); }));
    const std::string b = dir.file("b_L50.ogg");
    ASSERT_FALSE(a.empty());
    ASSERT_TRUE(sox("-n -r 32000 -c 1 " + b + " synth 0.2 sine 700"));
    TestReader r(4096, true);
    TimerPump pump;
    Drainer drain(r.h, 300);
    std::srand(12345);
    for (int i = 0; i < 400; i++) {
        switch (std::rand() % 8) {
            case 0:
                audio_reader_play(r.h, true, (uint16_t)(std::rand() % 50), 0);
                break;
            case 1:
                audio_reader_play(r.h, false, 0, (uint16_t)(std::rand() % 100));
                break;
            case 2:
                audio_reader_stop(r.h, 0);
                break;
            case 3:
                audio_reader_stop(r.h, (uint32_t)(std::rand() % 20));
                break;
            case 4:
                audio_reader_set_volume(r.h, (uint8_t)(std::rand() % 220));
                break;
            case 5:
                audio_reader_set_position(r.h, (uint16_t)(std::rand() % 300));
                break;
            case 6:
                if (std::rand() % 8 == 0) {
                    ASSERT_EQ(audio_reader_load(r.h, (std::rand() % 2 ? a : b).c_str(), nullptr, 0), ESP_OK);
                }
                break;
            default:
                audio_reader_run(r.h, 0);
                break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(std::rand() % 3000));
    }
    audio_reader_stop(r.h, 0);
    bool idle = false;
    for (int i = 0; i < 5000 && !idle; i++) {
        idle = audio_reader_get_task_state(r.h) == TASK_IDLE;
        if (!idle) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(idle) << "the reader still runs after its final stop";
    EXPECT_EQ(audio_reader_unload(r.h), ESP_OK);
}

namespace {
struct Gate {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;
};
bool blocking_end_notification(audio_reader_handle_t, void *param) {
    auto *g = (Gate *)param;
    std::unique_lock<std::mutex> lock(g->mutex);
    g->entered = true;
    g->cv.notify_all();
    g->cv.wait(lock, [&] { return g->open; });
    return false;
}
}  // namespace

TEST(AudioReader, LoadFailsAndKeepsTheFileWhileTheTaskCannotEnd) {
    TempFolder dir;
    const std::string a = pcm_file(dir, "a.wav", constant(32000, 300)),
                      b = pcm_file(dir, "b.wav", constant(16000, 300));
    ASSERT_FALSE(a.empty() || b.empty());
    Gate gate;
    audio_reader_cfg_t cfg = {};
    cfg.buf_data_len = 4096;
    cfg.param = &gate;
    cfg.end_notification = blocking_end_notification;
    audio_reader_handle_t h = audio_reader_init(&cfg, "wav1");
    ASSERT_EQ(audio_reader_load(h, a.c_str(), nullptr, AUDIO_VOLUME_NOT_GIVEN), ESP_OK);
    Drainer drain(h);
    // The end notification (lead time 2000 ms: due with the first buffer) holds the task.
    ASSERT_EQ(audio_reader_play(h, false, 0, 2000), ESP_OK);
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        ASSERT_TRUE(gate.cv.wait_for(lock, std::chrono::seconds(10), [&] { return gate.entered; }));
    }
    LogCapture log;
    EXPECT_EQ(audio_reader_load(h, b.c_str(), nullptr, 0), ESP_FAIL);
    EXPECT_TRUE(log.contains("[wav1] Failed to wait for TASK idle")) << log.dump();
    // Nothing was replaced: the first file is still loaded.
    EXPECT_EQ(audio_reader_get_duration(h), 1000u);
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
    }
    gate.cv.notify_all();
    bool idle = false;
    for (int i = 0; i < 5000 && !idle; i++) {
        idle = audio_reader_get_task_state(h) == TASK_IDLE;
        if (!idle) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(idle);
    drain.stop();
    // The stop that the load requested still ends the play early.
    EXPECT_LT(concat(drain.buffers()).size(), 32000u);
    EXPECT_EQ(audio_reader_load(h, b.c_str(), nullptr, AUDIO_VOLUME_NOT_GIVEN), ESP_OK);
    EXPECT_EQ(audio_reader_get_duration(h), 500u);
    audio_reader_deinit(h);
}
