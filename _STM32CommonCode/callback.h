// Millisecond callback scheduler: a few fixed slots, each with one handler and one due time on
// the firmware's millisecond clock (Time()). The tick calls Callback_Invoke with the new
// millisecond count before anything else of that millisecond; handlers run on the tick thread.
#pragma once

#include <stdint.h>

typedef enum {
    POWEROFF_INDEX = 0,  // motor power off
    POWEROK_INDEX = 1,   // motor power confirmed
    ENGINE_INDEX = 2,    // movement step
    BLINK_INDEX = 3,     // output handler
    CALLBACK_COUNT = 4,
} callback_t;

typedef void (*pFunction)(void);

typedef struct {
    uint32_t calltime;  // Time() at which the handler runs; 0 = nothing scheduled
    pFunction faddr;    // handler; null = none
} tCallbackStr;

void Callback_SetHandler(callback_t CallbackNum, pFunction NewHandler);
// Delay > 0 schedules the handler Delay ms from now; 0 calls it at once and keeps the due time.
void Callback_SetDelay(callback_t CallbackNum, uint32_t Delay);
void Callback_CancelDelay(callback_t CallbackNum);
// Sets the absolute due time.
void Callback_SetCalltime(callback_t CallbackNum, uint32_t Calltime);
// Due time minus now (wraps once the time has passed).
uint32_t Callback_GetDelay(callback_t CallbackNum);
// Clears every slot.
void Callback_SetDefaults(void);
// Runs, in slot order, every handler whose due time equals Time exactly.
void Callback_Invoke(uint32_t Time);
// Milliseconds from Time to the nearest slot that will run (1 .. 2^31-1), or 0 if none will:
// a due time already passed would only come round again after the counter wraps.
uint32_t Callback_NextDue(uint32_t Time);
// Called whenever a slot's handler or due time is set, so that a tick that sleeps until the
// next due time can look again. Null = none.
void Callback_SetChangeHook(pFunction Hook);
