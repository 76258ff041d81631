// The bundled demo project (demo/) read with the firmware's own parsers: every file of both
// slots must be accepted, every audio file must be 32000 Hz mono in a format the readers play,
// and slot 1 must hold every role that the user guide and the cheat-sheet promise.
#include <dirent.h>
#include <tremor/ivorbisfile.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "file_io.h"
#include "files.h"
#include "gtest/gtest.h"
#include "slot_tables.h"
#include "test_support.h"
#include "wav_header.h"

namespace {

// The tests run with demo/ as the working directory, as scripts/run does: the stored track
// paths are relative to it and must fit their 50-byte field.
const std::filesystem::path DEMO = std::filesystem::path(TEST_SOURCE_DIR) / "demo";

struct Slot {
    TrackTable tracks{0};
    LogicTable logics;
    loco_info_t info;
    std::vector<std::string> log_lines;

    explicit Slot(int n) {
        memset(&info, 0, sizeof info);
        info.type = 255;
        LogCapture log;
        // Bit 0: apply the CV file too, as a slot switch does.
        result = fileIO_parseFolder(("data/" + std::to_string(n) + "/").c_str(), tracks.items, logics.items,
                                    &info, 1);
        log_lines = log.lines();
    }
    esp_err_t result;

    int count(play_type_t type, int func, int min_speed = -1) const {
        int n = 0;
        for (const track_rom_t &r : tracks.rom)
            if (r.filepath[0] && r.type == type && r.function_id == func && r.speed >= min_speed) n++;
        return n;
    }
    std::set<int> speeds(play_type_t type, int func, int variant) const {
        std::set<int> s;
        for (const track_rom_t &r : tracks.rom)
            if (r.filepath[0] && r.type == type && r.function_id == func && r.variant_id == variant &&
                r.speed >= 0)
                s.insert(r.speed);
        return s;
    }
    std::set<int> variants(play_type_t type, int func) const {
        std::set<int> s;
        for (const track_rom_t &r : tracks.rom)
            if (r.filepath[0] && r.type == type && r.function_id == func) s.insert(r.variant_id);
        return s;
    }
};

std::vector<std::string> audio_files(const std::string &dir) {
    std::vector<std::string> names;
    for (const auto &e : std::filesystem::directory_iterator(dir)) {
        std::string ext = e.path().extension().string();
        if (ext == ".wav" || ext == ".ogg") names.push_back(e.path().filename().string());
    }
    return names;
}

int non_empty_lines(const std::string &path) {
    std::ifstream in(path);
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        n += line.find_first_not_of(" \r\t") != std::string::npos ? 1 : 0;
    return n;
}

// Checks one audio file the way the readers open it; returns its format (1 PCM, 17 ADPCM,
// 32 Ogg Vorbis) or 0.
int check_audio(const std::string &path) {
    SCOPED_TRACE(path);
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        ADD_FAILURE() << "cannot open";
        return 0;
    }
    if (path.size() > 4 && path.substr(path.size() - 4) == ".ogg") {
        OggVorbis_File vf;
        if (ov_open(f, &vf, nullptr, 0) != 0) {
            fclose(f);
            ADD_FAILURE() << "not an Ogg Vorbis stream";
            return 0;
        }
        vorbis_info *vi = ov_info(&vf, -1);
        EXPECT_EQ(vi->rate, 32000);
        EXPECT_EQ(vi->channels, 1);
        EXPECT_GT(ov_pcm_total(&vf, -1), 0);
        ov_clear(&vf);  // closes the file
        return 32;
    }
    uint8_t head[128];
    size_t len = fread(head, 1, sizeof head, f);
    fclose(f);
    wav_info_t info{};
    if (get_wav_info(head, (uint8_t)len, &info) < 0) {
        ADD_FAILURE() << "WAV header refused";
        return 0;
    }
    EXPECT_EQ(info.sampleRate, 32000u);
    EXPECT_EQ(info.channels, 1);
    EXPECT_GT(info.dataSize, 0u);
    bool playable = (info.audioFormat == 1 && info.bits == 16) || (info.audioFormat == 17 && info.bits == 4);
    EXPECT_TRUE(playable) << "format " << info.audioFormat << " with " << info.bits << " bits";
    return info.audioFormat;
}

TEST(DemoProject, EveryFileOfBothSlotsIsAcceptedAndPlayable) {
    test_support::InFolder here(DEMO);
    for (int n : {1, 2}) {
        SCOPED_TRACE("slot " + std::to_string(n));
        std::string dir = "data/" + std::to_string(n) + "/";
        Slot slot(n);
        ASSERT_EQ(slot.result, 0);
        // Refused files, bad lines and bad logic conditions are logged as warnings or errors;
        // the only warnings allowed are the CV file's "Applied CV" reports.
        for (const std::string &line : slot.log_lines) {
            bool problem = line.rfind("E (", 0) == 0 ||
                           (line.rfind("W (", 0) == 0 && line.find("Applied CV") == std::string::npos);
            EXPECT_FALSE(problem) << line;
        }
        std::vector<std::string> files = audio_files(dir);
        EXPECT_LE(files.size(), (size_t)MAX_TRACKS);
        int used = 0;
        std::set<int> formats;
        for (const track_rom_t &r : slot.tracks.rom) {
            if (r.filepath[0] == 0) continue;
            used++;
            formats.insert(check_audio(r.filepath));
        }
        EXPECT_EQ(used, (int)files.size()) << "every audio file takes a track";
        EXPECT_EQ(formats, (std::set<int>{1, 17, 32})) << "all three formats";
        EXPECT_NE(slot.info.type, 255) << "functions file read";
        EXPECT_GT(strlen(slot.info.name), 0u);
        int logic_lines = std::filesystem::exists(dir + "logic.txt") ? non_empty_lines(dir + "logic.txt") : 0;
        int accepted = 0;
        while (accepted < MAX_LOGICS && slot.logics.rom[accepted].type != LOGIC_NONE)
            accepted++;
        EXPECT_EQ(accepted, logic_lines) << "every logic line accepted";
    }
}

TEST(DemoProject, SlotsHoldTheRolesTheGuideDescribes) {
    test_support::InFolder here(DEMO);
    Slot d(1);
    ASSERT_EQ(d.result, 0);
    // Diesel engine on F1: idle and at least four running notches with ON and OFF transitions.
    std::set<int> loops = d.speeds(PLAY_TYPE_LOOP, 1, DRIVE_VARIANT_SPEED);
    EXPECT_GE(loops.size(), 5u);
    EXPECT_EQ(loops.count(0), 1u) << "idle level";
    std::set<int> ons = d.speeds(PLAY_TYPE_ON, 1, DRIVE_VARIANT_SPEED);
    EXPECT_GE(ons.size(), 5u);
    EXPECT_EQ(ons.count(0), 1u) << "engine start as the idle level's ON";
    // A plain F1_ON would be the key's own ON track, whose end does not lead into the idle.
    EXPECT_EQ(d.count(PLAY_TYPE_ON, 1), (int)ons.size());
    EXPECT_GE(d.speeds(PLAY_TYPE_OFF, 1, DRIVE_VARIANT_SPEED).size(), 4u);
    for (play_type_t t : {PLAY_TYPE_START, PLAY_TYPE_STOP, PLAY_TYPE_ESTOP, PLAY_TYPE_DIR, PLAY_TYPE_LOOPD})
        EXPECT_EQ(d.count(t, 1), 1) << "type " << t;
    EXPECT_EQ(d.count(PLAY_TYPE_TURBO, 1, 61), 0);
    EXPECT_EQ(d.count(PLAY_TYPE_TURBO, 1, 60), 1) << "TURBO from 60 %";
    EXPECT_GE(d.variants(PLAY_TYPE_ACCELON, 1).size(), 2u);
    EXPECT_GE(d.variants(PLAY_TYPE_DECELON, 1).size(), 2u);
    EXPECT_GE(d.count(PLAY_TYPE_DECEL, 1, 1), 2) << "banded DECEL tracks";
    EXPECT_EQ(d.count(PLAY_TYPE_DECEL, 1, -1), d.count(PLAY_TYPE_DECEL, 1, 1))
        << "a DECEL without speed would refuse the level transitions";
    EXPECT_EQ(d.count(PLAY_TYPE_ACCEL, 1, -1), 0);
    // Horn, bell, MULTI whistle, coupler, announcements.
    EXPECT_EQ(d.count(PLAY_TYPE_ON, 2) + d.count(PLAY_TYPE_LOOP, 2) + d.count(PLAY_TYPE_OFF, 2), 3);
    EXPECT_EQ(d.count(PLAY_TYPE_LOOP, 3), 1);
    EXPECT_EQ(d.variants(PLAY_TYPE_ON, 4), (std::set<int>{0, 1, 2}));
    EXPECT_EQ(d.count(PLAY_TYPE_ONESHOT, 5), 1);
    EXPECT_EQ(d.count(PLAY_TYPE_INFO, 8), 3);
    EXPECT_EQ(d.count(PLAY_TYPE_INFONEXT, 8), 3);
    // Logic conditions: braking squeal, compressor at random while standing, fan.
    std::set<std::pair<int, int>> kinds;
    for (const logic_condition_rom_t &l : d.logics.rom)
        if (l.type != LOGIC_NONE) kinds.insert({l.type, l.func_id});
    EXPECT_EQ(kinds.count({LOGIC_DECEL, 10}), 1u);
    EXPECT_EQ(kinds.count({LOGIC_RANDOM, 11}), 1u);
    EXPECT_EQ(kinds.count({LOGIC_FAN, 12}), 1u);
    EXPECT_STREQ(d.info.name, "DemoDiesel");

    Slot e(2);
    ASSERT_EQ(e.result, 0);
    EXPECT_GE(e.speeds(PLAY_TYPE_LOOP, 1, DRIVE_VARIANT_LOAD).size(), 4u) << "load-driven levels";
    EXPECT_TRUE(e.speeds(PLAY_TYPE_LOOP, 1, DRIVE_VARIANT_SPEED).empty());
    EXPECT_EQ(e.speeds(PLAY_TYPE_ON, 1, DRIVE_VARIANT_LOAD).count(0), 1u);
    EXPECT_EQ(e.count(PLAY_TYPE_ON, 1), (int)e.speeds(PLAY_TYPE_ON, 1, DRIVE_VARIANT_LOAD).size());
    EXPECT_STREQ(e.info.name, "DemoElectric");
}

}  // namespace
