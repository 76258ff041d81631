// The firmware lock: one recursive mutex that serialises the firmware's control paths (the
// tick, console commands, slot loading and the sound engine's event task). The decoder's
// modules share plain state (function tables, slot records, the motor record) that the
// platform's threads would otherwise touch at the same time. Audio readers and the mixer never
// take it: they hand data over through their own locks and event bits.
#pragma once

void fw_lock(void);
void fw_unlock(void);
