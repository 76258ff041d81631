// Motor model. The ramp works in hundredths of a speed unit: each step adds the rate to a
// remainder, moves the speed by the whole units and carries the fraction to the next step.
#include "movement.h"

#include "board_drivers.h"
#include "callback.h"

EngineParamsStr EngineParams;

static MovementStatus RunFlag = FL_FINISHED;
static int32_t dSpeed;    // fractional remainder, hundredths
static int32_t OldSpeed;  // speed after the previous step

static int sign(int32_t v) {
    return (v > 0) - (v < 0);
}

static void StartMovement(void) {
    if (RunFlag != FL_FINISHED && !EngineParams.Stopped) return;  // the running ramp follows SetSpeed
    if (!EngineParams.EStopOK) return;
    EngineParams.Moving = true;
    // The standstill flag is refreshed by the driver step only after this tick's commands: a
    // movement step due before that would take the stale flag for the end of this new movement.
    EngineParams.Stopped = false;
    RunFlag = Engine_Power(true) ? FL_WAIT_MOVE : FL_WAIT_POWER;
}

static void MovementThread(void) {
    switch (RunFlag) {
        case FL_FINISHED:
            return;
        case FL_WAIT_POWER:
            if (!EngineParams.PowerOK) return;
            RunFlag = FL_WAIT_MOVE;
            [[fallthrough]];
        case FL_WAIT_MOVE:
            RunFlag = FL_RUN;
            break;
        case FL_RUN:
            break;
    }

    if (EngineParams.Stopped && RunFlag == FL_RUN) {
        EngineParams.CurSpeed = 0;
        dSpeed = 0;
        OldSpeed = 0;
        EngineParams.Moving = false;
        if (EngineParams.OffOnStop) Callback_SetDelay(POWEROFF_INDEX, 1500);
        RunFlag = FL_FINISHED;
        return;
    }

    const int32_t target = EngineParams.SetSpeed;
    const int32_t accel = (int32_t)EngineParams.Accel;
    const int32_t decel = (int32_t)EngineParams.Decel;
    int32_t s = EngineParams.CurSpeed;
    int32_t increment = 0;
    if (s == target) {
        dSpeed = 0;
    } else if (s < target) {
        increment = s >= 0 ? accel : decel;  // a reverse speed moving towards zero brakes
    } else {
        increment = s > 0 ? -decel : -accel;
    }
    dSpeed += increment;
    s += dSpeed / 100;
    dSpeed %= 100;

    // Clamp an overshoot past the target away from zero; an overshoot towards zero turns back
    // at the next step.
    if (s > target && target > OldSpeed && target > 0) {
        s = target;
    } else if (s < target && target < OldSpeed && target < 0) {
        s = target;
    }
    // A stop never carries the speed through zero.
    if (target == 0 && sign(s) != sign(OldSpeed)) s = 0;

    if ((s > 0 && OldSpeed < 0) || (s < 0 && OldSpeed > 0) || OldSpeed == 0) {
        ExternalDriver_DIRHandler(s);
        EngineParams.CurSpeed = s;
        if (!EngineParams.EStopOK) {
            EngineParams.ImmediateStop = true;
            return;
        }
    } else {
        EngineParams.CurSpeed = s;
    }
    OldSpeed = EngineParams.CurSpeed;
    EngineParams.AtTargetSpeed = EngineParams.SetSpeed == EngineParams.CurSpeed;
}

void Engine_Init(void) {
    EngineParams = EngineParamsStr{};
    RunFlag = FL_FINISHED;
    dSpeed = 0;
    OldSpeed = 0;
    EngineParams.ImmediateStop = true;
    EngineParams.PowerOK = false;
    EngineParams.EStopOK = true;
    EngineParams.NomSpeed = 32512;
    EngineParams.MaxSpeed = 65280;
    EngineParams.Accel = 7680;
    EngineParams.Decel = 10240;
    EngineParams.OffOnStop = false;
    Callback_SetHandler(POWEROFF_INDEX, PowerOffHandler);
    Callback_SetHandler(POWEROK_INDEX, PowerOkHandler);
    Callback_SetHandler(ENGINE_INDEX, MovementCallback);
    ExternalDriver_Init();
    Callback_SetDelay(ENGINE_INDEX, 1);
}

void Engine_MoveToDirection(int32_t Speed) {
    if (Speed == 0) return;
    EngineParams.SetSpeed = Speed;
    StartMovement();
}

void Engine_MoveToDirectionImmediate(int32_t Speed) {
    Engine_MoveToDirection(Speed);
    ExternalDriver_DIRHandler(Speed);
    EngineParams.CurSpeed = Speed;
}

void Engine_Stop(void) {
    EngineParams.SetSpeed = 0;
    if (!EngineParams.Moving) Engine_Power(false);
}

void Engine_EStop(void) {
    EngineParams.ImmediateStop = true;
}

bool Engine_IsMoving(void) {
    return EngineParams.Moving;
}

bool Engine_Power(bool state) {
    Callback_CancelDelay(POWEROFF_INDEX);
    if (!state) {
        ExternalDriver_Power(false);
        EngineParams.PowerOK = false;
        return true;
    }
    if (EngineParams.PowerOK) return true;
    ExternalDriver_Power(true);
    Callback_SetDelay(POWEROK_INDEX, 1);
    return false;
}

void PowerOffHandler(void) {
    Engine_Power(false);
}

void PowerOkHandler(void) {
    EngineParams.PowerOK = true;
}

void MovementCallback(void) {
    MovementThread();
    Callback_SetDelay(ENGINE_INDEX, 10);
}

MovementStatus Engine_GetRunFlag(void) {
    return RunFlag;
}
