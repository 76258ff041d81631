// The decoder's DCC application layer: speed and function commands (debounced, through the
// speed curve, with start delay and direction handling) drive the motor model, the light
// outputs and the sound engine; CV writes take effect; the factory defaults, the
// function-to-output mapping and the identification reads live here too. Log tag "DCC_HL".
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "NmraDcc.h"
#include "slot_data.h"

#define DCC_FUNCTION_COUNT 69   // F0..F68
#define DCC_OUTPUT_COUNT 12     // outputs the mapping drives
#define DCC_OUTPUT_MASKS 14     // output numbers the CV table names (12 and 13 have no output)
#define DCC_FUNCTION_RESET 255  // accepted state before any command was received

// Loads the motor parameters from CVs 2..6 and 50..60 (board support: provided by the host).
void EngineLoadConfig(void);

// ---- start-up and configuration ----
void DCC_Init(void);
// Factory defaults: 1 = everything, 2 = the function mapping only; other values rewrite the
// page unchanged.
void DCC_WriteAllCV(uint8_t value);
// Applies the side effects of a CV the caller has just stored.
void DCC_ChangeCV(uint16_t CV, uint8_t Value);

// ---- commands ----
// Console toggle of function id.
void DCC_ChangeFunction(uint8_t id);
void DCC_SetFunctionState(uint8_t id, bool state);
void DCC_SetFunctionDimm(uint8_t id, uint8_t percent);
void DCC_SetOutputDimm(uint8_t id, uint8_t percent);
// Effective state (what outputs and the sound engine use).
bool DCC_GetFunctionState(uint8_t function);
// The sound engine blocked or released a function.
void DCC_FunctionBlockHandler(uint8_t function);
// Console speed: 0 emergency stop, 1 stop, 2..101 speed 1..100 %, negative = direction 1.
void DCC_SetSpeed(int8_t speed);
// Direction of travel reported by the motor driver.
void DCC_MotorDirHandler(int32_t speed);
void DCC_Main(void);
bool isShuntingMode(void);
bool isSusiEnabled(void);
bool getDccFunctionState(uint8_t f);
bool isDccFunctionReset(uint8_t f);
void resetDccFunctionState(uint8_t f);
// Speed curve: internal speed 0..255 to motor speed 0..255.
uint8_t getSpeed(uint16_t dccSpeed);
// Current direction of travel: 1, -1, or 0 when none is known yet.
int8_t DCC_GetCurrentDirection(void);

// ---- output mapping ----
void getConfig(uint8_t function, uint16_t *config, uint16_t *configReverse);
void OutputEnable(uint8_t id, uint8_t function);
void OutputDisable(uint8_t id, uint8_t function);
void outputsMappingHandler(uint8_t function);
void directionChanged(uint8_t function);
void outputDimmingHandler(uint8_t output, uint8_t value);
void functionDimmingHandler(uint8_t function, uint8_t value);
void updateOutputEnableMask(uint8_t bank, uint16_t mapCV, uint8_t value);
// Functions that keep output id on, one bit per function number mod 32.
uint32_t DCC_GetOutputEnableMask(uint8_t id);
uint8_t getRcomPlusLocoType(short_gui_t *short_gui);
void loadSavedStates(void);

// ---- DCC library callbacks ----
void notifyDccSpeed(uint16_t Addr, uint8_t Speed, bool localForwardDir, uint8_t MaxSpeed);
void notifyDccFunc(uint16_t Addr, FN_GROUP FuncGrp, uint8_t FuncState);
void notifyDccReset(uint8_t hardReset);
void notifyModeChange(bool analogMode);
void notifyABC(int8_t state);
void notifyCVResetFactoryDefault(uint8_t Value);
void notifyCVAck(void);
uint8_t notifySusiCVVerify(uint16_t CV, uint8_t Value);
uint8_t notifySusiCVWrite(uint16_t CV, uint8_t Value);
uint8_t notifyIndexedRead(uint8_t cv31, uint8_t cv32, uint8_t cv);
bool notifyIndexedWrite4(uint8_t cv31, uint8_t cv32, uint8_t cv, uint8_t *values);
bool notifyRailcomCh1(uint16_t Address, RcomMsgType_t MsgType);
bool notifyRailcomCh2(uint16_t CV, RcomMsgType_t MsgType);
void notifyLogonError(bool state);

// ---- shared by the layer's own source files (commands and configuration) ----
extern int8_t CurrentDirection;  // 1, -1, or 0 when none is known yet
extern uint8_t lastStoredSpeed;  // speed last written to storage, 0..255
// All command state back to its start-up values (functions in the reset state).
void dcc_reset_command_state(void);
// After the stored direction was loaded: the last applied direction takes it.
void dcc_take_stored_direction(void);
bool dcc_effective_state(uint8_t f);
// Commanded state of f (on = set or half-way) and its change, for the console's toggle.
bool dcc_new_function_state(uint8_t f);
void dcc_set_new_function_state(uint8_t f, bool on);
// Accepts the commanded state of f when it is confirmed.
void dcc_function_changed(uint8_t f);
// Output types from CVs, all outputs off, enable masks cleared, mapping re-applied.
void dcc_reinit_outputs(void);
// Timer handlers: "speed_tick" and "susi_tick".
void speed_store_handler(void *arg);
void susi_handler(void *arg);
