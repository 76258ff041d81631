// The DCC signal decoder library's interface. On the host no track signal is decoded: the
// library is a stub and nothing calls through its callback table.
#pragma once

#include <stdbool.h>
#include <stdint.h>

typedef enum {
    FN_0_4 = 1,
    FN_5_8 = 2,
    FN_9_12 = 3,
    FN_13_20 = 4,
    FN_21_28 = 5,
    FN_29_36 = 6,
    FN_37_44 = 7,
    FN_45_52 = 8,
    FN_53_60 = 9,
    FN_61_68 = 10,
} FN_GROUP;

typedef enum {
    RCOM_MSG_ADR = 0,
    RCOM_MSG_POM = 1,
    RCOM_MSG_INFO = 2,
    RCOM_MSG_LOGON = 3,
} RcomMsgType_t;

typedef struct {
    uint8_t Size;
    uint8_t PreambleBits;
    uint8_t Data[6];
} DCC_MSG;

typedef struct {
    void (*notifyDccReset)(uint8_t hardReset);
    void (*notifyServiceMode)(bool svc);
    void (*notifyDccIdle)(void);
    void (*notifyModeChange)(bool analogMode);
    void (*notifyCarrierState)(bool state);
    void (*notifyDccSpeed)(uint16_t Addr, uint8_t Speed, bool localForwardDir, uint8_t MaxSpeed);
    void (*notifyDccFunc)(uint16_t Addr, FN_GROUP FuncGrp, uint8_t FuncState);
    void (*notifyDccMsg)(DCC_MSG *Msg);
    void (*notifyDccEdge)(void);
    uint8_t (*notifyCVValid)(uint16_t CV, uint8_t Writable);
    uint8_t (*notifyCVRead)(uint16_t CV);
    uint8_t (*notifyCVWrite)(uint16_t CV, uint8_t Value);
    uint8_t (*notifySusiCVVerify)(uint16_t CV, uint8_t Value);
    uint8_t (*notifySusiCVWrite)(uint16_t CV, uint8_t Value);
    void (*notifyCVChange)(uint16_t CV, uint8_t Value);
    void (*notifyCVResetFactoryDefault)(uint8_t Value);
    void (*notifyCVAck)(void);
    bool (*notifyRailcomCh1)(uint16_t Address, RcomMsgType_t MsgType);
    bool (*notifyRailcomCh2)(uint16_t CV, RcomMsgType_t MsgType);
    void (*notifyLogonError)(bool state);
    uint8_t (*notifyIndexedRead)(uint8_t cv31, uint8_t cv32, uint8_t cv);
    bool (*notifyIndexedWrite4)(uint8_t cv31, uint8_t cv32, uint8_t cv, uint8_t *values);
    void (*notifyBulkWrite)(uint16_t CV, uint8_t *values, uint8_t count);
} NmraDcc_CallbackStr;

#ifdef __cplusplus
extern "C" {
#endif

extern NmraDcc_CallbackStr NmraDcc_Callback;

uint8_t NmraDcc_getCV(uint16_t CV);
uint8_t NmraDcc_setCV(uint16_t CV, uint8_t Value);
void NmraDcc_init(uint8_t ManufacturerId, uint8_t VersionId, uint8_t Flags);
uint8_t NmraDcc_process(void);
bool NmraDcc_getPolarity(void);
bool NmraDcc_isDigitalMode(void);
bool NmraDcc_isAnalogModeEnabled(void);

#ifdef __cplusplus
}
#endif
