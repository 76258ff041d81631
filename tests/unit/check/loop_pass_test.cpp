// The loop pass the project check reports is the one the audio reader plays: measured on a real
// reader by finding where the looping output repeats.
#include <gtest/gtest.h>

#include "../audio_reader/reader_fixture.h"
#include "check_private.h"
#include "test_support.h"

namespace {

using namespace audio_test;

// Frames after which a looping play of `path` repeats (each pass restarts the decoder, so the
// passes are identical), and what the reader reported of the file.
uint64_t measured_pass(const std::string &path, check_file_info *fi) {
    TestReader r;
    file_info_t *info = nullptr;
    EXPECT_EQ(audio_reader_load(r.h, path.c_str(), &info, AUDIO_VOLUME_NOT_GIVEN), ESP_OK);
    if (info == nullptr) return 0;
    fi->ok = true;
    fi->format = info->format;
    fi->channels = info->channels;
    fi->sample_rate = info->sample_rate;
    fi->frames = info->frames;
    fi->block_size = info->blockSize;
    fi->length_ms = info->length_ms.load();
    std::vector<int16_t> all;
    {
        Drainer drain(r.h);
        EXPECT_EQ(audio_reader_play(r.h, true, 0, 0), ESP_OK);
        // 2048 frames per buffer: enough buffers for more than two passes of a 1.2 s file.
        EXPECT_TRUE(drain.wait_for_count(60));
        audio_reader_stop(r.h, 0);
        EXPECT_TRUE(r.stops.wait_for(1));
        drain.stop();
        all = concat(drain.buffers());
    }
    const size_t ch = info->channels;
    const size_t probe = 1000 * ch;  // the first samples of a pass
    for (size_t at = 4000 * ch; at + probe <= all.size(); at += ch) {
        if (std::equal(all.begin(), all.begin() + (long)probe, all.begin() + (long)at)) return at / ch;
    }
    ADD_FAILURE() << "no repetition found in " << all.size() / ch << " frames";
    return 0;
}

TEST(CheckLoopPass, MatchesWhatTheReaderLoops) {
    TempFolder dir;
    struct Case {
        const char *name;
        const char *sox_args;  // how sox writes a 1.1 s sweep (35200 frames)
        uint64_t frames;       // frames of a pass
    } cases[] = {
        // A PCM or IMA ADPCM pass is the whole file, to the frame; a "_T" duration cuts an
        // ADPCM loop; an Ogg pass ends with the last whole buffer of 2048 frames.
        {"adpcm.wav", "-e ima-adpcm", 35200},
        {"adpcm_stereo.wav", "-c 2 -e ima-adpcm", 35200},
        {"adpcm_T700.wav", "-e ima-adpcm", 22432},
        {"vorbis.ogg", "", 34816},
        {"pcm.wav", "-b 16", 35200},
    };
    LogCapture quiet;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        ASSERT_TRUE(sox("-n -r 32000 -c 1 " + std::string(c.sox_args) + " " + path +
                        " synth 1.1 sine 300-2000 vol 0.7"));
        check_file_info fi;
        const uint64_t frames = measured_pass(path, &fi);
        const check_loop_pass lp = check_loop_pass_of(fi, audio_reader_name_param(path.c_str(), "_T"));
        EXPECT_EQ(lp.pass_frames, frames);
        EXPECT_EQ(frames, c.frames);
        EXPECT_EQ(lp.file_ms, 1100u);
    }
}

}  // namespace
