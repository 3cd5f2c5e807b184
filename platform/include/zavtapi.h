// Declarations of the handset's telephony service, libzavtapi.so.
//
// Every function answers a 32-bit result code: TAPI_RESULT_SUCCESS, TAPI_RESULT_NOT_INITIATED
// while the service is still starting, or any other value for a failure.
#ifndef ZAVTAPI_H
#define ZAVTAPI_H

#include <stddef.h>
#include <stdint.h>

#define TAPI_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t TAPI_RESULT;

enum {
    TAPI_RESULT_SUCCESS = 0,
    TAPI_RESULT_NOT_INITIATED = 12
};

/* SIM card states reported by TAPI_ACCE_GetSimCardStatus. */
enum {
    TAPI_SIM_PIN_REQUIRED = 0,   /* card present, PIN not entered yet */
    TAPI_SIM_READY = 3,          /* card present, PIN entered */
    TAPI_SIM_PIN_PENDING = 4     /* card present, PIN not entered yet */
};

/* Which PIN TAPI_SECURITY_GetPin1Status reports on. */
enum { TAPI_PIN1 = 1 };

#define TAPI_SMS_ADDRESS_LEN 42  /* service centre and destination address fields */
#define TAPI_IDENTITY_LEN 16     /* IMSI and IMEI buffers: 15 digits and the NUL */

/* A port-addressed SMS handed to TAPI_SMS_SendPortNumberSmUnblockMode. On the 32-bit target the
 * record is 104 bytes; only the width of the data pointer differs on other machines. */
typedef struct _TAPI_SMS_SEND_PORT_SM_S {
    uint32_t smsType;                          /* 0:  always 2 */
    uint8_t validity;                          /* 4:  always 11 */
    uint16_t srcPort;                          /* 6 */
    uint16_t destPort;                         /* 8 */
    char serviceCenter[TAPI_SMS_ADDRESS_LEN];  /* 10 */
    char serveraddr[TAPI_SMS_ADDRESS_LEN];     /* 52 */
    uint8_t statusReport;                      /* 94: always 0 */
    uint8_t replyPath;                         /* 95: always 0 */
    uint16_t dataLen;                          /* 96 */
    const char* pData;                         /* 100 on the target */
} _TAPI_SMS_SEND_PORT_SM_S;

#if defined(__cplusplus) && UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(_TAPI_SMS_SEND_PORT_SM_S) == 104, "send record size");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, smsType) == 0, "smsType offset");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, validity) == 4, "validity offset");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, srcPort) == 6, "srcPort offset");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, destPort) == 8, "destPort offset");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, serviceCenter) == 10, "serviceCenter offset");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, serveraddr) == 52, "serveraddr offset");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, statusReport) == 94, "statusReport offset");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, replyPath) == 95, "replyPath offset");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, dataLen) == 96, "dataLen offset");
static_assert(offsetof(_TAPI_SMS_SEND_PORT_SM_S, pData) == 100, "pData offset");
#endif

TAPI_API TAPI_RESULT TAPI_ACCE_GetSimCardStatus(int32_t* status);
TAPI_API TAPI_RESULT TAPI_SECURITY_GetPin1Status(int32_t pin, uint8_t* active);
TAPI_API TAPI_RESULT TAPI_ACCE_GetImsi(char* imsi);
TAPI_API TAPI_RESULT TAPI_ACCE_GetImei(char* imei);
TAPI_API TAPI_RESULT TAPI_SMS_GetServiceCenter(char* serviceCenter);
TAPI_API TAPI_RESULT TAPI_SMS_SendPortNumberSmUnblockMode(const _TAPI_SMS_SEND_PORT_SM_S* sms,
                                                          uint32_t* requestId);

#ifdef __cplusplus
}
#endif

#endif
