// Millisecond callback scheduler. Due times match by exact equality: the tick counter moves by
// one per call and the host catches up every skipped millisecond, so no due time is missed.
// A due time is not cleared when it fires; handlers re-arm their own slot.
#include "callback.h"

#include "board_time.h"

static tCallbackStr callbacks[CALLBACK_COUNT];
static pFunction changeHook;

static void changed(void) {
    if (changeHook != nullptr) changeHook();
}

static bool valid(callback_t n) {
    return (unsigned)n < CALLBACK_COUNT;
}

void Callback_SetHandler(callback_t CallbackNum, pFunction NewHandler) {
    if (!valid(CallbackNum)) return;
    callbacks[CallbackNum].faddr = NewHandler;
    changed();
}

void Callback_SetDelay(callback_t CallbackNum, uint32_t Delay) {
    if (!valid(CallbackNum)) return;
    if (Delay > 0) {
        callbacks[CallbackNum].calltime = Time() + Delay;
        changed();
    } else if (callbacks[CallbackNum].faddr != nullptr) {
        callbacks[CallbackNum].faddr();
    }
}

void Callback_CancelDelay(callback_t CallbackNum) {
    if (!valid(CallbackNum)) return;
    callbacks[CallbackNum].calltime = 0;
}

void Callback_SetCalltime(callback_t CallbackNum, uint32_t Calltime) {
    if (!valid(CallbackNum)) return;
    callbacks[CallbackNum].calltime = Calltime;
    changed();
}

uint32_t Callback_GetDelay(callback_t CallbackNum) {
    if (!valid(CallbackNum)) return 0;
    return callbacks[CallbackNum].calltime - Time();
}

void Callback_SetDefaults(void) {
    for (auto &c : callbacks) {
        c.calltime = 0;
        c.faddr = nullptr;
    }
}

void Callback_Invoke(uint32_t Time) {
    for (auto &c : callbacks) {
        if (c.calltime == Time && c.faddr != nullptr) c.faddr();
    }
}

uint32_t Callback_NextDue(uint32_t Time) {
    uint32_t nearest = 0;
    for (const auto &c : callbacks) {
        if (c.calltime == 0 || c.faddr == nullptr) continue;
        const uint32_t ahead = c.calltime - Time;
        if (ahead == 0 || ahead >= 0x80000000u) continue;
        if (nearest == 0 || ahead < nearest) nearest = ahead;
    }
    return nearest;
}

void Callback_SetChangeHook(pFunction Hook) {
    changeHook = Hook;
}
