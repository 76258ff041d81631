// The whole pipeline without a sound card: a 1 kHz one-shot file through a reader, the mixer
// and the output device on the no-device path, recorded to a WAV file.
#include <gtest/gtest.h>

#include <algorithm>

#include "mixer_rig.h"
#include "tone_detector.h"

using namespace mixer_test;

TEST(Pipeline, RecordedOneShotHoldsTheToneAndThenSilence) {
    MixerRig rig;
    TempFolder dir;
    std::string tone = dir.file("horn.wav");
    ASSERT_TRUE(sox("-n -r 32000 -c 1 -b 16 " + tone + " synth 0.3 sine 1000 vol 0.5"));
    audio_reader_cfg_t cfg = {};
    cfg.buf_data_len = 4096;
    cfg.task_prio = 5;
    cfg.param = &rig.stops;
    cfg.stop_notification = StopWaiter::notify;
    audio_reader_handle_t r = audio_reader_init(&cfg, "wav7");
    ASSERT_EQ(audio_reader_load(r, tone.c_str(), nullptr, AUDIO_VOLUME_NOT_GIVEN), ESP_OK);
    ASSERT_EQ(mixer_connect_element(rig.mixer(), 7, r), ESP_OK);
    ASSERT_EQ(mixer_set_file_info(rig.mixer(), 7, 32000, 1), ESP_OK);
    ASSERT_TRUE(rig.wait_for_samples(1, 2048));
    ASSERT_EQ(audio_reader_play(r, false, 0, 0), ESP_OK);
    ASSERT_TRUE(rig.stops.wait_for(1));
    ASSERT_TRUE(rig.wait_for_samples(1, 8 * 2048));
    auto s = rig.finish();
    audio_reader_deinit(r);

    // Idle buffers (samples of 1) until the tone starts with a whole buffer.
    size_t start = 0;
    while (start < s.size() && s[start] == 1)
        start++;
    ASSERT_EQ(start % 2048, 0u);
    const size_t tone_len = 9600;  // 0.3 s
    ASSERT_GE(s.size(), start + 5 * 2048 + 2048);

    const int16_t *t = s.data() + start;
    const ToneDetector tones(32000, tone_len);
    double at = tones.power(t, 1000);
    for (double other : {250.0, 500.0, 1500.0, 3000.0}) {
        EXPECT_GT(at, 1000.0 * tones.power(t, other)) << other << " Hz";
    }
    // Half scale in the file, a quarter of that at the master volume 64/256.
    int peak = 0;
    for (size_t i = 0; i < tone_len; i++)
        peak = std::max(peak, std::abs((int)t[i]));
    EXPECT_NEAR(peak, 16384 / 4, 200);

    // The short last buffer leaves the rest of its cycle at 0; then the idle samples of 1.
    for (size_t i = start + tone_len; i < start + 5 * 2048; i++)
        ASSERT_EQ(s[i], 0) << i;
    for (size_t i = start + 5 * 2048; i < s.size(); i++)
        ASSERT_EQ(s[i], 1) << i;
}
