// The slot folder scan over real folders made by the tests.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "file_io.h"
#include "files.h"
#include "memory.h"
#include "slot_tables.h"
#include "sound_hl.h"
#include "test_support.h"

namespace {

using namespace test_support;

struct StoredCase {
    const char *name;
    play_type_t type;
    int func_id, variant, speed, end_speed, delay;
    uint32_t period;
};

TEST(FolderScan, StoresEachAudioFileAsItsNameSays) {
    WorkFolder dir;
    const StoredCase cases[] = {
        {"F5.wav", PLAY_TYPE_ONESHOT, 5, -1, -1, -1, 0, 0},
        {"F0_ON.wav", PLAY_TYPE_ON, 0, -1, -1, -1, 0, 0},
        {"f2_off.wav", PLAY_TYPE_OFF, 2, -1, -1, -1, 0, 0},
        {"F3B_ON.wav", PLAY_TYPE_ON, 3, 1, -1, -1, 0, 0},
        {"F1_S0_LOOP.wav", PLAY_TYPE_LOOP, 1, 0, 0, -1, 0, 0},
        {"F1_S20_E40_ON.ogg", PLAY_TYPE_ON, 1, 0, 20, 40, 0, 0},
        {"F1_M50_LOOP.wav", PLAY_TYPE_LOOP, 1, 1, 50, -1, 0, 0},
        {"F1_S30_P2000_LOOP2.wav", PLAY_TYPE_REPEAT, 1, 0, 30, -1, 0, 2000},
        {"F1_S30_PX_LOOPD1.wav", PLAY_TYPE_REPEATD, 1, 0, 30, -1, 0, 1},
        {"F1_S25_ACCEL.wav", PLAY_TYPE_ACCEL, 1, 0, 25, -1, 0, 0},
        {"F1_START_D500.wav", PLAY_TYPE_START, 1, -1, -1, -1, 500, 0},
        {"F1_ACCELON.wav", PLAY_TYPE_ACCELON, 1, -1, -1, -1, 0, 0},
        {"F8_INFO2.wav", PLAY_TYPE_INFO, 8, -1, -1, -1, 0, 0},
        {"F8_INFONEXT2.wav", PLAY_TYPE_INFONEXT, 8, -1, -1, -1, 0, 0},
        {"F1_DIRECTION.wav", PLAY_TYPE_DIR, 1, -1, -1, -1, 0, 0},
        {"F1_M40_P500_LOOP.wav", PLAY_TYPE_LOOP, 1, 1, 40, -1, 0, 500},
        {"F1_E150_ON.wav", PLAY_TYPE_ON, 1, -1, -1, -1, 0, 0},
    };
    for (const StoredCase &c : cases)
        write_file(std::string("data/1/") + c.name, "RIFF");
    TrackTable t;
    LogCapture log;
    ASSERT_EQ(fileIO_parseFolder("data/1/", t.items, nullptr, nullptr, 0), 0);
    EXPECT_TRUE(log.contains("I (")) << log.dump();
    EXPECT_TRUE(log.contains("FILE_IO: Processing folder data/1/"));
    EXPECT_EQ(t.used(), (int)(sizeof cases / sizeof cases[0]));

    std::vector<int> ids;
    for (const StoredCase &c : cases) {
        SCOPED_TRACE(c.name);
        int id = t.find(std::string("data/1/") + c.name);  // the name as listed, not upper-cased
        ASSERT_GE(id, 0);
        ids.push_back(id);
        const track_rom_t &r = t.rom[id];
        EXPECT_EQ(
            std::tuple(r.type, r.function_id, r.variant_id, r.speed, r.end_speed, r.delay_ms, r.period_ms),
            std::tuple(c.type, c.func_id, c.variant, c.speed, c.end_speed, c.delay, c.period));
        EXPECT_EQ(r.ch_group, -1);
        EXPECT_EQ((uint8_t)r.drive_pos, 0x5A);  // not written by the scan
    }
    // Track ids are 0..n-1, one per audio file.
    std::sort(ids.begin(), ids.end());
    for (size_t i = 0; i < ids.size(); i++)
        EXPECT_EQ(ids[i], (int)i);
}

TEST(FolderScan, EntriesOutsideTheGrammarAreSkippedWithTheirMessage) {
    WorkFolder dir;
    write_file("data/1/F1_ON.WAV");    // upper-case extension: not audio
    write_file("data/1/F2_ON.mp3");    // not audio
    write_file("data/1/README");       // no extension
    write_file("data/1/X1_ON.wav");    // no function
    write_file("data/1/F300_ON.wav");  // function does not fit: not F44
    write_file("data/1/notes.txt", "2:Ignored\n");
    write_file("data/1/sub.wav/F9.wav");  // a folder named like a file is skipped
    write_file("data/1/F4_ON.wav");
    TrackTable t;
    LogCapture log;
    ASSERT_EQ(fileIO_parseFolder("data/1/", t.items, nullptr, nullptr, 0), 0);
    EXPECT_TRUE(log.contains("W (")) << log.dump();
    EXPECT_TRUE(log.contains("FILE_IO: F1_ON.WAV is not an audio file"));
    EXPECT_TRUE(log.contains("FILE_IO: F2_ON.mp3 is not an audio file"));
    EXPECT_TRUE(log.contains("FILE_IO: File without extention: README"));
    EXPECT_TRUE(log.contains("FILE_IO: Function is not defined in X1_ON.wav"));
    EXPECT_TRUE(log.contains("FILE_IO: Function is not defined in F300_ON.wav"));
    EXPECT_FALSE(log.contains("notes.txt"));
    EXPECT_FALSE(log.contains("sub.wav"));
    // Only F4_ON.wav takes a track id: it is track 0 whatever the listing order.
    EXPECT_EQ(t.used(), 1);
    EXPECT_EQ(t.find("data/1/F4_ON.wav"), 0);
}

TEST(FolderScan, EmptyAndMissingFolders) {
    WorkFolder dir;
    std::filesystem::create_directories("data/1");
    TrackTable t;
    LogCapture log;
    EXPECT_EQ(fileIO_parseFolder("data/1/", t.items, nullptr, nullptr, 0), 0);
    EXPECT_EQ(t.used(), 0);
    for (auto &r : t.rom)
        EXPECT_EQ(r.filepath[0], 0);

    memset(t.rom, 0x5A, sizeof t.rom);
    EXPECT_EQ(fileIO_parseFolder("data/9/", t.items, nullptr, nullptr, 0), -1);
    EXPECT_TRUE(log.contains("E (") && log.contains("FILE_IO: Failed to stat dir"));
    // The table is emptied even when the folder is missing.
    EXPECT_EQ(t.used(), 0);
}

TEST(FolderScan, TextFilesGoToTheirParsersByName) {
    WorkFolder dir;
    write_file("data/1/cv.txt", "cv20=7\n");
    write_file("data/1/cv_map.txt", "AUX1:>3\n");  // "map" wins over "cv"
    write_file("data/1/logic.txt", "F5_F3_OFF_L2000\n");
    write_file("data/1/functions.txt", "2:Shunter\n");
    write_file("data/1/Functions.TXT", "3:Other\n");  // extension must be exactly "txt"

    for (uint8_t flags : {0, 1}) {
        SCOPED_TRACE(flags);
        Memory_ResetForTest();
        TrackTable t;
        LogicTable l;
        loco_info_t info;
        memset(&info, 0xEE, sizeof info);
        LogCapture log;
        ASSERT_EQ(fileIO_parseFolder("data/1/", t.items, l.items, &info, flags), 0);
        EXPECT_EQ(log.count("Parsing mapping file"), 1);
        EXPECT_EQ(log.count("Parsing logic file"), 1);
        EXPECT_EQ(log.count("Parsing functions file"), 1);
        EXPECT_EQ(log.count("Parsing CV file"), flags);
        EXPECT_TRUE(log.contains("Functions.TXT is not an audio file"));
        EXPECT_EQ(Memory_LoadU8(20), flags ? 7 : 0);
        EXPECT_EQ(Memory_LoadU8(286), 0x04);
        EXPECT_EQ(l.rom[0].type, LOGIC_REPEATS_OFF);
        EXPECT_EQ(info.type, 2);
        EXPECT_STREQ(info.name, "Shunter");
        EXPECT_EQ(t.used(), 0);  // text files take no track id
    }
}

// Entries of the folder as the host lists them (what the scan sees), without "." and "..".
std::vector<std::string> listing(const char *path) {
    std::vector<std::string> names;
    DIR *d = opendir(path);
    for (dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
        std::string n = e->d_name;
        if (n != "." && n != "..") names.push_back(n);
    }
    if (d != nullptr) closedir(d);
    return names;
}

TEST(FolderScan, StopsAtOneHundredAudioFilesInListingOrder) {
    WorkFolder dir;
    // 150 audio files with a functions file after every 8th, so that whatever order the host
    // lists them in, text files are very likely to fall on both sides of the 100th audio file.
    for (int i = 0; i < 150; i++) {
        write_file("data/1/F1_" + std::to_string(i) + ".wav");
        if (i % 8 == 7)
            write_file("data/1/functions" + std::to_string(i) + ".txt", "1:V" + std::to_string(i) + "\n");
    }
    TrackTable t;
    loco_info_t info{};
    LogCapture log;
    ASSERT_EQ(fileIO_parseFolder("data/1/", t.items, nullptr, &info, 0), 0);
    EXPECT_EQ(log.count("FILE_IO: Only 100 files are supported"), 1);

    std::vector<std::string> order = listing("data/1/");
    int audio = 0;
    std::string last_parsed_name;
    int parsed = 0, unparsed = 0;
    for (const std::string &name : order) {
        bool is_text = name.ends_with(".txt");
        std::string vehicle = is_text ? "V" + name.substr(9, name.size() - 13) : "";
        if (audio < MAX_TRACKS) {
            if (is_text) {
                EXPECT_TRUE(log.contains("Name='" + vehicle + "'")) << name;
                last_parsed_name = vehicle;
                parsed++;
            } else {
                // Track ids follow the listing order.
                EXPECT_EQ(t.find("data/1/" + name), audio) << name;
                audio++;
            }
        } else {
            if (is_text) {
                EXPECT_FALSE(log.contains("Name='" + vehicle + "'")) << name;
                unparsed++;
            } else {
                EXPECT_EQ(t.find("data/1/" + name), -1) << name;
            }
            // Left out, but named.
            EXPECT_EQ(log.count(": " + name + " skipped: only 100 files are supported"), 1) << name;
        }
    }
    EXPECT_EQ(audio, MAX_TRACKS);
    EXPECT_EQ(t.used(), MAX_TRACKS);
    EXPECT_EQ(log.count("Parsing functions file"), parsed);
    if (parsed > 0) {
        EXPECT_EQ(last_parsed_name, info.name);
    }
    // Which sides of the limit this host's listing order let the run cover.
    std::printf("text files before the limit: %d, after it: %d\n", parsed, unparsed);
}

TEST(FolderScan, HundredthAudioFileAsLastEntryStillReportsTheLimit) {
    WorkFolder dir;
    for (int i = 0; i < MAX_TRACKS; i++)
        write_file("data/1/F2_" + std::to_string(i) + ".ogg");
    TrackTable t;
    LogCapture log;
    ASSERT_EQ(fileIO_parseFolder("data/1/", t.items, nullptr, nullptr, 0), 0);
    EXPECT_EQ(t.used(), MAX_TRACKS);
    EXPECT_EQ(log.count("Only 100 files are supported"), 1);
}

TEST(FolderScan, LongNamesAndPathsAreRefusedNotCut) {
    WorkFolder dir;
    // data/1/ (7) + 42 characters = 49: the longest stored path that fits 50 bytes.
    std::string fits = "F1_ON_" + std::string(32, 'x') + ".wav";
    std::string too_long = "F2_ON_" + std::string(33, 'x') + ".wav";
    std::string huge = "F3_ON_" + std::string(200, 'x') + ".wav";
    std::string long_text = "functions_" + std::string(70, 'x') + ".txt";  // 84 characters
    ASSERT_EQ(fits.size(), 42u);
    write_file("data/1/" + fits);
    write_file("data/1/" + too_long);
    write_file("data/1/" + huge);
    write_file("data/1/" + long_text, "1:Long\n");
    TrackTable t;
    loco_info_t info{};
    LogCapture log;
    ASSERT_EQ(fileIO_parseFolder("data/1/", t.items, nullptr, &info, 0), 0);
    EXPECT_TRUE(log.contains("E (")) << log.dump();
    EXPECT_EQ(log.count("Filepath is too big for " + too_long), 1);
    EXPECT_EQ(log.count("Filepath is too big for " + huge), 1);
    EXPECT_EQ(log.count("Filepath is too big for " + long_text), 1);
    EXPECT_FALSE(log.contains("Parsing functions file"));
    // The refused audio files still use up a track id, with an empty entry.
    EXPECT_EQ(t.used(), 1);
    int id = t.find("data/1/" + fits);
    ASSERT_GE(id, 0);
    for (int i = 0; i < 3; i++) {
        if (i != id) {
            EXPECT_EQ(t.rom[i].filepath[0], 0);
            EXPECT_EQ(t.rom[i].type, PLAY_TYPE_ON);
        }
    }
    EXPECT_EQ(t.rom[3].filepath[0], 0);
    EXPECT_EQ((uint8_t)t.rom[3].type, 0x5A);  // no fourth track
}

TEST(FolderScan, FillTrackInfoPathRules) {
    static track_rom_t rom;
    track_rom_t *saved = tracks[7].rom;
    tracks[7].rom = &rom;
    LogCapture log;
    // No path: marked 0xFF, accepted.
    EXPECT_TRUE(fill_track_info(nullptr, "F1.wav", 1, -1, 7, PLAY_TYPE_ON, 0, -1, -1, -1, 0));
    EXPECT_EQ((uint8_t)rom.filepath[0], 0xFF);
    // A load wins over a speed; variant follows the load.
    EXPECT_TRUE(fill_track_info("d/", "F1.wav", 1, 3, 7, PLAY_TYPE_LOOP, 0, 20, 60, -1, 0));
    EXPECT_EQ(rom.speed, 60);
    EXPECT_EQ(rom.variant_id, DRIVE_VARIANT_LOAD);
    EXPECT_STREQ(rom.filepath, "d/F1.wav");
    // Values outside the int8 fields are absent; a 50-character path is refused.
    std::string path50(50, 'p');
    EXPECT_FALSE(fill_track_info(path50.c_str(), "F1.wav", 1, 2, 7, PLAY_TYPE_ON, 0, 300, -1, 200, 0));
    EXPECT_EQ(rom.filepath[0], 0);
    EXPECT_EQ(rom.speed, -1);
    EXPECT_EQ(rom.end_speed, -1);
    EXPECT_EQ(rom.variant_id, 2);
    EXPECT_TRUE(log.contains("Filepath is too big for F1.wav"));
    // Track ids outside the table are refused.
    EXPECT_FALSE(fill_track_info("d/", "F1.wav", 1, -1, -1, PLAY_TYPE_ON, 0, -1, -1, -1, 0));
    EXPECT_FALSE(fill_track_info("d/", "F1.wav", 1, -1, 100, PLAY_TYPE_ON, 0, -1, -1, -1, 0));
    tracks[7].rom = saved;
}

TEST(FolderScan, FolderSizeAndIsDir) {
    WorkFolder dir;
    write_file("data/1/a.wav", std::string(100, 'a'));
    write_file("data/1/b.txt", std::string(23, 'b'));
    write_file("data/1/sub/c.wav", std::string(1000, 'c'));                    // subfolders do not count
    write_file("data/1/" + std::string(80, 'n') + ".x", std::string(5, 'n'));  // path does not fit
    LogCapture log;
    EXPECT_EQ(fileIO_getFolderSize("data/1/"), 123u);
    EXPECT_EQ(log.count("Filepath is too big for " + std::string(80, 'n') + ".x"), 1);
    EXPECT_EQ(fileIO_getFolderSize("data/none/"), 0xFFFFFFFFu);
    EXPECT_TRUE(log.contains("Failed to stat dir"));

    // is_dir: folders, entries that cannot be examined, and paths beyond 260 characters.
    dirent e{};
    strcpy(e.d_name, "sub");
    EXPECT_TRUE(is_dir(&e, "data/1/"));
    strcpy(e.d_name, "a.wav");
    EXPECT_FALSE(is_dir(&e, "data/1/"));
    strcpy(e.d_name, "gone.wav");
    EXPECT_TRUE(is_dir(&e, "data/1/"));
    std::string deep = "data/1/" + std::string(255, '/');
    strcpy(e.d_name, "a.wav");
    log.clear();
    EXPECT_TRUE(is_dir(&e, deep.c_str()));
    EXPECT_TRUE(log.contains("Filepath is too big for a.wav"));
}

}  // namespace
