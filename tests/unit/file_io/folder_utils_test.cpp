// Slot folder creation, clearing a folder and the PID telemetry file.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "file_io.h"
#include "files.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using namespace test_support;

TEST(CreateFolders, MakesTheSetOnceOnly) {
    WorkFolder dir;
    // Without the parent folder nothing is made, silently.
    LogCapture log;
    EXPECT_EQ(fileIO_createFolders(), 0);
    EXPECT_FALSE(fs::exists("data"));

    fs::create_directory("data");
    EXPECT_EQ(fileIO_createFolders(), 0);
    EXPECT_TRUE(fs::is_directory("data/1") && fs::is_directory("data/2") && fs::is_directory("data/3"));
    EXPECT_EQ(fileIO_createFolders(), 0);  // already there: no change, no failure

    // data/3 stands for the set: a missing data/1 is not made again.
    fs::remove("data/1");
    EXPECT_EQ(fileIO_createFolders(), 0);
    EXPECT_FALSE(fs::exists("data/1"));
    EXPECT_TRUE(fs::is_directory("data/2"));
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST(ClearFolder, DeletesFilesAndLeavesSubfolders) {
    WorkFolder dir;
    write_file("data/2/F1_ON.wav", "x");
    write_file("data/2/logic.txt", "y");
    write_file("data/2/sub/keep.wav", "z");
    std::string long_name(80, 'k');  // "data/2/" + 80 characters does not fit the path buffer
    write_file("data/2/" + long_name, "w");
    LogCapture log;
    EXPECT_EQ(fileIO_clearFolder("data/2/"), 0);
    EXPECT_FALSE(fs::exists("data/2/F1_ON.wav"));
    EXPECT_FALSE(fs::exists("data/2/logic.txt"));
    EXPECT_TRUE(fs::exists("data/2/sub/keep.wav"));
    // Kept rather than deleted through a cut-short path.
    EXPECT_TRUE(fs::exists("data/2/" + long_name));
    EXPECT_EQ(log.count("E ("), 1) << log.dump();
    EXPECT_TRUE(log.contains("FILE_IO: Filepath is too big for " + long_name));

    log.clear();
    EXPECT_EQ(fileIO_clearFolder(nullptr), -1);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(fs::exists("data/2/sub/keep.wav"));
    EXPECT_EQ(fileIO_clearFolder("data/7/"), 0);
    EXPECT_TRUE(log.contains("FILE_IO: Failed to stat dir"));
}

// Waits (bounded) until every firmware task of the test has ended.
bool wait_for_tasks() {
    for (int i = 0; i < 5000; i++) {
        if (stub_tasks_running() == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST(PidTelemetry, WritesTheFileByteForByte) {
    WorkFolder dir;
    fs::create_directory("data");
    ManualClock clock(5'000'000);
    LogCapture log;
    const uint8_t emf[] = {1, 2}, pwm[] = {3, 4}, req[] = {5, 6};
    ASSERT_EQ(fileIO_save_pid_telemetry(emf, req, pwm, 2), 0);
    ASSERT_TRUE(wait_for_tasks());
    EXPECT_EQ(read_file("data/Watch1.log"),
              "Expression\tValue\n"
              "emf_val\t'\\0'\n"
              "[0]\t1\n"
              "[1]\t2\n"
              "pwm_val\t'\\0'\n"
              "[0]\t3\n"
              "[1]\t4\n"
              "req_val\t'\\0'\n"
              "[0]\t5\n"
              "[1]\t6\n");

    // Bytes above 127 are written unsigned; the file is replaced, not appended to; the
    // period is the time since the previous save.
    clock.advance_ms(1234);
    const uint8_t big[] = {255};
    const uint8_t zero[] = {0};
    ASSERT_EQ(fileIO_save_pid_telemetry(big, zero, big, 1), 0);
    ASSERT_TRUE(wait_for_tasks());
    EXPECT_EQ(
        read_file("data/Watch1.log"),
        "Expression\tValue\nemf_val\t'\\0'\n[0]\t255\npwm_val\t'\\0'\n[0]\t255\nreq_val\t'\\0'\n[0]\t0\n");
    EXPECT_TRUE(log.contains("W (") && log.contains("FILE_IO: Saving PID telemetry period=1234ms"))
        << log.dump();

    // Empty series: the header and the three names only.
    ASSERT_EQ(fileIO_save_pid_telemetry(nullptr, nullptr, nullptr, 0), 0);
    ASSERT_TRUE(wait_for_tasks());
    EXPECT_EQ(read_file("data/Watch1.log"),
              "Expression\tValue\nemf_val\t'\\0'\npwm_val\t'\\0'\nreq_val\t'\\0'\n");
    EXPECT_TRUE(log.contains("Saving PID telemetry period=0ms"));
}

TEST(PidTelemetry, FailuresAreReportedAndReleaseTheJob) {
    WorkFolder dir;  // no data folder: the file cannot be created
    LogCapture log;
    const uint8_t v[] = {1, 2, 3};
    ASSERT_EQ(fileIO_save_pid_telemetry(v, v, v, 3), 0);
    ASSERT_TRUE(wait_for_tasks());
    EXPECT_TRUE(log.contains("E (") && log.contains("FILE_IO: Failed to create PID telemetry file"))
        << log.dump();
    EXPECT_FALSE(fs::exists("data/Watch1.log"));

    // A missing series or a length whose three copies cannot be sized starts nothing.
    EXPECT_EQ(fileIO_save_pid_telemetry(v, nullptr, v, 3), ESP_ERR_INVALID_ARG);
    EXPECT_EQ(fileIO_save_pid_telemetry(v, v, v, SIZE_MAX / 2), ESP_ERR_NO_MEM);
    EXPECT_EQ(stub_tasks_running(), 0);
}

}  // namespace
