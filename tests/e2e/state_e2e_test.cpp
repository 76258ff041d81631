// The kept store end to end: the real emulator is started, stopped (or killed) and started
// again with the same --state folder, and what the decoder kept is read back through the
// console and heard in the recording.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio_files.h"
#include "emulator_process.h"
#include "tone_detector.h"

namespace {

using namespace std::chrono_literals;
constexpr uint32_t RATE = 32000;

class KeptStoreE2e : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.write("slot.txt", "1\n");
        write_tone("F2_ON.wav", 1000, 0.4);
        write_tone("F8_INFO1.wav", 500, 0.2);
        write_tone("F8_INFO2.wav", 700, 0.2);
        write_tone("F8_INFO3.wav", 900, 0.2);
    }

    std::filesystem::path path(const std::string &relative) const { return dir_.path() / relative; }
    std::string state_dir() const { return path("state").string(); }

    void write_tone(const std::string &name, double freq, double seconds) const {
        std::filesystem::create_directories(path("data/1"));
        ASSERT_TRUE(test_support::write_pcm_wav(path("data/1/" + name).string(),
                                                test_support::tone(seconds, freq, RATE, 1, 12000), RATE));
    }

    // The emulator on the project with the kept store; returns once the slot is loaded.
    std::unique_ptr<EmulatorProcess> start(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args = {"--no-sound", "--state", state_dir()};
        args.insert(args.end(), extra.begin(), extra.end());
        auto emu = std::make_unique<EmulatorProcess>(dir_.path(), args);
        EXPECT_GE(emu->wait_for("Slot params"), 0) << emu->dump();
        return emu;
    }

    // The track id of an audio file: its place among the audio files in the folder's listing,
    // which is the order the slot scan reads them in. Throws (failing the test) when the folder
    // cannot be read or the file is not there, so that no answer can match a press that found
    // nothing (-1).
    int track_of(const std::string &name) const {
        int id = 0, found = -1;
        DIR *d = opendir(path("data/1").c_str());
        if (d == nullptr) throw std::runtime_error("cannot list " + path("data/1").string());
        while (dirent *e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() < 4 || n.substr(n.size() - 4) != ".wav") continue;
            if (n == name) found = id;
            id++;
        }
        closedir(d);
        if (found < 0) throw std::runtime_error(name + " is not in data/1");
        return found;
    }

    // Reads a CV with "cv<n>?"; -1 when no answer comes.
    static int read_cv(EmulatorProcess &emu, int cv) {
        const std::string answer = "DCC_HL: CV" + std::to_string(cv) + "=";
        const size_t from = emu.lines().size();
        emu.send("cv" + std::to_string(cv) + "?");
        const int at = emu.wait_for(answer, 5s, from);
        if (at < 0) return -1;
        const std::string text = emu.lines()[(size_t)at].text;
        return std::stoi(text.substr(text.find(answer) + answer.size()));
    }

    // Writes a CV and waits until the DCC layer has taken it.
    static void write_cv(EmulatorProcess &emu, int cv, int value) {
        const size_t from = emu.lines().size();
        const std::string line = "CV" + std::to_string(cv) + "=" + std::to_string(value);
        emu.send("cv" + std::to_string(cv) + "=" + std::to_string(value));
        ASSERT_GE(emu.wait_for("DCC_HL: " + line, 5s, from), 0) << emu.dump();
    }

    // Presses a key and waits for the track it plays; returns the played track id or -1.
    static int press(EmulatorProcess &emu, int f) {
        const size_t from = emu.lines().size();
        emu.send("m" + std::to_string(f));
        const int at = emu.wait_for(") FADEIN=", 5s, from);
        if (at < 0) return -1;
        const std::string text = emu.lines()[(size_t)at].text;
        return std::stoi(text.substr(text.find("Play ") + 5));
    }

    // Waits until the console has run every line sent so far (it answers them in order).
    static void settle(EmulatorProcess &emu) { ASSERT_GE(read_cv(emu, 0), 0) << emu.dump(); }

    // The level of a tone in the recording: the root of its largest power in a 50 ms window.
    static double level(const std::string &wav, double freq) {
        double best = 0;
        for (double power :
             test_support::ToneDetector(RATE, RATE / 20).powers(test_support::read_wav(wav).samples, freq))
            best = std::max(best, power);
        return std::sqrt(best);
    }

    TempFolder dir_;
};

// CVs, the per-function volume and the announcement position outlive the process; the next
// start takes the fast path and opens the tracks only when they are played; a factory reset
// is kept as well.
TEST_F(KeptStoreE2e, TuningSurvivesARestartThroughTheFastPath) {
    const std::string take1 = path("take1.wav").string(), take2 = path("take2.wav").string();
    {
        auto emu = start({"--record", take1});
        EXPECT_GE(emu->wait_for("Slot 1 loaded successfully"), 0) << emu->dump();
        EXPECT_EQ(emu->count("Reset all CV[1]"), 1) << "a new folder starts from the factory CVs";
        EXPECT_EQ(read_cv(*emu, 3), 34) << "the default";
        write_cv(*emu, 3, 20);
        EXPECT_EQ(read_cv(*emu, 3), 20);
        EXPECT_EQ(press(*emu, 2), track_of("F2_ON.wav"));
        ASSERT_GE(emu->wait_for("End of "), 0) << emu->dump();
        write_cv(*emu, 192, 2);
        write_cv(*emu, 193, 50);  // F2 at half volume from now on
        EXPECT_EQ(press(*emu, 8), track_of("F8_INFO1.wav"));
        EXPECT_EQ(press(*emu, 8), track_of("F8_INFO2.wav"));
        settle(*emu);
        emu->stop(SIGINT);
    }
    {
        auto emu = start({"--record", take2});
        EXPECT_GE(emu->wait_for("Slot 1 fast load done"), 0) << emu->dump();
        EXPECT_EQ(emu->count("Parsing slot"), 0) << emu->dump();
        EXPECT_EQ(emu->count("Reset all CV"), 0) << "the CV page is marked";
        EXPECT_EQ(read_cv(*emu, 3), 20);
        // CV 193 shows the stored volume of whichever function CV 192 selects.
        write_cv(*emu, 192, 3);
        EXPECT_EQ(read_cv(*emu, 193), 0);
        write_cv(*emu, 192, 2);
        EXPECT_EQ(read_cv(*emu, 193), 50);
        // The announcement goes on where it stood: the first press replays the entry that was
        // last announced.
        EXPECT_EQ(press(*emu, 8), track_of("F8_INFO2.wav"));
        ASSERT_GE(emu->wait_for("End of "), 0) << emu->dump();
        const size_t from = emu->lines().size();
        EXPECT_EQ(press(*emu, 2), track_of("F2_ON.wav")) << "opened on first play";
        ASSERT_GE(emu->wait_for("End of ", 5s, from), 0) << emu->dump();
        std::this_thread::sleep_for(200ms);  // its last buffers reach the recording
        emu->stop(SIGINT);
    }
    // F2 was heard at full volume before the volume was set, and at half volume after the restart.
    const double before = level(take1, 1000), after = level(take2, 1000);
    ASSERT_GT(before, 0);
    EXPECT_NEAR(after / before, 0.5, 0.06) << before << " " << after;

    // A factory reset is kept too: every CV back to its default, the stored volumes erased.
    {
        auto emu = start();
        emu->send("cv8=8");
        ASSERT_GE(emu->wait_for("Reset all CV[1]"), 0) << emu->dump();
        EXPECT_EQ(read_cv(*emu, 3), 34);
        EXPECT_EQ(read_cv(*emu, 8), 172) << "CV 8 is the manufacturer number, not written";
        ASSERT_GE(emu->wait_for("Slot 1 loaded successfully"), 0) << "the reset reloads the slot\n"
                                                                  << emu->dump();
        write_cv(*emu, 192, 2);
        EXPECT_EQ(read_cv(*emu, 193), 0) << "the volumes are forgotten at once, not only in the store";
        emu->stop(SIGINT);
    }
    {
        auto emu = start();
        EXPECT_EQ(read_cv(*emu, 3), 34);
        write_cv(*emu, 192, 2);
        EXPECT_EQ(read_cv(*emu, 193), 0) << "no volume stored for F2";
        emu->stop(SIGINT);
    }
}

// An author who edits the slot folder between runs gets the folder, not the stale stored
// description: the changed files are named, the slot is parsed again and its CV file applied.
TEST_F(KeptStoreE2e, AnEditedFolderIsParsedAgain) {
    {
        auto emu = start();
        EXPECT_GE(emu->wait_for("Slot 1 loaded successfully"), 0) << emu->dump();
        emu->stop(SIGINT);
    }
    // Same size, new content and time (set ahead, so that the change does not depend on the
    // file system's time resolution); a new sound; a CV file.
    write_tone("F2_ON.wav", 1500, 0.4);
    std::filesystem::last_write_time(path("data/1/F2_ON.wav"),
                                     std::filesystem::file_time_type::clock::now() + 10s);
    write_tone("F3_ON.wav", 800, 0.2);
    dir_.write("data/1/cv.txt", "cv3=25\n");
    {
        auto emu = start();
        const int why = emu->wait_for("STATE: data/1/ changed since its description was stored");
        ASSERT_GE(why, 0) << emu->dump();
        const std::string line = emu->lines()[(size_t)why].text;
        for (const char *part : {"F2_ON.wav modified", "F3_ON.wav added", "cv.txt added"})
            EXPECT_NE(line.find(part), std::string::npos) << line;
        EXPECT_EQ(emu->count("STATE:"), 1) << "one line says why\n" << emu->dump();
        EXPECT_GE(emu->wait_for("Slot 1 loaded successfully"), 0) << emu->dump();
        EXPECT_EQ(emu->count("fast load done"), 0) << emu->dump();
        EXPECT_EQ(read_cv(*emu, 3), 25) << "the CV file is applied";
        EXPECT_EQ(press(*emu, 3), track_of("F3_ON.wav")) << "the new sound is there";
        emu->stop(SIGINT);
    }
    {
        auto emu = start();
        EXPECT_GE(emu->wait_for("Slot 1 fast load done"), 0) << "unchanged since the last parse\n"
                                                             << emu->dump();
        EXPECT_EQ(emu->count("STATE:"), 0) << emu->dump();
        emu->stop(SIGINT);
    }
    // A file removed; and a description without a record of its files is never trusted.
    std::filesystem::remove(path("data/1/F3_ON.wav"));
    {
        auto emu = start();
        EXPECT_GE(emu->wait_for("(F3_ON.wav removed): parsing it again"), 0) << emu->dump();
        EXPECT_GE(emu->wait_for("Slot 1 loaded successfully"), 0) << emu->dump();
        emu->stop(SIGINT);
    }
    std::filesystem::remove(path("state/slot_files"));
    {
        auto emu = start();
        EXPECT_GE(emu->wait_for("data/1/: no record of the files"), 0) << emu->dump();
        EXPECT_GE(emu->wait_for("Slot 1 loaded successfully"), 0) << emu->dump();
        emu->stop(SIGINT);
    }
}

// Two emulators on one state folder: the second refuses to start and says why. The lock goes
// with the process, so a killed emulator does not leave the folder locked.
TEST_F(KeptStoreE2e, ASecondEmulatorOnTheFolderRefusesToStart) {
    auto first = start();
    EmulatorProcess second(dir_.path(), {"--no-sound", "--state", state_dir()});
    EXPECT_GE(second.wait_for("is in use by another emulator (process " + std::to_string(first->pid()) + ")"),
              0)
        << second.dump();
    const int status = second.stop(0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(second.count("Slot"), 0) << "nothing was started\n" << second.dump();

    first->stop(SIGKILL);
    auto third = start();
    EXPECT_GE(third->wait_for("Slot 1 fast load done"), 0) << third->dump();
}

// A damaged store file is reported once and the decoder starts from the factory state.
TEST_F(KeptStoreE2e, AGarbageStoreFileIsRefusedWithAWarning) {
    std::filesystem::create_directories(path("state"));
    std::string garbage(7000, '\0');
    for (size_t i = 0; i < garbage.size(); i++)
        garbage[i] = (char)(i * 7919 % 251);
    dir_.write("state/storage.nvs", "DCCEMUKV" + garbage);
    auto emu = start();
    EXPECT_GE(emu->wait_for("Slot 1 loaded successfully"), 0) << emu->dump();
    EXPECT_EQ(emu->count("STATE:"), 1) << emu->dump();
    EXPECT_EQ(
        emu->count("STATE: " + state_dir() +
                   "/storage.nvs is damaged (its length does not match): moved aside to storage.nvs.bad; "
                   "starting from the factory state"),
        1)
        << emu->dump();
    EXPECT_EQ(emu->count("Reset all CV[1]"), 1);
    EXPECT_EQ(read_cv(*emu, 3), 34);
    EXPECT_TRUE(std::filesystem::exists(path("state/storage.nvs.bad")));
}

// Speed and direction are stored while driving: after a power cut the decoder takes up the
// stored speed at the first packet (and then follows the command station, here to a stop).
TEST_F(KeptStoreE2e, TheSpeedStoredWhileDrivingIsTakenUpAfterAPowerCut) {
    std::string stored;
    {
        auto emu = start();
        write_cv(*emu, 63, 0);  // no start delay
        write_cv(*emu, 3, 1);   // quick ramps
        write_cv(*emu, 4, 1);
        emu->send("s-60");
        ASSERT_GE(emu->wait_for("Saving current speed 1"), 0) << "a speed of 100 or more\n" << emu->dump();
        settle(*emu);  // the tick that logged the speed has stored it
        emu->stop(SIGKILL);
        for (const auto &l : emu->lines()) {
            const size_t at = l.text.find("Saving current speed ");
            if (at != std::string::npos) stored = l.text.substr(at + 21, l.text.find(' ', at + 21) - at - 21);
        }
    }
    ASSERT_FALSE(stored.empty());
    auto emu = start();
    const int first = emu->wait_for("Saving current speed ");
    ASSERT_GE(first, 0) << emu->dump();
    const std::string line = emu->lines()[(size_t)first].text;
    EXPECT_EQ(line.substr(line.find(" last=")), " last=" + stored) << "the stored speed was taken up\n"
                                                                   << emu->dump();
    EXPECT_GE(emu->wait_for("Saving current speed 0 last="), 0) << "and brought down to 0\n" << emu->dump();
}

}  // namespace
