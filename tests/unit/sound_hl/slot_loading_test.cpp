// Slot loading: a folder becomes the slot description (drive functions, plain, multi and info
// functions), with the refusals and limits a sound-project author meets.
#include "engine_fixture.h"
#include "fake_nvs.h"
#include "sound_drv_function.h"

namespace {

using SlotLoading = EngineTest;

TEST_F(SlotLoading, WorkedExampleFolder) {
    for (const char *f : {"F1_START.wav", "F1_STOP.wav", "F1_S0_LOOP.wav", "F1_S40_LOOP.wav",
                          "F1_S40_OFF.wav", "F1_ACCELON.wav", "F2_ON.wav", "F2_LOOP.wav", "F2_OFF.wav",
                          "F3A_ON.wav", "F3B_ON.wav", "F4_INFO1.wav", "F4_INFO2.wav"})
        write_tone(f, 0.5);
    write_tone("F1_STOP.wav", 2.0);
    load();
    ASSERT_TRUE(log_.contains("Slot 1 loaded successfully")) << log_.dump();
    fw_lock();
    EXPECT_EQ(slot_data.sample_rate, RATE);
    ASSERT_EQ(slot_data.drive_functions_len, 1);
    drive_function_rom_t &d = slot_data.drive_functions[0];
    EXPECT_EQ(d.fid, 1);
    EXPECT_EQ(d.variant, DRIVE_VARIANT_SPEED);
    EXPECT_EQ(d.start_id, track_of("F1_START.wav"));
    EXPECT_EQ(d.stop_id, track_of("F1_STOP.wav"));
    EXPECT_EQ(d.accelon_ids[0], track_of("F1_ACCELON.wav"));
    EXPECT_EQ(drive_functions[0].accelon_len, 1);
    const uint32_t max_speed = drive_functions[0].max_speed;
    EXPECT_EQ(max_speed, 255u);
    ASSERT_EQ(d.items_len, 2);
    EXPECT_EQ(d.items[0].item.ids[FUNCTION_LOOP], track_of("F1_S0_LOOP.wav"));
    EXPECT_EQ(d.items[0].min, 0);
    EXPECT_EQ(d.items[1].item.ids[FUNCTION_LOOP], track_of("F1_S40_LOOP.wav"));
    EXPECT_EQ(d.items[1].min, (max_speed * 40 + 50) / 100);
    EXPECT_EQ(d.items[0].max, d.items[1].min);
    EXPECT_EQ((uint32_t)d.items[1].max, max_speed);
    // The first running level's OFF track becomes the drive-off sound.
    EXPECT_EQ(d.drv_off_id, track_of("F1_S40_OFF.wav"));
    EXPECT_EQ(d.items[1].item.ids[FUNCTION_OFF], -1);
    // STOP: the speed from which braking at the deceleration rate lasts as long as the track.
    EXPECT_EQ(d.stop_speed, drive_function_decel_ms2spd(&drive_functions[0], 2000));
    for (const char *f : {"F1_S0_LOOP.wav", "F1_S40_LOOP.wav", "F1_S40_OFF.wav"})
        EXPECT_EQ(tracks_rom[track_of(f)].ch_group, 127) << f;
    EXPECT_EQ(tracks_rom[track_of("F1_S0_LOOP.wav")].drive_pos, 0);
    EXPECT_EQ(tracks_rom[track_of("F1_S40_LOOP.wav")].drive_pos, 1);
    EXPECT_EQ(tracks_rom[track_of("F1_S40_OFF.wav")].drive_pos, 1);
    for (const char *f : {"F1_START.wav", "F1_STOP.wav", "F1_ACCELON.wav"})
        EXPECT_EQ(tracks_rom[track_of(f)].ch_group, -1) << f;

    const int8_t *f2 = slot_data.functions[2].ids;
    EXPECT_EQ(f2[0], -1);
    EXPECT_EQ(f2[1], track_of("F2_ON.wav"));
    EXPECT_EQ(f2[2], track_of("F2_LOOP.wav"));
    EXPECT_EQ(f2[3], track_of("F2_OFF.wav"));

    ASSERT_EQ(slot_data.multi_functions_len, 1);
    multi_function_t &m = slot_data.multi_functions[0];
    EXPECT_EQ(m.func_id, 3);
    EXPECT_EQ(m.len, 2);
    EXPECT_EQ(m.variants[0].ids[FUNCTION_ON], track_of("F3A_ON.wav"));
    EXPECT_EQ(m.variants[1].ids[FUNCTION_ON], track_of("F3B_ON.wav"));
    for (int p = 0; p < 4; p++)
        EXPECT_EQ(slot_data.functions[3].ids[p], -1);

    ASSERT_EQ(slot_data.info_functions_len, 1);
    info_function_t &info = slot_data.info_functions[0];
    EXPECT_EQ(info.fid, 4);
    EXPECT_EQ(info.ids[1], track_of("F4_INFO1.wav"));
    EXPECT_EQ(info.ids[3], track_of("F4_INFO2.wav"));
    EXPECT_EQ(info.len, 4);
    EXPECT_EQ(slot_data.functions[4].ids[0], -2);
    fw_unlock();
}

TEST_F(SlotLoading, RefusalsAndLimits) {
    // Acceleration mode: with a whole-range ACCEL track, ON and OFF sounds of speed steps go.
    write_tone("F1_ACCEL.wav", 0.3);
    write_tone("F1_S0_LOOP.wav", 0.3);
    write_tone("F1_S30_ON.wav", 0.3);
    write_tone("F1_S30_LOOP.wav", 0.3);
    // A plain file next to lettered variants becomes variant A.
    write_tone("F5A_ON.wav", 0.3);
    write_tone("F5_ON.wav", 0.3);
    // A lower-case complex-loop part is classified but not placed.
    write_tone("f6_s20_px_loop2.wav", 0.3);
    // Another sample rate is refused; a stereo file is noticed.
    write_tone("F7_ON.wav", 0.3, 440, 44100);
    write_tone("F8_ON.wav", 0.3, 440, RATE, 2);
    // A LOOP suffix number that comes out negative is refused, never used as an index.
    write_tone("F9_S10_P100_LOOP-3.wav", 0.3);
    load();
    fw_lock();
    const int rate_44 = track_of("F7_ON.wav");
    EXPECT_TRUE(log_.contains("F1: ON is not allowed in Accel/Decel mode")) << log_.dump();
    drive_function_t *df = drive_get_instance(1, DRIVE_VARIANT_SPEED);
    ASSERT_NE(df, nullptr);
    for (int k = 0; k < df->rom->items_len; k++)
        EXPECT_EQ(df->rom->items[k].item.ids[FUNCTION_ON], -1);
    EXPECT_FALSE(tracks[track_of("F1_S30_ON.wav")].available);

    multi_function_t *m = multi_function_get_instance(5);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->len, 1);
    EXPECT_EQ(m->variants[0].ids[FUNCTION_ON], track_of("F5_ON.wav"));
    EXPECT_EQ(slot_data.functions[5].ids[FUNCTION_ON], -1);

    const int lower = track_of("f6_s20_px_loop2.wav");
    ASSERT_GE(lower, 0);
    EXPECT_EQ(tracks_rom[lower].type, PLAY_TYPE_REPEAT);
    for (int c = 0; c < slot_data.complex_loops_len; c++)
        for (int p = 0; p < MAX_COMPLEX_LOOP_PARTS; p++)
            EXPECT_NE(slot_data.complex_loops[c].ids[p], lower);

    // Whichever rate came first, one of the two rates was refused with its line.
    EXPECT_TRUE(log_.contains("is not equal to slot value")) << log_.dump();
    EXPECT_TRUE(log_.contains("Slot 1 loaded with errors"));
    EXPECT_TRUE(log_.contains("Mixed mono and stereo files"));
    EXPECT_TRUE(log_.contains("LOOP id")) << log_.dump();
    if (slot_data.sample_rate == RATE) {
        EXPECT_FALSE(tracks[rate_44].available);
    }
    fw_unlock();
}

TEST_F(SlotLoading, InvalidSlotUnloadsAndFailedFilesLeaveTheSlotIdle) {
    write_tone("F2_ON.wav", 0.3);
    load();
    EXPECT_EQ(state(), SLOT_LOADED);
    EXPECT_EQ(soundHL_load_slot(3, false), ESP_FAIL);
    EXPECT_TRUE(log_.contains("Slot is invalid id = 4"));
    fw_lock();
    EXPECT_EQ(slot_data.id, -1);
    EXPECT_FALSE(tracks[0].available);
    fw_unlock();

    // Nothing in the folder loads: the slot ends with errors and stays idle.
    clear_slot_folder();
    std::FILE *f = std::fopen((slot_dir() / "F2_ON.wav").c_str(), "wb");
    std::fputs("RIFF....not a wave", f);
    std::fclose(f);
    log_.clear();
    load();
    EXPECT_TRUE(log_.contains("Slot 1 loaded with errors")) << log_.dump();
    // The reader's reason carries only its tag: the loader names the file.
    EXPECT_TRUE(log_.contains("SOUND_HL: 0:data/1/F2_ON.wav could not be loaded")) << log_.dump();
    EXPECT_EQ(state(), SLOT_IDLE);
}

TEST_F(SlotLoading, KeyPressedDuringALoadSoundsAfterIt) {
    for (int i = 10; i < 40; i++)
        write_tone("F" + std::to_string(i) + ".wav", 0.2);
    write_tone("F2_LOOP.wav", 1.0);
    ASSERT_EQ(soundHL_load_slot(0, true), ESP_OK);
    // A second request while loading is refused and does not disturb the running load.
    EXPECT_EQ(soundHL_load_slot(3, false), ESP_FAIL);
    EXPECT_TRUE(log_.contains("Slot loading is in progress")) << log_.dump();
    DCC_SetFunctionState(2, true);
    wait_loaded();
    EXPECT_TRUE(log_.contains("Slot 1 loaded successfully")) << log_.dump();
    EXPECT_TRUE(wait_log("(LOOP) FADEIN=")) << log_.dump();
    DCC_SetFunctionState(2, false);
}

// A stored tracks blob cut short is not used: the slot is parsed again rather than loaded with
// tracks the description names but whose records are missing.
TEST_F(SlotLoading, AShortStoredTracksBlobIsParsedAgain) {
    test_support::FakeNvs nvs;
    for (const char *f : {"F1_ON.wav", "F2_ON.wav", "F3_ON.wav"})
        write_tone(f, 0.5);
    load();
    std::vector<uint8_t> &tracks = nvs.values["tracks_blob"];
    ASSERT_EQ(tracks.size(), 3 * sizeof(track_rom_t));
    tracks.resize(sizeof(track_rom_t));
    ASSERT_EQ(soundHL_load_slot(0, false), ESP_OK);
    wait_loaded();
    EXPECT_FALSE(log_.contains("fast load done")) << log_.dump();
    EXPECT_TRUE(log_.contains("Wrong tracks blob size 66.")) << log_.dump();
    EXPECT_TRUE(log_.contains("Slot 1 loaded successfully")) << log_.dump();
}

}  // namespace
