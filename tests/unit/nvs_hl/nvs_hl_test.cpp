// Stored engine state: the wrappers against an in-memory store.
#include <gtest/gtest.h>

#include <cstring>

#include "esp_log.h"
#include "fake_nvs.h"
#include "nvs_hl.h"
#include "test_support.h"

namespace {

class NvsHl : public ::testing::Test {
protected:
    void SetUp() override { esp_log_level_set("nvs_hl", ESP_LOG_INFO); }
    test_support::FakeNvs fake_nvs;
    LogCapture log;
};

TEST_F(NvsHl, SpeedAndDirectionPackDirectionPlusOneInTheHighByte) {
    EXPECT_EQ(nvsHL_set_speed_and_dir(40, -1), 0);
    EXPECT_EQ(fake_nvs.u16("speed_dir"), 0x0028);
    EXPECT_EQ(nvsHL_set_speed_and_dir(40, 1), 0);
    EXPECT_EQ(fake_nvs.u16("speed_dir"), 0x0228);
    EXPECT_EQ(fake_nvs.committed.count("speed_dir"), 1u);

    uint8_t speed = 0;
    int8_t dir = 0;
    EXPECT_EQ(nvsHL_get_speed_and_dir(&speed, &dir), 0);
    EXPECT_EQ(speed, 40);
    EXPECT_EQ(dir, 1);

    // Without pointers the key is still opened, read and closed.
    const int opens = fake_nvs.opens, closes = fake_nvs.closes;
    EXPECT_EQ(nvsHL_get_speed_and_dir(nullptr, nullptr), 0);
    EXPECT_EQ(fake_nvs.opens, opens + 1);
    EXPECT_EQ(fake_nvs.closes, closes + 1);
}

TEST_F(NvsHl, MissingSpeedLeavesTheCallersValues) {
    uint8_t speed = 7;
    int8_t dir = 1;
    EXPECT_EQ(nvsHL_get_speed_and_dir(&speed, &dir), 0);
    EXPECT_EQ(speed, 7);
    EXPECT_EQ(dir, 1);
}

TEST_F(NvsHl, OpenFailures) {
    fake_nvs.open_result = ESP_ERR_NVS_NOT_FOUND;
    uint8_t v = 9;
    EXPECT_EQ(nvsHL_get_u8("hw_flags", &v), -1);
    EXPECT_EQ(v, 9);
    EXPECT_EQ(nvsHL_set_u8("hw_flags", 1), -1);
    EXPECT_EQ(nvsHL_set_speed_and_dir(1, 1), -1);
    EXPECT_EQ(nvsHL_erase_function_volume(), -1);
    EXPECT_EQ(log.count("Error opening NVS handle."), 4);

    // Blob loads count an unopenable store as "nothing stored": success, buffers untouched.
    uint8_t slot[4] = {1, 2, 3, 4}, tracks[4] = {5, 6, 7, 8};
    size_t len = sizeof slot, tracks_len = sizeof tracks;
    EXPECT_EQ(nvsHL_load_slot_data(slot, &len, tracks, &tracks_len), 0);
    EXPECT_EQ(nvsHL_load_raw_data("loco_info", slot, &len), 0);
    EXPECT_EQ(slot[0], 1);
    EXPECT_EQ(tracks[3], 8);
    EXPECT_TRUE(log.contains("Error opening NVS handle ret = 1102"));
    EXPECT_TRUE(fake_nvs.values.empty());
}

TEST_F(NvsHl, SlotBlobsAreCommittedTogether) {
    uint8_t slot[16], tracks[660];
    memset(slot, 0xAB, sizeof slot);
    memset(tracks, 0xCD, sizeof tracks);
    EXPECT_EQ(nvsHL_save_slot_data(slot, sizeof slot, tracks, sizeof tracks), 0);
    EXPECT_TRUE(log.contains("Saving slot with size: (16, 660)"));
    EXPECT_EQ(fake_nvs.committed.at("tracks_blob").size(), 660u);

    uint8_t slot2[16] = {}, tracks2[6600] = {};
    size_t len = sizeof slot2, tracks_len = sizeof tracks2;
    EXPECT_EQ(nvsHL_load_slot_data(slot2, &len, tracks2, &tracks_len), 0);
    EXPECT_EQ(len, 16u);
    EXPECT_EQ(tracks_len, 660u);
    EXPECT_EQ(tracks2[659], 0xCD);
    EXPECT_TRUE(log.contains("Loaded slot with size: (16, 660)"));

    // A failing second write commits nothing.
    fake_nvs.clear();
    fake_nvs.failing_write_keys = {"tracks_blob"};
    EXPECT_EQ(nvsHL_save_slot_data(slot, sizeof slot, tracks, sizeof tracks), -1);
    EXPECT_TRUE(log.contains("Error writing tracks blob"));
    EXPECT_EQ(fake_nvs.commits, 0);
    EXPECT_EQ(fake_nvs.opens, fake_nvs.closes);
}

TEST_F(NvsHl, SlotLoadWithoutStoredSlotFails) {
    uint8_t slot[8], tracks[8];
    size_t len = sizeof slot, tracks_len = sizeof tracks;
    EXPECT_EQ(nvsHL_load_slot_data(slot, &len, tracks, &tracks_len), -1);
    EXPECT_TRUE(log.contains("Error reading slot blob ret = 1102"));
}

TEST_F(NvsHl, RawBlobsAndTheirKeys) {
    uint8_t pos[2] = {3, 4};
    EXPECT_EQ(nvsHL_save_info_function_pos(pos, sizeof pos), 0);
    EXPECT_TRUE(log.contains("Saving info_pos_blob with size 2"));
    uint8_t vol[69] = {};
    vol[5] = 80;
    EXPECT_EQ(nvsHL_save_function_volume(vol, 6), 0);

    uint8_t back[69] = {};
    size_t len = sizeof back;
    EXPECT_EQ(nvsHL_load_function_volume(back, &len), 0);
    EXPECT_EQ(len, 6u);
    EXPECT_EQ(back[5], 80);
    EXPECT_TRUE(log.contains("Loaded function_vol with size: 6"));

    // A key never written is normal on a first start: an information line and -1.
    len = sizeof back;
    EXPECT_EQ(nvsHL_load_loco_info(back, &len), -1);
    bool found = false;
    for (const auto &line : log.lines()) {
        if (line.find("Error reading loco_info ret = 1102") == std::string::npos) continue;
        found = true;
        EXPECT_EQ(line[0], 'I') << line;
    }
    EXPECT_TRUE(found) << log.dump();

    EXPECT_EQ(nvsHL_erase_function_volume(), 0);
    EXPECT_FALSE(fake_nvs.has("function_vol"));
    EXPECT_TRUE(log.contains("Erase functions volume"));
    EXPECT_EQ(nvsHL_erase_function_volume(), -1);
    EXPECT_TRUE(log.contains("Error erasing functions volume"));

    fake_nvs.write_result = ESP_FAIL;
    EXPECT_EQ(nvsHL_save_loco_info(back, 4), -1);
    EXPECT_TRUE(log.contains("Error writing loco_info"));
}

}  // namespace
