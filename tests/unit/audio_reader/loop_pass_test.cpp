// The loop pass the reader publishes (which the project check reports) is the one it plays:
// measured on a real reader by finding where the looping output repeats.
#include <gtest/gtest.h>

#include "audio_files.h"
#include "files.h"
#include "reader_helpers.h"
#include "test_support.h"

namespace {

using namespace test_support;

// Frames after which a looping play of `path` repeats (each pass restarts the decoder, so the
// passes are identical), and the pass the reader published for the file.
uint64_t measured_pass(const std::string &path, audio_reader_loop_pass_t *published) {
    TestReader r;
    file_info_t *info = nullptr;
    EXPECT_TRUE(r.load(path, &info));
    if (info == nullptr) return 0;
    *published = audio_reader_get_loop_pass(r.h);
    // 2048 frames per buffer: enough buffers for more than two passes of a 1.2 s file.
    const std::vector<int16_t> all = concat(r.loop(60));
    const size_t ch = info->channels;
    const size_t probe = 1000 * ch;  // the first samples of a pass
    for (size_t at = 4000 * ch; at + probe <= all.size(); at += ch) {
        if (std::equal(all.begin(), all.begin() + (long)probe, all.begin() + (long)at)) return at / ch;
    }
    ADD_FAILURE() << "no repetition found in " << all.size() / ch << " frames";
    return 0;
}

TEST(CheckLoopPass, TheReaderPublishesThePassItPlays) {
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
        audio_reader_loop_pass_t lp{};
        const uint64_t frames = measured_pass(path, &lp);
        EXPECT_EQ(lp.frames, frames);
        EXPECT_EQ(frames, c.frames);
        EXPECT_EQ(lp.file_ms, 1100u);
    }
}

}  // namespace
