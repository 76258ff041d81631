// The motor model: ramps the motor speed towards its set-point with separate acceleration and
// deceleration rates, handles stopping, emergency stop and motor power, and reports the
// direction of travel. It steps every 10 ms from the callback scheduler on the tick thread.
//
// Speeds and rates are 8.8 fixed point: 65280 (255 x 256) is full scale; speeds are signed by
// direction (positive = direction 1, negative = direction -1).
#pragma once

#include <stdbool.h>
#include <stdint.h>

typedef struct {
    bool Moving;         // a movement is in progress (start request until stopped)
    bool Active;         // unused by the motor model
    bool AtTargetSpeed;  // CurSpeed equalled SetSpeed after the last step
    int32_t CurSpeed;    // actual speed
    int32_t SetSpeed;    // target speed
    uint32_t MaxSpeed;   // top speed (CV 5 x 256)
    uint32_t NomSpeed;   // nominal speed (CV 6 x 256)
    uint32_t Accel;      // acceleration per 10 ms step, in hundredths of a speed unit
    uint32_t Decel;      // deceleration per 10 ms step, same unit
    bool Stopped;        // set by the driver step when set-point and speed are both 0
    bool ImmediateStop;  // emergency stop request: the driver step zeroes both speeds
    bool Reverse;        // unused by the motor model
    bool PowerOK;        // motor power confirmed
    bool EStopOK;        // movement permitted
    bool OffOnStop;      // switch motor power off 1.5 s after each stop
} EngineParamsStr;

typedef enum {
    FL_RUN = 0,         // ramping
    FL_FINISHED = 1,    // idle
    FL_WAIT_MOVE = 2,   // powered, starts at the next step
    FL_WAIT_POWER = 3,  // waiting for motor power
} MovementStatus;

extern EngineParamsStr EngineParams;

// Resets the model and starts its 10 ms stepping (first step 1 ms from now).
void Engine_Init(void);
// Sets a new target speed and starts a movement; 0 is ignored (use Engine_Stop).
void Engine_MoveToDirection(int32_t Speed);
// As Engine_MoveToDirection, then jumps to the speed without a ramp and reports the direction.
void Engine_MoveToDirectionImmediate(int32_t Speed);
// Ramps down to 0 with Decel; switches the power off when no movement is in progress.
void Engine_Stop(void);
// Emergency stop: the next driver step zeroes both speeds.
void Engine_EStop(void);
bool Engine_IsMoving(void);
// Returns true when the requested power state holds now (false: power-up not yet confirmed).
bool Engine_Power(bool state);
void PowerOffHandler(void);
void PowerOkHandler(void);
void MovementCallback(void);
// Current movement state (diagnostics and tests).
MovementStatus Engine_GetRunFlag(void);
