// The kept store behind the firmware's own storage paths (the CV store and the engine-state
// wrappers): what a killed write leaves, what a damaged file gives, and the store's rules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "esp_log.h"
#include "files.h"
#include "memory.h"
#include "nvs.h"
#include "nvs_hl.h"
#include "slot_data.h"
#include "slot_files.h"
#include "state.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using test_support::read_bytes;

// The first `len` bytes of `bytes` as the file `p`.
void write_file(const fs::path &p, const std::vector<uint8_t> &bytes, size_t len) {
    test_support::write_bytes(p.string(), std::vector<uint8_t>(bytes.begin(), bytes.begin() + (long)len));
}

class KeptStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        esp_log_level_set("*", ESP_LOG_WARN);
        reopen();
    }
    void TearDown() override {
        state_close();
        Memory_ResetForTest();
    }

    // A new process on the same folder: the store and the CV page are loaded afresh.
    void reopen() {
        state_close();
        std::string error;
        ASSERT_TRUE(state_open(dir_.path().string(), &error)) << error;
        Memory_ResetForTest();
    }

    // The values the firmware reads back: CV 3, the stored speed and the F2 volume.
    struct Values {
        int cv3, speed, volume;
        bool operator==(const Values &) const = default;
    };
    static Values values() {
        uint8_t speed = 0, vol[69] = {};
        int8_t dir = 0;
        size_t len = sizeof vol;
        nvsHL_get_speed_and_dir(&speed, &dir);
        nvsHL_load_function_volume(vol, &len);
        return {Memory_LoadU8(3), speed, vol[2]};
    }
    static void store(const Values &v) {
        Memory_SaveU8(3, (uint8_t)v.cv3);
        nvsHL_set_speed_and_dir((uint8_t)v.speed, 1);
        uint8_t vol[3] = {0, 0, (uint8_t)v.volume};
        nvsHL_save_function_volume(vol, sizeof vol);
    }

    fs::path file() const { return dir_.path() / "storage.nvs"; }
    test_support::TempFolder dir_{"kept-store"};
};

// A kill during a write leaves either a temporary file cut anywhere next to the old file, or
// (the file system losing the end of a file) the file itself cut or changed: the next start
// reads the old values, the new ones, or, reporting a damaged file, the factory state. Never
// a mix and never garbage.
TEST_F(KeptStoreTest, AWriteCutAtAnyByteGivesTheOldOrTheNewValues) {
    const Values old_values{11, 40, 60}, new_values{22, 80, 90}, factory{0, 0, 0};
    store(old_values);
    const std::vector<uint8_t> old_file = read_bytes(file().string());
    store(new_values);
    const std::vector<uint8_t> new_file = read_bytes(file().string());
    ASSERT_GT(new_file.size(), 512u);
    ASSERT_EQ(values(), new_values);

    const fs::path tmp = dir_.path() / "storage.nvs.tmp";
    for (size_t cut = 0; cut <= new_file.size(); cut++) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        write_file(file(), old_file, old_file.size());
        write_file(tmp, new_file, cut);
        LogCapture log;
        reopen();
        ASSERT_EQ(values(), old_values);
        ASSERT_EQ(log.count("STATE"), 0) << log.dump();
        ASSERT_FALSE(fs::exists(tmp)) << "the leftover is removed";

        write_file(file(), new_file, cut);
        reopen();
        if (cut == new_file.size()) {
            ASSERT_EQ(values(), new_values);
        } else {
            ASSERT_EQ(values(), factory);
            ASSERT_EQ(Memory_LoadU8(0), 255) << "an unmarked CV page: the defaults get written";
            ASSERT_EQ(log.count("is damaged"), 1) << log.dump();
        }
    }
    // One changed byte anywhere is found as well.
    for (size_t at = 0; at < new_file.size(); at++) {
        std::vector<uint8_t> bad = new_file;
        bad[at] ^= 0x20;
        write_file(file(), bad, bad.size());
        reopen();
        ASSERT_EQ(values(), factory) << "byte " << at;
    }
}

// A damaged or foreign file is reported once, kept aside for the user, and the store starts
// empty; the next commit writes a good file again.
TEST_F(KeptStoreTest, AForeignFileIsReportedOnceAndTreatedAsAbsent) {
    const std::string text = "a text file that happens to have the store's name\n";
    test_support::write_file(file(), text);
    LogCapture log;
    reopen();
    EXPECT_EQ(Memory_LoadU8(0), 255);
    EXPECT_EQ(values(), (Values{0, 0, 0}));
    EXPECT_EQ(log.count("storage.nvs is not a store file of this program: moved aside to storage.nvs.bad; "
                        "starting from the factory state"),
              1)
        << log.dump();
    EXPECT_EQ(log.count("STATE"), 1) << log.dump();
    const std::vector<uint8_t> kept = read_bytes(dir_.file("storage.nvs.bad"));
    EXPECT_EQ(std::string(kept.begin(), kept.end()), text);
    store({5, 6, 7});
    reopen();
    EXPECT_EQ(values(), (Values{5, 6, 7}));
    EXPECT_EQ(log.count("STATE"), 1);
}

// A folder others can write into (under /tmp, say) may hold links planted at the store's names:
// nothing is ever written through them. A link at the lock refuses the folder; links at the
// temporaries are removed; one at the store file is set aside like a damaged file.
TEST_F(KeptStoreTest, LinksPlantedInTheFolderAreNeverWrittenThrough) {
    test_support::TempFolder outside("kept-store-victim");
    const fs::path victim = outside.path() / "victim";
    for (const char *name : {"lock", "storage.nvs.tmp", "slot_files.tmp", "storage.nvs"}) {
        SCOPED_TRACE(name);
        state_close();
        fs::remove_all(dir_.path());
        fs::create_directories(dir_.path());
        test_support::write_file(victim, "victim\n");
        fs::create_symlink(victim, dir_.path() / name);
        std::string error;
        if (std::string(name) == "lock") {
            EXPECT_FALSE(state_open(dir_.path().string(), &error));
            EXPECT_NE(error.find("its lock file is a symbolic link"), std::string::npos) << error;
        } else {
            ASSERT_TRUE(state_open(dir_.path().string(), &error)) << error;
            store({1, 2, 3});
            std::vector<uint8_t> slot(sizeof(slot_rom_t)), tracks(sizeof(track_rom_t));
            nvsHL_save_slot_data(slot.data(), slot.size(), tracks.data(), tracks.size());
            reopen();
            EXPECT_EQ(values(), (Values{1, 2, 3}));
            for (const char *kept : {"storage.nvs", "slot_files"})
                EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir_.path() / kept))) << kept;
        }
        EXPECT_EQ(test_support::read_file(victim), "victim\n");
    }
    // A folder of another user is refused; one of the user's own reached through a link is not.
    fs::create_symlink(dir_.path(), outside.path() / "link");
    std::string error;
    state_close();
    EXPECT_TRUE(state_open((outside.path() / "link").string(), &error)) << error;
    state_close();
    if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user takes root";
    ASSERT_EQ(chown(dir_.path().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(state_open(dir_.path().string(), &error));
    EXPECT_NE(error.find("belongs to another user"), std::string::npos) << error;
}

// Each damaged file is kept for the user, up to ten; a file far larger than a store is refused
// without being read whole.
TEST_F(KeptStoreTest, DamagedFilesAreEachKeptUpToTen) {
    LogCapture log;
    for (int i = 1; i <= 11; i++) {
        test_support::write_file(file(), "damaged " + std::to_string(i));
        reopen();
        values();  // the first read loads the file
    }
    for (int i = 1; i <= 10; i++)
        EXPECT_EQ(
            test_support::read_file(dir_.file("storage.nvs.bad" + (i > 1 ? "-" + std::to_string(i) : ""))),
            "damaged " + std::to_string(i));
    EXPECT_EQ(log.count("10 damaged files are kept already"), 1) << log.dump();
    test_support::write_file(file(), "DCCEMUKV");
    fs::resize_file(file(), 64 << 20);
    reopen();
    values();
    EXPECT_EQ(log.count("storage.nvs is damaged (larger than a store can be)"), 1) << log.dump();
}

// The store's rules, as the firmware relies on them.
TEST_F(KeptStoreTest, BehavesAsTheDecodersStore) {
    nvs_handle_t h;
    ASSERT_EQ(nvs_open("storage", NVS_READONLY, &h), ESP_OK);
    uint8_t u8 = 7;
    EXPECT_EQ(nvs_get_u8(h, "hw_flags", &u8), ESP_ERR_NVS_NOT_FOUND);
    EXPECT_EQ(u8, 7) << "a missing key leaves the variable";
    EXPECT_EQ(nvs_set_u8(h, "hw_flags", 1), ESP_ERR_NVS_READ_ONLY);
    nvs_close(h);
    EXPECT_EQ(nvs_get_u8(h, "hw_flags", &u8), ESP_ERR_NVS_INVALID_HANDLE);

    // Writes become lasting with the commit; the two slot blobs come back together.
    ASSERT_EQ(nvs_open("storage", NVS_READWRITE, &h), ESP_OK);
    EXPECT_EQ(nvs_set_u16(h, "speed_dir", 0x0228), ESP_OK);
    EXPECT_EQ(nvs_set_u8(h, "not_committed", 1), ESP_OK);
    EXPECT_EQ(nvs_get_u8(h, "not_committed", &u8), ESP_OK) << "the handle reads its own writes";
    nvs_close(h);
    std::vector<uint8_t> slot(3032, 0xAB), tracks(660, 0xCD);
    ASSERT_EQ(nvsHL_save_slot_data(slot.data(), slot.size(), tracks.data(), tracks.size()), ESP_OK);
    EXPECT_EQ(nvsHL_set_speed_and_dir(40, 1), ESP_OK);
    EXPECT_EQ(nvsHL_set_hw_flags(1), ESP_OK);
    EXPECT_EQ(nvs_set_u8(h, "x", 1), ESP_ERR_NVS_INVALID_HANDLE);

    reopen();
    ASSERT_EQ(nvs_open("storage", NVS_READWRITE, &h), ESP_OK);
    EXPECT_EQ(nvs_get_u8(h, "not_committed", &u8), ESP_ERR_NVS_NOT_FOUND);
    uint16_t word = 0;
    EXPECT_EQ(nvs_get_u16(h, "speed_dir", &word), ESP_OK);
    EXPECT_EQ(word, 0x0228);
    EXPECT_EQ(nvs_get_u8(h, "speed_dir", &u8), ESP_ERR_NVS_NOT_FOUND) << "read only as its own kind";
    std::vector<uint8_t> slot2(3032), tracks2(6600);
    size_t len = slot2.size(), tracks_len = tracks2.size();
    EXPECT_EQ(nvsHL_load_slot_data(slot2.data(), &len, tracks2.data(), &tracks_len), ESP_OK);
    EXPECT_EQ(len, 3032u);
    EXPECT_EQ(tracks_len, 660u);
    EXPECT_EQ(tracks2[659], 0xCD);
    // A blob is read into a buffer that holds it, or its length is asked for.
    len = 100;
    EXPECT_EQ(nvs_get_blob(h, "slot_blob", slot2.data(), &len), ESP_ERR_NVS_INVALID_LENGTH);
    EXPECT_EQ(nvs_get_blob(h, "slot_blob", nullptr, &len), ESP_OK);
    EXPECT_EQ(len, 3032u);
    // Erasing: the key is gone after the commit, and erasing a missing key is no error (a
    // factory reset erases the volumes whether or not any were stored).
    EXPECT_EQ(nvs_erase_key(h, "hw_flags"), ESP_OK);
    EXPECT_EQ(nvs_erase_key(h, "function_vol"), ESP_OK);
    EXPECT_EQ(nvs_commit(h), ESP_OK);
    EXPECT_EQ(nvs_get_u8(h, "hw_flags", &u8), ESP_ERR_NVS_NOT_FOUND);
    EXPECT_EQ(nvs_set_u8(h, "a_key_too_long_", 1), ESP_OK);
    EXPECT_EQ(nvs_set_u8(h, "a_key_too_long_x", 1), ESP_ERR_NVS_KEY_TOO_LONG);
    nvs_close(h);
    EXPECT_EQ(nvs_open("../escape", NVS_READWRITE, &h), ESP_ERR_NVS_INVALID_NAME);
}

TEST(SlotFiles, RecordKeepsAnyNameAndTellsWhatChanged) {
    SlotFilesRecord record{2, 0x1234abcd, {{"F1 two words.wav", 10, 5}, {"odd\nname\\x.wav", 20, -1}}};
    SlotFilesRecord back;
    ASSERT_TRUE(slot_files_decode(slot_files_encode(record), &back));
    EXPECT_EQ(back.slot, 2);
    EXPECT_EQ(back.description, 0x1234abcdu);
    EXPECT_EQ(back.files, record.files);
    const std::string text = slot_files_encode(record);
    EXPECT_FALSE(slot_files_decode(text.substr(0, text.size() - 3), &back)) << "a cut record";

    const SlotFiles now = {{"F1 two words.wav", 10, 6}, {"F3.wav", 1, 1}, {"F4.wav", 1, 1}, {"F5.wav", 1, 1}};
    const SlotFilesChange change = slot_files_compare(record.files, now);
    EXPECT_EQ(change.describe(), "F1 two words.wav modified, F3.wav added, F4.wav added and 2 more");
    EXPECT_TRUE(slot_files_compare(now, now).empty());
}

}  // namespace
