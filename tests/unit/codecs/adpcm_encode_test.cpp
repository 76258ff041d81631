#include <gtest/gtest.h>

#include <cmath>

#include "adpcm-lib.h"
#include "audio_files.h"
#include "files.h"
#include "test_support.h"
#include "wav_header.h"

using namespace test_support;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Interleaved test signal: per channel a tone with a slow sweep and a little deterministic
// noise, different in each channel so that swapped channels show.
std::vector<int16_t> make_signal(int frames, int channels, int rate, double amplitude = 12000) {
    std::vector<int16_t> s((size_t)frames * channels);
    uint32_t noise = 12345;
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            const double t = (double)f / rate;
            const double freq = c == 0 ? 440 + 800 * t : 1000;
            noise = noise * 1103515245u + 12345u;
            const double v = amplitude * std::sin(2 * kPi * freq * t) + (double)((noise >> 16) % 401) - 200;
            s[(size_t)f * channels + c] = (int16_t)std::lround(v);
        }
    }
    return s;
}

// Signal-to-noise ratio in dB of `decoded` against `original` for channel `c`.
double snr_db(const std::vector<int16_t> &original, const std::vector<int16_t> &decoded, int channels,
              int c) {
    double sig = 0, err = 0;
    for (size_t i = c; i < original.size(); i += channels) {
        sig += (double)original[i] * original[i];
        const double d = (double)original[i] - decoded[i];
        err += d * d;
    }
    return 10 * std::log10(sig / (err > 0 ? err : 1));
}

// Decodes a whole IMA ADPCM WAV file with the incremental decoder; frames limited by the header.
std::vector<int16_t> decode_file(const std::vector<uint8_t> &file, wav_info_t *info) {
    const int off = get_wav_info(file.data(), (uint8_t)std::min<size_t>(file.size(), 128), info);
    if (off < 0) return {};
    std::vector<int16_t> all;
    std::vector<int16_t> out((512 + 8) * 2);
    adcm_state_t st{};
    const uint8_t *p = file.data() + off;
    size_t len = file.size() - off;
    int frames;
    while ((frames = adpcm_decode_block(512, out.data(), &p, &len, info->channels, info->blockAlign, &st)) >
           0)
        all.insert(all.end(), out.begin(), out.begin() + frames * info->channels);
    return all;
}

// Encode with the library's file writer, decode with sox and with the library's decoder: both
// agree sample for sample, the file's header gives the exact frame count, and the error stays
// small.
TEST(AdpcmEncode, RoundTripThroughSoxAndOurDecoder) {
    struct Case {
        int channels, rate, frames;
        uint16_t block_align;
        int lookahead;
        double min_snr_db;
    };
    const Case cases[] = {
        // Whole seconds, default blocks, a short last block.
        {1, 32000, 32000, 0, 0, 28},
        // Larger blocks, lookahead.
        {1, 22050, 12345, 1024, 2, 28},
        {2, 44100, 20000, 0, 0, 28},
        // Big stereo blocks and a last partial group; fewer samples per cycle, more error.
        {2, 16000, 8000 + 3, 2048, 3, 24},
        // A single frame: just a block header.
        {1, 8000, 1, 0, 0, 0},
    };
    TempFolder dir("codecs");
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.channels << " ch " << c.rate << " Hz " << c.frames << " frames, block "
                     << c.block_align << ", lookahead " << c.lookahead);
        const std::vector<int16_t> pcm = make_signal(c.frames, c.channels, c.rate);
        const std::string wav = dir.file("enc.wav"), raw = dir.file("dec.raw");
        ASSERT_EQ(adpcm_write_wav_file(wav.c_str(), pcm.data(), c.frames, c.channels, c.rate, c.block_align,
                                       c.lookahead),
                  0);

        const std::vector<uint8_t> file = read_bytes(wav);
        wav_info_t info;
        LogCapture log;
        const std::vector<int16_t> ours = decode_file(file, &info);
        ASSERT_EQ(info.audioFormat, 0x11) << log.dump();
        EXPECT_EQ(info.channels, c.channels);
        EXPECT_EQ(info.sampleRate, (uint32_t)c.rate);
        EXPECT_EQ(info.bits, 4);
        EXPECT_EQ(info.dataSize, (uint32_t)((uint64_t)c.channels * c.frames * 4 / 8));
        EXPECT_TRUE(log.contains("num samples = " + std::to_string(c.frames))) << log.dump();
        // Our decoder yields the last block's padding too (whole groups); the header's count
        // tells where the audio ends.
        ASSERT_GE(ours.size(), pcm.size());
        ASSERT_LT(ours.size(), pcm.size() + 8 * c.channels);

        ASSERT_TRUE(sox(wav + " -t raw -e signed-integer -b 16 -L " + raw));
        const std::vector<int16_t> sox = read_raw_s16(raw);
        ASSERT_GE(sox.size(), pcm.size());
        for (size_t i = 0; i < pcm.size(); ++i)
            ASSERT_EQ(sox[i], ours[i]) << "sample " << i;

        for (int ch = 0; ch < c.channels; ++ch) {
            // The first frame is carried exactly in the block header.
            EXPECT_EQ(ours[ch], pcm[ch]);
            if (c.frames > 1) {
                EXPECT_GT(snr_db(pcm, ours, c.channels, ch), c.min_snr_db) << "channel " << ch;
            }
        }
    }
}

// sox's encoder and ours see the same input; ours must not be much worse than sox's, and the
// lookahead search must not make it worse.
TEST(AdpcmEncode, QualityComparedWithSoxAndAcrossLookahead) {
    TempFolder dir("codecs");
    const int rate = 32000, frames = 16000;
    const std::vector<int16_t> pcm = make_signal(frames, 1, rate, 20000);
    write_raw_s16(dir.file("in.raw"), pcm);
    ASSERT_TRUE(sox("-t raw -r 32000 -c 1 -e signed-integer -b 16 -L " + dir.file("in.raw") +
                    " -e ima-adpcm " + dir.file("sox.wav")));
    ASSERT_TRUE(sox(dir.file("sox.wav") + " -t raw -e signed-integer -b 16 -L " + dir.file("sox.raw")));
    const std::vector<int16_t> by_sox = read_raw_s16(dir.file("sox.raw"));
    ASSERT_GE(by_sox.size(), pcm.size());
    const double sox_snr = snr_db(pcm, by_sox, 1, 0);

    LogCapture quiet;
    double previous = 0;
    for (int lookahead : {0, 1, 3}) {
        const std::string wav = dir.file("ours" + std::to_string(lookahead) + ".wav");
        ASSERT_EQ(adpcm_write_wav_file(wav.c_str(), pcm.data(), frames, 1, rate, 0, lookahead), 0);
        wav_info_t info;
        const std::vector<int16_t> ours = decode_file(read_bytes(wav), &info);
        ASSERT_GE(ours.size(), pcm.size());
        const double snr = snr_db(pcm, ours, 1, 0);
        EXPECT_GT(snr, sox_snr - 1.0) << "lookahead " << lookahead << ", sox " << sox_snr;
        if (lookahead > 0) {
            EXPECT_GE(snr, previous - 0.1) << "lookahead " << lookahead;
        }
        previous = snr;
    }
}

TEST(AdpcmEncode, BlockArgumentsAndNoiseShaping) {
    EXPECT_EQ(adpcm_create_context(0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(adpcm_create_context(3, 0, 0, nullptr), nullptr);
    EXPECT_EQ(adpcm_block_bytes(1, 505), 256u);
    EXPECT_EQ(adpcm_block_bytes(2, 505), 512u);
    EXPECT_EQ(adpcm_block_bytes(1, 1), 4u);
    EXPECT_EQ(adpcm_block_bytes(1, 2), 8u);
    EXPECT_EQ(adpcm_block_bytes(3, 10), 0u);

    const std::vector<int16_t> pcm = make_signal(505, 2, 22050);
    int32_t deltas[2] = {300, 0};
    for (int shaping : {0, 1}) {
        SCOPED_TRACE(shaping ? "noise shaping" : "plain");
        void *ctx = adpcm_create_context(2, 1, shaping, deltas);
        ASSERT_NE(ctx, nullptr);
        std::vector<uint8_t> block(512);
        size_t size = 511;  // one byte short
        EXPECT_EQ(adpcm_encode_block(ctx, block.data(), &size, pcm.data(), 505), 0);
        EXPECT_EQ(adpcm_encode_block(ctx, block.data(), &size, pcm.data(), 0), 0);
        size = block.size();
        ASSERT_EQ(adpcm_encode_block(ctx, block.data(), &size, pcm.data(), 505), 1);
        EXPECT_EQ(size, 512u);
        // Channel 0 starts from the caller's delta (the step closest to 300 is index 39).
        EXPECT_EQ(block[2], 39);
        EXPECT_EQ(block[3], 0);
        EXPECT_EQ(block[7], 0);
        std::vector<int16_t> decoded(505 * 2);
        ASSERT_EQ(adpcm_decode_block_orig(decoded.data(), block.data(), size, 2), 505);
        for (int c = 0; c < 2; ++c)
            EXPECT_GT(snr_db(pcm, decoded, 2, c), 20) << "channel " << c;
        adpcm_free_context(ctx);
    }
    adpcm_free_context(nullptr);

    // File writer: refused arguments leave no file behind.
    TempFolder dir("codecs");
    const std::string path = dir.file("bad.wav");
    EXPECT_EQ(adpcm_write_wav_file(path.c_str(), pcm.data(), 505, 2, 22050, 258, 0), -1);
    EXPECT_EQ(adpcm_write_wav_file(path.c_str(), pcm.data(), 505, 2, 0, 0, 0), -1);
    EXPECT_EQ(adpcm_write_wav_file(path.c_str(), pcm.data(), 0, 2, 22050, 0, 0), -1);
    EXPECT_EQ(adpcm_write_wav_file(path.c_str(), pcm.data(), 505, 3, 22050, 0, 0), -1);
    EXPECT_TRUE(read_bytes(path).empty());
    EXPECT_EQ(adpcm_write_wav_file(dir.file("no/such/dir.wav").c_str(), pcm.data(), 505, 2, 22050, 0, 0), -1);
}

}  // namespace
