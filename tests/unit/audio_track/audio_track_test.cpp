// Audio tracks over real readers, with the mixer draining them through the output device on
// the no-device path.
#include "audio_track.h"

#include <gtest/gtest.h>

#include "audio_files.h"
#include "audio_ll.h"
#include "files.h"
#include "mixer.h"
#include "reader_helpers.h"
#include "sound_hl.h"
#include "test_support.h"

using namespace test_support;

namespace {

constexpr int USED_TRACKS = 10;

class Tracks : public ::testing::Test {
protected:
    void SetUp() override {
        i2s_ll_set_no_device(true);
        i2s_ll_cfg_t icfg = {nullptr, 44100, 16, 2};
        i2s_ll_handle_t i2s = i2s_ll_init(&icfg);
        mixer_stream_cfg_t cfg = {4096, 3072, 0, 10};
        mixer = mixer_init(&cfg);
        ASSERT_NE(mixer, nullptr);
        for (int i = 0; i < USED_TRACKS; i++) {
            audio_reader_cfg_t rcfg = {};
            rcfg.buf_data_len = 4096;
            rcfg.task_prio = 5;
            rcfg.param = &stops[i];
            rcfg.stop_notification = StopWaiter::notify;
            tracks[i].audio_reader = audio_reader_init(&rcfg, ("wav" + std::to_string(i)).c_str());
            tracks[i].rom = &tracks_rom[i];
            tracks[i].state = false;
            tracks[i].available = false;
            tracks_rom[i] = track_rom_t{};
            tracks_rom[i].ch_group = -1;
            tracks_rom[i].function_id = 0xFF;
            mixer_connect_element(mixer, i, tracks[i].audio_reader);
        }
        mixer_set_i2s_handler(mixer, (mixer_handle_t)i2s);
        mixer_set_stream_info(mixer, 32000, 1);
    }
    void TearDown() override {
        // The mixer first: it polls every connected reader until its task has ended.
        mixer_deinit(mixer);
        mixer = nullptr;
        for (int i = 0; i < USED_TRACKS; i++) {
            audio_reader_deinit(tracks[i].audio_reader);
            tracks[i] = track_t{};
        }
    }
    // A track of `ms` milliseconds of a constant 32000 Hz mono signal.
    void set_track(int id, play_type_t type, int8_t group, int ms = 100, const char *name = nullptr) {
        std::string file = name ? name : "t" + std::to_string(id) + ".wav";
        std::string path = dir.file(file);
        ASSERT_TRUE(write_pcm_wav(path, std::vector<int16_t>((size_t)ms * 32, 3000), 32000));
        ASSERT_LT(path.size(), sizeof tracks_rom[id].filepath);
        snprintf(tracks_rom[id].filepath, sizeof tracks_rom[id].filepath, "%s", path.c_str());
        tracks_rom[id].type = type;
        tracks_rom[id].ch_group = group;
    }
    bool running(int id) { return audio_reader_get_task_state(tracks[id].audio_reader) != TASK_IDLE; }

    TempFolder dir;
    StopWaiter stops[USED_TRACKS];
};

}  // namespace

TEST_F(Tracks, IdsOutsideTheTableAndEmptyTracks) {
    EXPECT_EQ(track_play(100, "START", 0, 0), ESP_ERR_INVALID_ARG);
    EXPECT_EQ(track_play(-1, "START", 0, 0), ESP_ERR_INVALID_ARG);
    EXPECT_EQ(track_stop(100, 0), ESP_ERR_INVALID_ARG);
    EXPECT_EQ(track_load(-1), ESP_ERR_INVALID_ARG);
    EXPECT_EQ(track_get_duration(100), 0u);
    // No description at all, then an empty file path.
    tracks[3].rom = nullptr;
    EXPECT_EQ(track_load(3), ESP_FAIL);
    tracks[3].rom = &tracks_rom[3];
    EXPECT_EQ(track_load(3), ESP_OK);
    EXPECT_FALSE(tracks[3].available);
    EXPECT_EQ(track_play(3, "START", 0, 0), ESP_FAIL);
    EXPECT_FALSE(running(3));
    // A path that does not exist: the load fails and is tried again by the next play.
    snprintf(tracks_rom[3].filepath, sizeof tracks_rom[3].filepath, "%s", dir.file("missing.wav").c_str());
    EXPECT_EQ(track_load(3), ESP_FAIL);
    EXPECT_EQ(track_play(3, "START", 0, 0), ESP_FAIL);
}

TEST_F(Tracks, LoadIsLazyAndTellsTheMixerTheFormat) {
    set_track(4, PLAY_TYPE_ONESHOT, -1, 250, "horn_T700.wav");
    EXPECT_EQ(track_get_duration(4), 701u);
    EXPECT_TRUE(tracks[4].available);
    mixer_info_t info;
    ASSERT_EQ(mixer_get_info(mixer, &info), ESP_OK);
    EXPECT_EQ(info.samplerate[4], 32000);
    EXPECT_EQ(info.channels[4], 1);
    EXPECT_FALSE(tracks[4].state);
}

TEST_F(Tracks, StartingATrackStopsTheOthersOfItsGroup) {
    TimerPump pump;
    set_track(5, PLAY_TYPE_LOOP, 127);
    set_track(6, PLAY_TYPE_LOOP, -1);
    set_track(7, PLAY_TYPE_LOOP, -1);
    ASSERT_EQ(track_play(6, "LOOP", 0, 0), ESP_OK);
    ASSERT_EQ(track_play(7, "LOOP", 0, 0), ESP_OK);
    tracks_rom[6].ch_group = 127;
    tracks_rom[7].ch_group = 127;
    LogCapture log;
    ASSERT_EQ(track_play(5, "START", 200, 0), ESP_OK);
    EXPECT_TRUE(log.contains("Stop 6 from group 127 FADEOUT=200")) << log.dump();
    EXPECT_TRUE(log.contains("Stop 7 from group 127 FADEOUT=200")) << log.dump();
    EXPECT_TRUE(log.contains("Play 5(START) FADEIN=200 NOTIFICATION=0")) << log.dump();
    EXPECT_TRUE(tracks[5].state);
    EXPECT_FALSE(tracks[6].state);
    EXPECT_FALSE(tracks[7].state);
    EXPECT_TRUE(stops[6].wait_for(1));
    EXPECT_TRUE(stops[7].wait_for(1));
    EXPECT_TRUE(running(5));

    // And the other way round.
    log.clear();
    ASSERT_EQ(track_play(6, "LOOP", 0, 0), ESP_OK);
    EXPECT_TRUE(log.contains("Stop 5 from group 127 FADEOUT=0")) << log.dump();
    EXPECT_TRUE(stops[5].wait_for(1));
    EXPECT_FALSE(tracks[5].state);
    EXPECT_TRUE(running(6));
}

TEST_F(Tracks, OnlyLoopTracksLoopAndOneShotsIgnoreStops) {
    TimerPump pump;
    set_track(1, PLAY_TYPE_LOOP, -1);
    set_track(2, PLAY_TYPE_LOOPD, -1);
    set_track(3, PLAY_TYPE_ONESHOT, -1, 600);
    ASSERT_EQ(track_play(1, "LOOP", 0, 0), ESP_OK);
    ASSERT_EQ(track_play(2, "LOOPD", 0, 0), ESP_OK);
    ASSERT_EQ(track_play(3, "INFO", 0, 0), ESP_OK);
    // The 100 ms LOOPD track ends by itself; the LOOP track goes on.
    EXPECT_TRUE(stops[2].wait_for(1));
    EXPECT_TRUE(running(1));
    // A stop does not cut a one-shot short.
    EXPECT_EQ(track_stop(3, 0), ESP_OK);
    EXPECT_TRUE(tracks[3].state);
    EXPECT_TRUE(running(3));
    // A LOOP track fades out over the stop's time and ends.
    EXPECT_EQ(track_stop(1, 100), ESP_OK);
    EXPECT_FALSE(tracks[1].state);
    EXPECT_TRUE(stops[1].wait_for(1));
    EXPECT_TRUE(stops[3].wait_for(1));
    // Stopping a track that does not play does nothing.
    EXPECT_EQ(track_stop(1, 100), ESP_OK);
}

TEST_F(Tracks, AReaderThatRefusesToPlayLeavesTheTrackStopped) {
    set_track(8, PLAY_TYPE_LOOP, -1);
    ASSERT_EQ(track_load(8), ESP_OK);
    audio_reader_unload(tracks[8].audio_reader);  // the track still counts as loaded
    LogCapture log;
    EXPECT_EQ(track_play(8, "LOOP", 0, 0), ESP_OK);
    EXPECT_TRUE(log.contains("Failed to play int_id=8")) << log.dump();
    EXPECT_FALSE(tracks[8].state);
}

TEST(TrackTypes, DriveItemsAndMultiVariants) {
    const std::set<play_type_t> drive = {PLAY_TYPE_ON,    PLAY_TYPE_OFF,    PLAY_TYPE_LOOP,
                                         PLAY_TYPE_LOOPD, PLAY_TYPE_REPEAT, PLAY_TYPE_REPEATD};
    const std::set<play_type_t> multi = {PLAY_TYPE_ON, PLAY_TYPE_OFF, PLAY_TYPE_LOOP};
    for (int t = PLAY_TYPE_ONESHOT; t <= PLAY_TYPE_TURBO; t++) {
        EXPECT_EQ(track_is_drv_item((play_type_t)t), drive.count((play_type_t)t) == 1) << t;
        EXPECT_EQ(track_is_multi_possible((play_type_t)t), multi.count((play_type_t)t) == 1) << t;
    }
}
