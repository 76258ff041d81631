#include "wav_header.h"

#include <gtest/gtest.h>

#include <cstring>

#include "audio_files.h"
#include "test_support.h"

using test_support::WavBytes;

namespace {

struct Parsed {
    int result;
    wav_info_t info;
};

Parsed parse(const std::vector<uint8_t> &bytes, size_t len) {
    Parsed p;
    memset(&p.info, 0, sizeof p.info);
    p.result = get_wav_info(bytes.data(), (uint8_t)len, &p.info);
    return p;
}

// The data body starts 8 bytes before the end: WavBytes::data appends 8 audio bytes.
int body_of(const WavBytes &w) {
    return (int)w.size() - 8;
}

const uint32_t BIG = 0xFFFFFFF8u;

struct RefusedCase {
    const char *name;
    WavBytes wav;
    const char *line;  // the error line expected
};

TEST(WavHeader, RefusesMalformedHeadersWithTheirLine) {
    const RefusedCase cases[] = {
        {"header of 12 bytes", WavBytes(), "Unexpected end of header"},
        {"form type other than WAVE", WavBytes("AVI ").fmt(16, 1, 1, 32000, 2, 16).data(100),
         "data is not a valid .WAV file!"},
        {"fmt chunk of 14 bytes", WavBytes().fmt(14, 1, 1, 32000, 2, 16).data(100),
         "Data is not a valid .WAV file!"},
        {"fmt chunk of 42 bytes", WavBytes().fmt(42, 1, 1, 32000, 2, 16).data(100),
         "Data is not a valid .WAV file!"},
        {"PCM data not a multiple of BlockAlign", WavBytes().fmt(16, 1, 1, 32000, 2, 16).data(1001),
         "Data is not a valid .WAV file!"},
        {"data before any fmt chunk", WavBytes().data(100), "Data is not a valid .WAV file!"},
        {"fmt chunk with 0 channels", WavBytes().fmt(16, 1, 0, 32000, 2, 16).data(100),
         "Data is not a valid .WAV file!"},
        {"empty data chunk", WavBytes().fmt(16, 1, 1, 32000, 2, 16).data(0),
         "this .WAV file has no audio samples, probably is corrupt!"},
        {"fact chunk of 2 bytes", WavBytes().fmt(16, 1, 1, 32000, 2, 16).chunk("fact", 2, {0, 0}).data(100),
         "Data is not a valid .WAV file!"},
        {"ADPCM leftover not whole groups", WavBytes().fmt(20, 0x11, 1, 32000, 256, 4, 505).data(256 + 6),
         "Data is not a valid .WAV file!"},
        {"BlockAlign 0", WavBytes().fmt(16, 1, 1, 32000, 0, 16).data(100), "BlockAlign = 0 is not valid"},
        {"ADPCM BlockAlign 0", WavBytes().fmt(20, 0x11, 1, 32000, 0, 4, 505).data(100),
         "BlockAlign = 0 is not valid"},
        {"SampleRate 0", WavBytes().fmt(16, 1, 1, 0, 2, 16).data(100), "SampleRate = 0 is not valid"},
        {"ADPCM with 3 channels", WavBytes().fmt(20, 0x11, 3, 32000, 768, 4, 505).data(768),
         "IMA ADPCM with 3 channels is not supported (at most 2)"},
        {"extensible ADPCM with 4 channels",
         WavBytes().fmt(40, 0xFFFE, 4, 32000, 1024, 4, 0, 0x11).data(1024),
         "IMA ADPCM with 4 channels is not supported (at most 2)"},
        {"ADPCM block not whole groups", WavBytes().fmt(20, 0x11, 2, 32000, 260, 4, 505).data(260),
         "ADPCM BlockAlign = 260 does not fit 2 channels"},
        {"ADPCM SamplesPerBlock beyond the block", WavBytes().fmt(20, 0x11, 1, 32000, 256, 4, 506).data(256),
         "SamplesPerBlock = 506 does not fit BlockAlign = 256"},
        {"ADPCM SamplesPerBlock 0", WavBytes().fmt(20, 0x11, 1, 32000, 256, 4, 0).data(256),
         "SamplesPerBlock = 0 does not fit BlockAlign = 256"},
        {"PCM BlockAlign that disagrees with channels and bits",
         WavBytes().fmt(16, 1, 2, 32000, 2, 16).data(100),
         "PCM BlockAlign = 2 does not match 2 channels of 16 bits"},
        // Sizes near 2^32: the position must not wrap back into the header and loop.
        {"unknown chunk of almost 4 GiB",
         WavBytes().fmt(16, 1, 1, 32000, 2, 16).chunk("LIST", BIG, {}).data(100), "Unexpected end of header"},
        {"unknown chunk of 4 GiB - 1 (padded)",
         WavBytes().fmt(16, 1, 1, 32000, 2, 16).chunk("junk", 0xFFFFFFFFu, {}).data(100),
         "Unexpected end of header"},
        {"fact chunk of almost 4 GiB",
         WavBytes().fmt(16, 1, 1, 32000, 2, 16).chunk("fact", BIG, {1, 0, 0, 0}).data(8),
         "Unexpected end of header"},
        {"fmt chunk that runs past the header", WavBytes().fmt(40, 1, 1, 32000, 2, 16),
         "Unexpected end of header"},
    };
    for (const RefusedCase &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        const Parsed p = parse(c.wav.bytes(), c.wav.size());
        EXPECT_EQ(p.result, -1);
        EXPECT_EQ(log.count(c.line), 1) << log.dump();
        EXPECT_EQ(log.count("I (") + log.count("E ("), (int)log.lines().size());
    }
}

TEST(WavHeader, HeaderEndsTooEarly) {
    LogCapture log;
    const WavBytes exact12;
    EXPECT_EQ(parse(exact12.bytes(), 12).result, -1);
    EXPECT_TRUE(log.contains("E (")) << log.dump();
    EXPECT_TRUE(log.contains("wav_header: Unexpected end of header"));

    // The data chunk's header ends exactly at, or one byte before, the examined length.
    const WavBytes w = WavBytes().fmt(16, 1, 1, 32000, 2, 16).data(100);
    const size_t header_end = w.size() - 8;
    for (size_t len : {header_end - 1, header_end}) {
        log.clear();
        EXPECT_EQ(parse(w.bytes(), len).result, -1) << len;
        EXPECT_EQ(log.count("Unexpected end of header"), 1) << len;
    }
    log.clear();
    EXPECT_EQ(parse(w.bytes(), header_end + 1).result, (int)header_end);

    wav_info_t info;
    EXPECT_EQ(get_wav_info(w.bytes().data(), (uint8_t)w.size(), nullptr), -1);
    EXPECT_EQ(get_wav_info(nullptr, 0, &info), -1);
}

TEST(WavHeader, PlainPcmLogsTheThreeFormatLines) {
    LogCapture log;
    const WavBytes w = WavBytes().fmt(16, 1, 2, 44100, 4, 16).data(4000);
    const Parsed p = parse(w.bytes(), w.size());
    ASSERT_EQ(p.result, 44);
    EXPECT_EQ(p.info.dataShift, 44u);
    EXPECT_EQ(p.info.audioFormat, 1);
    EXPECT_EQ(p.info.channels, 2);
    EXPECT_EQ(p.info.sampleRate, 44100u);
    EXPECT_EQ(p.info.bitRate, 44100u * 4);
    EXPECT_EQ(p.info.blockAlign, 4);
    EXPECT_EQ(p.info.bits, 16);
    EXPECT_EQ(p.info.dataSize, 4000u);
    const std::vector<std::string> expected = {
        "format tag size = 16",
        "FormatTag = 0x1, NumChannels = 2, BitsPerSample = 16",
        "BlockAlign = 4, SampleRate = 44100, BytesPerSecond = 176400",
        "num samples = 1000",
    };
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), expected.size()) << log.dump();
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i].substr(0, 2), "I ");
        EXPECT_NE(lines[i].find("wav_header: " + expected[i]), std::string::npos) << lines[i];
    }
}

struct AcceptedCase {
    const char *name;
    WavBytes wav;
    uint16_t format;
    uint16_t bits;
    uint32_t data_size;
    std::vector<const char *> lines;  // lines that must appear, once each
};

TEST(WavHeader, FormatsChunksAndSampleCounts) {
    const AcceptedCase cases[] = {
        {"extensible of 40 bytes with PCM sub-format",
         WavBytes().fmt(40, 0xFFFE, 1, 32000, 2, 16, 16, 1).data(200),
         1,
         16,
         200,
         {"cbSize = 22, ValidBitsPerSample = 16", "ChannelMask = 3, SubFormat = 1"}},
        {"extensible of 40 bytes: ValidBitsPerSample wins",
         WavBytes().fmt(40, 0xFFFE, 1, 32000, 4, 32, 24, 1).data(200),
         1,
         24,
         50 * 24 / 8,
         {"FormatTag = 0xfffe, NumChannels = 1, BitsPerSample = 32"}},
        {"extensible of 40 bytes with ADPCM sub-format",
         WavBytes().fmt(40, 0xFFFE, 1, 32000, 256, 4, 505, 0x11).data(512),
         0x11,
         505,  // a non-zero ValidBitsPerSample (the shared field) becomes bits
         (uint32_t)(1010ull * 505 / 8),
         {"cbSize = 22, SamplesPerBlock = 505"}},
        {"extensible of 18 bytes keeps 0xFFFE",
         WavBytes().fmt(18, 0xFFFE, 1, 32000, 2, 16).data(200),
         0xFFFE,
         16,
         200 / 2 * 16 / 8,
         {}},
        {"odd LIST chunk skipped with its padding byte",
         WavBytes().fmt(16, 1, 1, 32000, 2, 16).chunk("LIST", 5, {'a', 'b', 'c', 'd', 'e', 0}).data(64),
         1,
         16,
         64,
         {"extra unknown chunk \"LIST\" of 5 bytes"}},
        {"ADPCM with a short final block",
         WavBytes().fmt(20, 0x11, 1, 32000, 256, 4, 505).data(2 * 256 + 20),
         0x11,
         4,
         1043 / 2,
         {"data chunk has 20 bytes left over for final ADPCM block", "num samples = 1043"}},
        {"ADPCM fmt of 16 bytes derives SamplesPerBlock from BlockAlign",
         WavBytes().fmt(16, 0x11, 1, 32000, 256, 4).data(2 * 256),
         0x11,
         4,
         1010 / 2,
         {"num samples = 1010"}},
        {"stereo ADPCM fmt of 18 bytes derives SamplesPerBlock",
         WavBytes().fmt(18, 0x11, 2, 32000, 512, 4).data(3 * 512),
         0x11,
         4,
         2 * 1515 / 2,
         {"num samples = 1515"}},
        {"fact count inside the last block",
         WavBytes().fmt(20, 0x11, 1, 32000, 256, 4, 505).fact(1000).data(512),
         0x11,
         4,
         1000 / 2,
         {"total samples reduced 10 by FACT chunk", "num samples = 1000"}},
        {"fact count before the last block is ignored",
         WavBytes().fmt(20, 0x11, 1, 32000, 256, 4, 505).fact(400).data(512),
         0x11,
         4,
         1010 / 2,
         {"num samples = 1010"}},
        {"stereo fact count twice the true count",
         WavBytes().fmt(20, 0x11, 2, 32000, 512, 4, 505).fact(2 * 1000).data(2 * 512),
         0x11,
         4,
         1000,
         {"num samples reduced 10 by [incorrect] FACT chunk", "num samples = 1000"}},
        {"fact chunk of 6 bytes (no padding)",
         WavBytes().fmt(20, 0x11, 1, 32000, 256, 4, 505).chunk("fact", 6, {0xE8, 0x03, 0, 0, 0, 0}).data(512),
         0x11,
         4,
         500,
         {"total samples reduced 10 by FACT chunk"}},
    };
    for (const AcceptedCase &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        const Parsed p = parse(c.wav.bytes(), c.wav.size());
        ASSERT_EQ(p.result, body_of(c.wav)) << log.dump();
        EXPECT_EQ(p.info.dataShift, (uint32_t)p.result);
        EXPECT_EQ(p.info.audioFormat, c.format);
        EXPECT_EQ(p.info.bits, c.bits);
        EXPECT_EQ(p.info.dataSize, c.data_size);
        for (const char *line : c.lines)
            EXPECT_EQ(log.count(line), 1) << line << "\n" << log.dump();
    }
}

TEST(WavHeader, StaleRecordDoesNotPassForAFormatChunk) {
    // A record left over from an earlier parse must not let a data chunk without a format chunk
    // through (it would divide by a stale BlockAlign).
    wav_info_t info;
    memset(&info, 0, sizeof info);
    info.channels = 2;
    info.blockAlign = 4;
    const WavBytes w = WavBytes().data(100);
    LogCapture log;
    EXPECT_EQ(get_wav_info(w.bytes().data(), (uint8_t)w.size(), &info), -1);
    EXPECT_TRUE(log.contains("Data is not a valid .WAV file!"));
}

TEST(WavHeader, ChunkIdsWithControlBytesStayOnOneLine) {
    const WavBytes w = WavBytes().fmt(16, 1, 1, 8000, 2, 16).chunk("a\nb\x01", 2, {0, 0}).data(10);
    LogCapture log;
    EXPECT_EQ(parse(w.bytes(), w.size()).result, body_of(w));
    EXPECT_TRUE(log.contains("extra unknown chunk \"a?b?\" of 2 bytes")) << log.dump();
}

}  // namespace
