// Decoder-board stubs: the DCC signal library, RailCom, motor and output drivers, SUSI,
// inputs, the ABC detector and the watchdog do nothing on the host. The two that carry data
// forward it: CV access goes to the CV store, the motor's direction to the DCC layer.
#include "NmraDcc.h"
#include "board_drivers.h"
#include "board.h"
#include "memory.h"

// The DCC layer takes the direction of travel the motor reports.
void DCC_MotorDirHandler(int32_t speed);

NmraDcc_CallbackStr NmraDcc_Callback;

uint8_t NmraDcc_getCV(uint16_t CV) {
    return Memory_LoadU8(CV);
}
uint8_t NmraDcc_setCV(uint16_t CV, uint8_t Value) {
    Memory_SaveU8(CV, Value);
    return Value;
}
void NmraDcc_init(uint8_t, uint8_t, uint8_t) {}
uint8_t NmraDcc_process(void) {
    return 0;
}
bool NmraDcc_getPolarity(void) {
    return false;
}
bool NmraDcc_isDigitalMode(void) {
    return true;
}
bool NmraDcc_isAnalogModeEnabled(void) {
    return false;
}

void RailcomTx_CutoutCh1Notification(uint16_t, RcomMsgType_t) {}
void RailcomTx_CutoutCh2Notification(uint16_t, RcomMsgType_t) {}

void ExternalDriver_Init(void) {}
void ExternalDriver_Power(bool) {}
void ExternalDriver_DIRHandler(int32_t Speed) {
    DCC_MotorDirHandler(Speed);
}

void DCDriver_SetPID(pid_config_t *) {}
void DCDriver_PowerAck(uint16_t) {}
void DCDriver_AnalogMode(bool, bool) {}
void DCDriver_Pause(void) {}
void DCDriver_Resume(void) {}

void SoftOuts_Init(void) {}
void SoftOuts_Set(uint8_t, uint16_t) {}
void SoftOuts_Reset(uint8_t) {}
void SoftOuts_DisableWithState(bool) {}
void SoftOuts_Enable(void) {}
void PWMOuts_Init(void) {}
void PWMOuts_Set(uint8_t, uint16_t) {}
void PWMOuts_Reset(uint8_t) {}
void PWMOuts_DisableWithState(bool) {}
void PWMOuts_Enable(void) {}

bool Inputs_GetState(uint8_t) {
    return false;
}

void SUSI_Init(void) {}
void SUSI_UpdateTargetSpeed(uint8_t) {}
void SUSI_UpdateRealSpeed(uint8_t) {}
void SUSI_UpdateFunctions(uint8_t, uint8_t) {}
void SUSI_WriteCV(uint16_t, uint8_t) {}
void SUSI_VerifyCV(uint16_t, uint8_t) {}

void ADCHL_SetABCCallback(abc_callback_t) {}
void ADCHL_SetVirtualCapacitance(uint16_t) {}

void wdt_init(bool) {}

const outDriver_t board_out_drivers[OUTPUTS_DRIVER_COUNT] = {
    {DRIVER_SOFTWAREPWM, SoftOuts_Init, SoftOuts_Set, SoftOuts_Reset, SoftOuts_DisableWithState,
     SoftOuts_Enable},
    {DRIVER_HARDWAREPWM, PWMOuts_Init, PWMOuts_Set, PWMOuts_Reset, PWMOuts_DisableWithState, PWMOuts_Enable},
};
// Outputs 0..3 are hardware PWM channels 2..5, outputs 4..11 software PWM channels 1..8.
const outDriverConf_t board_out_driver_map[OUTPUTS_COUNT] = {
    {1, 2}, {1, 3}, {1, 4}, {1, 5}, {0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 7}, {0, 8},
};
