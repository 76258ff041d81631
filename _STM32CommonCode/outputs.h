// The 12 function outputs (lamps, servo, pulse outputs). Each output has a mode, a minimum and a
// maximum duty and optional dimming over a lamp switching time. A handler runs every callback
// period from the callback scheduler, moves every duty toward its target and hands it to one of
// the output drivers. A 32-bit state word has one "on" bit per output; each change of it is
// reported to a registered callback. Output numbers outside 0..11 are ignored everywhere.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#define OUTPUTS_COUNT 12
#define OUTPUTS_DRIVER_COUNT 2

typedef enum {
    DRIVER_SOFTWAREPWM = 0,
    DRIVER_HARDWAREPWM = 1,
} outDriverType_t;

typedef struct {
    outDriverType_t type;
    void (*pInit)(void);
    void (*pSet)(uint8_t channel, uint16_t value);
    void (*pReset)(uint8_t channel);
    void (*pDisableWithState)(bool state);
    void (*pEnable)(void);
} outDriver_t;

// Which driver (index into the driver table) and channel a logical output uses.
typedef struct {
    uint8_t id;
    uint8_t pos;
} outDriverConf_t;

typedef void (*stateChangeCallback)(uint32_t state);

typedef struct {
    uint8_t currduty;      // duty now applied, 0..255
    uint16_t shiftedduty;  // currduty x 16 plus fraction, for dimming ramps
    uint8_t targetduty;    // duty the handler moves toward
    uint8_t maxduty;       // "on" duty
    uint8_t minduty;       // "off" duty
    uint16_t lamp_step;    // ramp step per handler tick, 1/16 duty units
    // bits 0..3 mode; bits 4..7 dimming selector (0 none, 1/2 lamp switching time 0/1,
    // 3..15 500 ms); bit 8: the output position stops at 1000 instead of wrapping
    uint16_t type;
    bool lastSeqState;     // last bit applied from a custom sequence
    bool enable;           // the handler processes the output's duty
    int8_t switch_dir;     // 1 switching on, -1 switching off, 0 none, 127 type just set
    bool servoMode;        // mode 9
    uint8_t servoTimeout;  // handler ticks until a servo counts as settled
    uint16_t blinkPos;     // the output's own tick position 0..1000
    outDriverConf_t driver;
} outconf_t;

void Outputs_Init(const outDriver_t *outputsDriver, const outDriverConf_t *outputsDriverMap);
void Outputs_Enable(void);
void Outputs_DisableWithState(bool state);
void Outputs_LoadStates(uint32_t initState, stateChangeCallback callback);
void Outputs_LoadStatesWMask(uint32_t initState, uint32_t mask, stateChangeCallback callback);
// Switch on / off (ramped when the output dims).
void Outputs_SetMax(uint8_t out);
void Outputs_SetMin(uint8_t out);
void OutEnable(uint8_t out, bool force);
void Outputs_SetDuty(uint8_t out, uint8_t duty);
void Outputs_SetDutyFast(uint8_t out, uint8_t duty);
void Outputs_SetMaxDuty(uint8_t out, uint8_t duty);
void Outputs_SetMinDuty(uint8_t out, uint8_t duty);
uint8_t Outputs_GetMaxDuty(uint8_t out);
uint8_t Outputs_GetMinDuty(uint8_t out);
// Freezes a switching output at its current duty; true when a switch was pending.
bool Outputs_Pause(uint8_t out);
bool Outputs_GetState(uint8_t out);
void Outputs_SetType(uint8_t out, uint8_t type);
uint8_t Outputs_GetType(uint8_t out);
uint8_t Outputs_GetRawType(uint8_t out);
void Outputs_SetLampSwitchingTime(uint8_t id, uint16_t ms_div10);
uint16_t Outputs_GetLampSwitchingTime(uint8_t id);
void Outputs_SetBlinkPeriod(uint8_t id, uint16_t ms_div10);
void Outputs_SetBlinkDuty(uint8_t id, uint8_t duty);
// Bit pattern of at least 13 bytes: step s (0..99) is bit s mod 8 of byte s / 8.
void Outputs_SetCustomSequence(uint8_t id, const uint8_t *data);
void Outputs_SetOnTime(uint16_t ms_div10);
uint8_t Outputs_GetOnTime(void);
// Handler period in ms, accepted for 2..100.
void Outputs_SetCallbackPeriod(uint16_t ms);
void Outputs_SetServoContinuous(bool enable);

// Read-only view of an output's record and of the state word (diagnostics and tests).
const outconf_t *Outputs_GetConf(uint8_t out);
uint32_t Outputs_GetStateWord(void);
