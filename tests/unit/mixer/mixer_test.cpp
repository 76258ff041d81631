// Mixer: its arithmetic, channel handling and messages, observed in what it writes to the
// output device (recorded on the no-device path).
#include <gtest/gtest.h>

#include "mixer_rig.h"
#include "test_support.h"

using namespace mixer_test;

namespace {

std::vector<int16_t> constant(size_t n, int16_t v) {
    return std::vector<int16_t>(n, v);
}

std::vector<int16_t> stereo(size_t frames, int16_t left, int16_t right) {
    std::vector<int16_t> v;
    for (size_t i = 0; i < frames; i++) {
        v.push_back(left);
        v.push_back(right);
    }
    return v;
}

}  // namespace

TEST(Mixer, SumsScalesAndSaturates) {
    struct Input {
        int16_t left, right;
        uint16_t channels;
    };
    struct Case {
        const char *name;
        std::vector<Input> inputs;
        uint8_t volume;  // 0: the default (64)
        int16_t expected;
        std::set<int16_t> allowed;  // also possible: cycles in which not every input had a buffer
    } cases[] = {
        {"one input at the default volume", {{32767, 0, 1}}, 0, 8191, {}},
        {"two full-scale inputs saturate", {{32767, 0, 1}, {32767, 0, 1}}, 255, 32767, {32639}},
        {"negative saturation stops at -32767", {{-32768, 0, 1}, {-32768, 0, 1}}, 255, -32767, {-32640}},
        {"stereo input: first channel only", {{1000, -1000, 2}}, 0, 250, {}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        MixerRig rig;
        for (size_t i = 0; i < c.inputs.size(); i++) {
            const Input &in = c.inputs[i];
            if (in.channels == 1) {
                rig.add_input((int)i, constant(4096, in.left), 1, true);
            } else {
                rig.add_input((int)i, stereo(4096, in.left, in.right), 2, true);
            }
        }
        if (c.volume != 0) {
            ASSERT_EQ(mixer_set_master_volume(rig.mixer(), c.volume), ESP_OK);
        }
        rig.play_all();
        EXPECT_TRUE(rig.wait_for_samples(c.expected, 3 * 2048));
        rig.stop_all();
        ASSERT_TRUE(rig.stops.wait_for((int)c.inputs.size()));
        auto values = values_of(rig.finish());
        std::set<int16_t> allowed = c.allowed;
        allowed.insert({1, 0, c.expected});
        for (int16_t v : values)
            EXPECT_TRUE(allowed.count(v)) << "unexpected sample " << v;
        EXPECT_TRUE(values.count(c.expected));
    }
}

TEST(Mixer, RejectedVolumeLeavesTheVolumeUnchanged) {
    LogCapture log;
    MixerRig rig;
    rig.add_input(0, constant(4096, 32767), 1, true);
    ASSERT_EQ(mixer_set_master_volume(rig.mixer(), 128), ESP_OK);
    EXPECT_TRUE(log.contains("Master volume is set to 128"));
    EXPECT_EQ(mixer_set_master_volume(rig.mixer(), 0), ESP_FAIL);
    EXPECT_TRUE(log.contains("Input validation fail(line 167)"));
    rig.play_all();
    EXPECT_TRUE(rig.wait_for_samples(16383, 2048));
    rig.stop_all();
    ASSERT_TRUE(rig.stops.wait_for(1));
}

TEST(Mixer, OversizedAndUnmixableInputs) {
    struct Case {
        const char *name;
        int buf_len;
        uint8_t mixer_channels;
        const char *message;
        int expected_messages;  // -1: at least three (one per cycle)
    } cases[] = {
        {"a 4098-byte buffer is cut to the output size", 4098, 1, "Cut wav buffer id=0, buf_len=4098", -1},
        {"three channels: reported once, never mixed", 4096, 3, "Wrong number of channels, id=0, ch=3", 1},
        {"no channels: cut to nothing", 4096, 0, "Cut wav buffer id=0, buf_len=4096", -1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        MixerRig rig;
        // Channel count 0 cannot be given through add_input's default: set it afterwards.
        rig.add_input(0, constant(8192, 20000), 1, true, c.buf_len, c.mixer_channels ? c.mixer_channels : 1);
        if (c.mixer_channels == 0) mixer_set_file_info(rig.mixer(), 0, MixerRig::RATE, 0);
        rig.play_all();
        if (c.mixer_channels == 1) {
            EXPECT_TRUE(rig.wait_for_samples(5000, 3 * 2048));
        } else {
            // Audio cycles in which nothing could be mixed write zeros.
            EXPECT_TRUE(rig.wait_for_samples(0, 3 * 2048));
        }
        rig.stop_all();
        ASSERT_TRUE(rig.stops.wait_for(1));
        auto values = values_of(rig.finish());
        if (c.expected_messages < 0) {
            EXPECT_GE(log.count(c.message), 3) << log.dump();
        } else {
            EXPECT_EQ(log.count(c.message), c.expected_messages) << log.dump();
        }
        std::set<int16_t> allowed = {0, 1};
        if (c.mixer_channels == 1) allowed.insert(5000);
        for (int16_t v : values)
            EXPECT_TRUE(allowed.count(v)) << "unexpected sample " << v;
    }
}

TEST(Mixer, IdleBuffersAndStatusChanges) {
    MixerRig rig;
    // 6400 samples: three full buffers and a short one of 256.
    rig.add_input(0, constant(6400, 4000), 1, false);
    // Idle before anything plays: samples of 1, and no status call yet.
    ASSERT_TRUE(rig.wait_for_samples(1, 2 * 2048));
    EXPECT_TRUE(StatusLog::get().empty());
    rig.play_all();
    ASSERT_TRUE(rig.stops.wait_for(1));
    for (int i = 0; i < 500 && StatusLog::get().size() < 2; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(rig.wait_for_samples(1, 6 * 2048));
    auto samples = rig.finish();
    EXPECT_EQ(StatusLog::get(), (std::vector<bool>{true, false}));

    size_t start = 0;
    while (start < samples.size() && samples[start] == 1)
        start++;
    ASSERT_EQ(start % 2048, 0u) << "audio starts inside an idle buffer";
    ASSERT_GE(samples.size(), start + 8192 + 2048);
    for (size_t i = start; i < start + 6400; i++)
        ASSERT_EQ(samples[i], 1000) << i;  // 4000 * 64 / 256
    for (size_t i = start + 6400; i < start + 8192; i++)
        ASSERT_EQ(samples[i], 0) << i;
    for (size_t i = start + 8192; i < samples.size(); i++)
        ASSERT_EQ(samples[i], 1) << i;
}

TEST(Mixer, InvalidArguments) {
    LogCapture log;
    mixer_stream_cfg_t cfg = {4096, 3072, 0, 10};
    EXPECT_EQ(mixer_init(nullptr), nullptr);
    mixer_handle_t m = mixer_init(&cfg);
    ASSERT_NE(m, nullptr);
    audio_reader_cfg_t rcfg = {};
    rcfg.buf_data_len = 4096;
    audio_reader_handle_t r = audio_reader_init(&rcfg, "wav0");

    EXPECT_EQ(mixer_connect_element(m, -1, r), ESP_FAIL);
    EXPECT_EQ(mixer_connect_element(m, 101, r), ESP_FAIL);
    EXPECT_EQ(mixer_connect_element(m, 0, nullptr), ESP_FAIL);
    EXPECT_EQ(mixer_connect_element(nullptr, 0, r), ESP_FAIL);
    EXPECT_EQ(log.count("Input validation fail(line 154)"), 4);
    EXPECT_EQ(mixer_connect_element(m, 100, r), ESP_OK);

    EXPECT_EQ(mixer_set_file_info(m, 101, 32000, 1), ESP_FAIL);
    EXPECT_EQ(mixer_set_file_info(m, -1, 32000, 1), ESP_FAIL);
    EXPECT_EQ(log.count("Input validation fail(line 199)"), 2);
    EXPECT_EQ(mixer_set_file_info(nullptr, 0, 32000, 1), ESP_FAIL);
    EXPECT_TRUE(log.contains("mixer is NULL(line 197)"));
    EXPECT_EQ(mixer_set_file_info(m, 100, 22050, 2), ESP_OK);
    EXPECT_TRUE(log.contains("file info id=100, ch=2"));
    EXPECT_EQ(mixer_set_stream_info(nullptr, 32000, 1), ESP_FAIL);
    EXPECT_TRUE(log.contains("mixer is NULL(line 180)"));
    // Without a device handle the stream format is recorded only.
    EXPECT_EQ(mixer_set_stream_info(m, 32000, 1), ESP_OK);
    EXPECT_TRUE(log.contains("stream info ch=1, rate=32000"));
    mixer_info_t info;
    ASSERT_EQ(mixer_get_info(m, &info), ESP_OK);
    EXPECT_EQ(info.stream_samplerate, 32000);
    EXPECT_EQ(info.samplerate[100], 22050);
    EXPECT_EQ(info.channels[100], 2);
    EXPECT_EQ(mixer_set_master_volume(nullptr, 10), ESP_FAIL);
    EXPECT_EQ(mixer_set_i2s_handler(nullptr, nullptr), ESP_FAIL);
    EXPECT_EQ(mixer_set_status_handler(nullptr, nullptr), ESP_FAIL);
    EXPECT_EQ(mixer_deinit(m), ESP_OK);
    audio_reader_deinit(r);
}
