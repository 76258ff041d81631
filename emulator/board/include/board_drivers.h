// The decoder board's drivers: RailCom, motor, outputs, SUSI, inputs, detector, watchdog.
// On the host they are inert stubs.
#pragma once

#include <stdbool.h>
#include <stdint.h>

#include "NmraDcc.h"

// Motor regulator configuration handed to DCDriver_SetPID.
typedef struct {
    uint8_t kp;
    uint8_t kp_s;
    uint8_t ki;
    uint8_t ki_s;
    uint8_t kd;
    uint8_t kd_s;
    uint8_t kff_a;
    uint8_t kff_d;
    uint8_t int_max_div;
    uint16_t period_us;
    uint16_t meas_time_us;
    uint16_t emf_max_val;
} pid_config_t;

#ifdef __cplusplus
extern "C" {
#endif

void RailcomTx_CutoutCh1Notification(uint16_t address, RcomMsgType_t msgType);
void RailcomTx_CutoutCh2Notification(uint16_t cv, RcomMsgType_t msgType);

void ExternalDriver_Init(void);
void ExternalDriver_Power(bool State);
// Reports the motor's direction of travel to the DCC layer.
void ExternalDriver_DIRHandler(int32_t Speed);

void DCDriver_SetPID(pid_config_t *config);
void DCDriver_PowerAck(uint16_t timeout_ms);
void DCDriver_AnalogMode(bool direction, bool enable);
void DCDriver_Pause(void);
void DCDriver_Resume(void);

void SoftOuts_Init(void);
void SoftOuts_Set(uint8_t out, uint16_t duty);
void SoftOuts_Reset(uint8_t out);
void SoftOuts_DisableWithState(bool state);
void SoftOuts_Enable(void);
void PWMOuts_Init(void);
void PWMOuts_Set(uint8_t out, uint16_t duty);
void PWMOuts_Reset(uint8_t out);
void PWMOuts_DisableWithState(bool state);
void PWMOuts_Enable(void);

bool Inputs_GetState(uint8_t id);

void SUSI_Init(void);
void SUSI_UpdateTargetSpeed(uint8_t value);
void SUSI_UpdateRealSpeed(uint8_t value);
void SUSI_UpdateFunctions(uint8_t group, uint8_t value);
void SUSI_WriteCV(uint16_t cv, uint8_t value);
void SUSI_VerifyCV(uint16_t cv, uint8_t value);

typedef void (*abc_callback_t)(int8_t state);
void ADCHL_SetABCCallback(abc_callback_t callback);
void ADCHL_SetVirtualCapacitance(uint16_t capacitance);

void wdt_init(bool state);

#ifdef __cplusplus
}
#endif
