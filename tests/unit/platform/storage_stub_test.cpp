// The platform's storage without a kept store: the inert stubs the firmware runs on by default.
#include <gtest/gtest.h>

#include "nvs.h"

namespace {

TEST(StorageStubs, ReadsSucceedAndLeaveTheCallersValue) {
    nvs_handle_t h = 1234;
    EXPECT_EQ(nvs_open("storage", NVS_READONLY, &h), ESP_OK);
    EXPECT_EQ(h, 1234u);
    uint8_t v = 7;
    EXPECT_EQ(nvs_get_u8(h, "slot_attempt", &v), ESP_OK);
    EXPECT_EQ(v, 7);
    uint8_t blob[4] = {1, 2, 3, 4};
    size_t len = 4;
    EXPECT_EQ(nvs_get_blob(h, "cv_blob", blob, &len), ESP_OK);
    EXPECT_EQ(len, 4u);
    EXPECT_EQ(blob[3], 4);
    EXPECT_EQ(nvs_set_u8(h, "slot_attempt", 3), ESP_OK);
    EXPECT_EQ(nvs_get_u8(h, "slot_attempt", &v), ESP_OK);
    EXPECT_EQ(v, 7) << "nothing is kept";
}

}  // namespace
