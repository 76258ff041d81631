#include <gtest/gtest.h>

#include <cstring>

#include "adpcm-lib.h"
#include "audio_files.h"
#include "files.h"
#include "test_support.h"
#include "wav_header.h"

using namespace test_support;

namespace {

// A mono block header: sample, step index, reserved byte.
std::vector<uint8_t> block_header(int16_t sample, uint8_t index, uint8_t reserved = 0) {
    return {(uint8_t)sample, (uint8_t)((uint16_t)sample >> 8), index, reserved};
}

// A mono block of `block` bytes: a header and data bytes counting up.
std::vector<uint8_t> mono_block(size_t block, int16_t sample = 100, uint8_t index = 20) {
    std::vector<uint8_t> b = block_header(sample, index);
    for (size_t i = 4; i < block; ++i)
        b.push_back((uint8_t)(i * 37));
    return b;
}

TEST(AdpcmDecode, RequestOf100OnFreshStateDecodesHeaderAnd13Groups) {
    const std::vector<uint8_t> in = mono_block(256);
    std::vector<int16_t> out(100 + 8, 0);
    adcm_state_t st{};
    const uint8_t *p = in.data();
    size_t len = in.size();
    EXPECT_EQ(adpcm_decode_block(100, out.data(), &p, &len, 1, 256, &st), 105);
    EXPECT_EQ(p, in.data() + 4 + 13 * 4);
    EXPECT_EQ(len, in.size() - 56);
    EXPECT_EQ(st.bytesleft, 256u - 56);
    EXPECT_EQ(out[0], 100);

    // The rest of the block comes with the next call, with no header in between.
    std::vector<int16_t> rest(505, 0);
    EXPECT_EQ(adpcm_decode_block(500, rest.data(), &p, &len, 1, 256, &st), 400);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(st.bytesleft, 0u);

    // Same result as decoding the whole block at once.
    std::vector<int16_t> whole(505, 0);
    ASSERT_EQ(adpcm_decode_block_orig(whole.data(), in.data(), in.size(), 1), 505);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 105, whole.begin()));
    EXPECT_TRUE(std::equal(rest.begin(), rest.begin() + 400, whole.begin() + 105));
}

TEST(AdpcmDecode, InvalidHeadersAndArgumentsGiveNothing) {
    struct Case {
        const char *name;
        std::vector<uint8_t> in;
        int channels;
        int blocksize;
    };
    std::vector<uint8_t> stereo_bad_second = mono_block(8);
    stereo_bad_second[4 + 3] = 1;
    const Case cases[] = {
        {"reserved byte not zero", block_header(5, 3, 1), 1, 256},
        {"step index 89", block_header(5, 89), 1, 256},
        {"negative step index", block_header(5, 0x80), 1, 256},
        {"second channel's header invalid", stereo_bad_second, 2, 512},
        {"no channels", mono_block(256), 0, 256},
        {"block size 0", mono_block(256), 1, 0},
        {"three channels", mono_block(256), 3, 768},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> in = c.in;
        in.resize(64, 0);
        std::vector<int16_t> out(2 * (100 + 8));
        adcm_state_t st{};
        const uint8_t *p = in.data();
        size_t len = in.size();
        EXPECT_EQ(adpcm_decode_block(100, out.data(), &p, &len, c.channels, c.blocksize, &st), 0);
        EXPECT_EQ(p, in.data());
        EXPECT_EQ(len, in.size());
        if (c.blocksize != 0) {  // the whole-block decoder has no block size argument
            EXPECT_EQ(adpcm_decode_block_orig(out.data(), in.data(), in.size(), c.channels), 0);
        }
    }
}

TEST(AdpcmDecode, InputEndingAfterAHeaderGivesTheHeaderSample) {
    const std::vector<uint8_t> in = {0x34, 0x12, 7, 0, 0xCD, 0xAB, 9, 0, 0x11};  // stereo header + 1 byte
    std::vector<int16_t> out(2 * 9);
    adcm_state_t st{};
    const uint8_t *p = in.data();
    size_t len = in.size();
    EXPECT_EQ(adpcm_decode_block(50, out.data(), &p, &len, 2, 512, &st), 1);
    EXPECT_EQ(out[0], 0x1234);
    EXPECT_EQ(out[1], (int16_t)0xABCD);
    EXPECT_EQ(len, 1u);  // a partial group stays for the next call
    EXPECT_EQ(st.bytesleft, 512u - 8);
    EXPECT_EQ(st.index[0], 7);
    EXPECT_EQ(st.index[1], 9);
}

// The caller gives room for req_samples + 8 frames; nothing beyond it may be written and no
// byte beyond the input read, whatever the request, block size or slice.
TEST(AdpcmDecode, StaysInsideItsBuffers) {
    const int16_t CANARY = 0x5A5A;
    for (int channels : {1, 2}) {
        for (int blocksize : {4 * channels, 8 * channels, 36 * channels, 256 * channels, 258, 6}) {
            // Valid headers wherever a block could start: step index 0, reserved 0.
            std::vector<uint8_t> stream(3000);
            for (size_t i = 0; i < stream.size(); ++i)
                stream[i] = (uint8_t)(i * 13 + 5);
            for (size_t b = 0; b + 4 <= stream.size(); b += 4) {
                stream[b + 2] = (uint8_t)(b % 89);
                stream[b + 3] = 0;
            }
            for (int req : {0, 1, 2, 7, 8, 9, 100}) {
                SCOPED_TRACE(testing::Message() << channels << " ch, block " << blocksize << ", req " << req);
                adcm_state_t st{};
                size_t offset = 0;
                std::vector<uint8_t> pending;
                int calls = 0;
                for (; calls < 20000; ++calls) {
                    if (offset < stream.size()) {
                        const size_t slice = std::min<size_t>(stream.size() - offset, 1 + (calls * 7) % 40);
                        pending.insert(pending.end(), stream.begin() + offset,
                                       stream.begin() + offset + slice);
                        offset += slice;
                    }
                    // Exactly the pending bytes, on the heap, so an over-read also trips the
                    // sanitizers.
                    const std::vector<uint8_t> in(pending);
                    std::vector<int16_t> out((req + 8 + 4) * channels, CANARY);
                    const uint8_t *p = in.data();
                    size_t len = in.size();
                    const int frames =
                        adpcm_decode_block((uint16_t)req, out.data(), &p, &len, channels, blocksize, &st);
                    ASSERT_GE(frames, 0);
                    ASSERT_LE(frames, req + 8);
                    ASSERT_EQ(p + len, in.data() + in.size());
                    for (size_t i = (req + 8) * channels; i < out.size(); ++i)
                        ASSERT_EQ(out[i], CANARY);
                    const size_t used = in.size() - len;
                    ASSERT_EQ(used % (4 * channels), 0u);
                    pending.erase(pending.begin(), pending.begin() + used);
                    if (used == 0) {
                        // Every header is valid, so only a partial group stops the decoder.
                        ASSERT_EQ(frames, 0);
                        ASSERT_LT(pending.size(), 4u * channels);
                        if (offset == stream.size()) break;
                    } else {
                        ASSERT_GT(frames, 0);
                    }
                }
                EXPECT_LT(calls, 20000);
            }
        }
    }
}

// Decodes `adpcm` (the data chunk and what follows) fed in slices of `slice` bytes the way a
// reader does: unconsumed bytes of a slice are carried in front of the next one.
std::vector<int16_t> decode_in_slices(const uint8_t *data, size_t size, size_t slice, int channels,
                                      int blocksize, uint16_t req) {
    std::vector<int16_t> all;
    std::vector<uint8_t> pending;
    std::vector<int16_t> out((req + 8) * channels);
    adcm_state_t st{};
    for (size_t off = 0; off < size; off += slice) {
        const size_t n = std::min(slice, size - off);
        pending.insert(pending.end(), data + off, data + off + n);
        const uint8_t *p = pending.data();
        size_t len = pending.size();
        for (;;) {
            const int frames = adpcm_decode_block(req, out.data(), &p, &len, channels, blocksize, &st);
            if (frames == 0) break;
            all.insert(all.end(), out.begin(), out.begin() + frames * channels);
        }
        pending.erase(pending.begin(), pending.begin() + (pending.size() - len));
    }
    return all;
}

struct SoxCase {
    const char *name;
    const char *synth;  // sox synth arguments
    int rate;
    int channels;
};

// Files encoded by sox, decoded by sox and by the incremental decoder in many slice sizes and
// request sizes: every sample must agree.
TEST(AdpcmDecode, MatchesSoxSampleForSample) {
    const SoxCase cases[] = {
        {"mono sine", "1 sine 440", 32000, 1},
        {"mono sweep with noise", "0.8 sine 100-8000 whitenoise vol 0.3", 22050, 1},
        {"stereo, different tones", "0.7 sine 440 sine 1000", 22050, 2},
        {"stereo square, loud", "0.5 square 300 square 77", 44100, 2},
    };
    TempFolder dir("codecs");
    for (const SoxCase &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string wav = dir.file("in.wav"), raw = dir.file("ref.raw");
        ASSERT_TRUE(sox("-n -r " + std::to_string(c.rate) + " -c " + std::to_string(c.channels) +
                        " -e ima-adpcm " + wav + " synth " + c.synth));
        ASSERT_TRUE(sox(wav + " -t raw -e signed-integer -b 16 -L " + raw));
        const std::vector<uint8_t> file = read_bytes(wav);
        const std::vector<int16_t> ref = read_raw_s16(raw);
        ASSERT_GT(ref.size(), 1000u);

        wav_info_t info;
        LogCapture log;
        const int off = get_wav_info(file.data(), (uint8_t)std::min<size_t>(file.size(), 128), &info);
        ASSERT_GT(off, 0) << log.dump();
        ASSERT_EQ(info.audioFormat, 0x11);
        ASSERT_EQ(info.channels, c.channels);

        for (size_t slice : {(size_t)1, (size_t)3, (size_t)4, (size_t)7, (size_t)64, (size_t)255, (size_t)256,
                             file.size() - off}) {
            for (uint16_t req : {(uint16_t)1, (uint16_t)100, (uint16_t)1000}) {
                SCOPED_TRACE(testing::Message() << "slice " << slice << ", req " << req);
                const std::vector<int16_t> ours = decode_in_slices(file.data() + off, file.size() - off,
                                                                   slice, c.channels, info.blockAlign, req);
                ASSERT_EQ(ours.size(), ref.size());
                size_t mismatches = 0;
                for (size_t i = 0; i < ref.size(); ++i)
                    mismatches += ours[i] != ref[i];
                ASSERT_EQ(mismatches, 0u);
            }
        }

        // The whole-block decoder agrees block by block.
        const size_t block = info.blockAlign;
        std::vector<int16_t> out(block * 2 * c.channels);
        size_t pos = 0;
        for (size_t b = off; b + block <= file.size(); b += block) {
            const int frames = adpcm_decode_block_orig(out.data(), file.data() + b, block, c.channels);
            ASSERT_EQ(frames, (int)((block - 4 * c.channels) * 2 / c.channels + 1));
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + frames * c.channels, ref.begin() + pos));
            pos += frames * c.channels;
        }
        EXPECT_GT(pos, 0u);
    }
}

}  // namespace
