// The host spine: the slot file and the tick hook's catch-up.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "emulator.h"
#include "esp_timer.h"
#include "files.h"
#include "freertos/task.h"
#include "test_support.h"

namespace {

TEST(Host, TickHookCountsFromItsFirstCallAndCatchesUp) {
    ManualClock clock(50000);  // the first hook call comes 50 ms after the time origin
    uint32_t before = Time();
    vApplicationTickHook();
    EXPECT_EQ(Time(), before);
    clock.advance_ms(1);
    vApplicationTickHook();
    EXPECT_EQ(Time(), before + 1);
    clock.advance_ms(35);  // a late wake-up: the missed ticks run back to back
    vApplicationTickHook();
    EXPECT_EQ(Time(), before + 36);
}

TEST(Console, SlotFileSelectsTheSlot) {
    test_support::WorkFolder dir;
    EXPECT_EQ(get_slot_id(), -1) << "no slot.txt";
    for (auto [text, expected] : std::vector<std::pair<std::string, int>>{
             {"2\n", 2}, {"  3 trailing\n", 3}, {"none\n", -1}, {"", -1}, {"4\n", 4}}) {
        test_support::write_file("slot.txt", text);
        EXPECT_EQ(get_slot_id(), expected) << text;
    }
}

}  // namespace
