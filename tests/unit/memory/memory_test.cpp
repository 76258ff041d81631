// The CV store: lazy first load, single commits and batches.
#include <gtest/gtest.h>

#include "esp_log.h"
#include "memory.h"
#include "test_support.h"

namespace {

class CvStore : public ::testing::Test {
protected:
    void SetUp() override {
        esp_log_level_set("*", ESP_LOG_INFO);
        Memory_ResetForTest();
    }
};

TEST_F(CvStore, FirstReadLoadsOnceAndKeepsBuiltInContents) {
    LogCapture log;
    EXPECT_EQ(Memory_LoadU8(0), 255) << "an unmarked page until the defaults are written";
    EXPECT_EQ(Memory_LoadU8(29), 0);
    EXPECT_EQ(log.count("Initializing CV blob data"), 1);
    uint8_t page[MEMORY_PAGE_SIZE];
    Memory_ReadPage(page, MEMORY_PAGE_SIZE);
    EXPECT_EQ(log.count("Loading CV blob"), 1);
    EXPECT_EQ(log.count("Initializing CV blob data"), 1);
    EXPECT_EQ(page[0], 255);
}

TEST_F(CvStore, SingleWritesCommitEachAndBatchesCommitOnce) {
    LogCapture log;
    Memory_SaveU8(3, 20);
    EXPECT_EQ(log.count("Saving CV blob"), 1);
    EXPECT_EQ(Memory_LoadU8(3), 20);
    log.clear();
    Memory_Start();
    for (int i = 0; i < 100; i++)
        Memory_SaveU8((uint16_t)(300 + i), (uint8_t)i);
    EXPECT_EQ(log.count("Saving CV blob"), 0);
    Memory_Finish();
    EXPECT_EQ(log.count("Saving CV blob"), 1);
    EXPECT_EQ(Memory_LoadU8(399), 99);
    uint8_t arr[3] = {7, 8, 9};
    Memory_SaveArray(139, arr, 3);
    uint8_t back[3] = {};
    Memory_LoadArray(139, back, 3);
    EXPECT_EQ(back[2], 9);
    EXPECT_EQ(Memory_PeekU8(Memory_GetPtr(140)), 8);
}

}  // namespace
