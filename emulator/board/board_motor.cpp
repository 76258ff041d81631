// The emulated motor driver: its regulator and rates come from CVs, and it follows its set-point
// at once; the ramp is the motor model's.
#include "board.h"
#include "board_drivers.h"
#include "dcc_hl.h"
#include "memory.h"
#include "movement.h"

// Rate per 10 ms step for a CV giving the time of a full-scale change in quarter seconds.
static uint32_t rate_from_cv(uint8_t cv) {
    return cv != 0 ? (1020u / cv) * 256u : 65280u;
}

void EngineLoadConfig(void) {
    pid_config_t pid = {};
    pid.kp = Memory_LoadU8(50);
    pid.kp_s = Memory_LoadU8(51);
    pid.ki = Memory_LoadU8(52);
    pid.ki_s = Memory_LoadU8(53);
    pid.kd = Memory_LoadU8(54);
    pid.kd_s = Memory_LoadU8(55);
    pid.kff_a = Memory_LoadU8(56);
    pid.kff_d = Memory_LoadU8(57);
    pid.int_max_div = 0;
    pid.period_us = (uint16_t)(Memory_LoadU8(58) * 100);
    pid.meas_time_us = (uint16_t)(Memory_LoadU8(59) * 100);
    pid.emf_max_val = (uint16_t)(Memory_LoadU8(60) * 10);
    DCDriver_SetPID(&pid);
    EngineParams.MaxSpeed = Memory_LoadU8(5) * 256u;
    EngineParams.NomSpeed = Memory_LoadU8(6) * 256u;
    EngineParams.Accel = rate_from_cv(Memory_LoadU8(3));
    EngineParams.Decel = rate_from_cv(Memory_LoadU8(4));
    if (EngineParams.MaxSpeed == 0) EngineParams.MaxSpeed = 65280;
}

// Every tick: an immediate stop takes effect at once, and a motor at rest counts as stopped.
void engine_drv_main(void) {
    if (EngineParams.ImmediateStop) {
        EngineParams.SetSpeed = 0;
        EngineParams.CurSpeed = 0;
    }
    if (EngineParams.SetSpeed == 0 && EngineParams.CurSpeed == 0) {
        EngineParams.ImmediateStop = false;
        EngineParams.Stopped = true;
    } else {
        EngineParams.Stopped = false;
    }
}
