// Sends the registration message through the telephony service.
#include "DM_RegSendSMS.h"

#include <cstring>

#include "DM_RegTrace.h"

namespace {

const uint32_t kSmsType = 2;
const uint8_t kValidity = 11;

// Length of a text that may be null, counted no further than limit.
size_t boundedLength(const char* text, size_t limit)
{
    return text ? strnlen(text, limit) : 0;
}

}  // namespace

DM_RegSendSMS::DM_RegSendSMS(const char* message, const char* number)
{
    DM_TRACE("ENTER\t\n");
    memset(m_msgBody, 0, sizeof(m_msgBody));
    memset(m_phoneNumber, 0, sizeof(m_phoneNumber));
    const size_t messageLength = boundedLength(message, sizeof(m_msgBody));
    if (messageLength >= sizeof(m_msgBody)) {
        DM_TRACE("message body too long!\n");
        return;
    }
    memcpy(m_msgBody, message, messageLength);
    const size_t numberLength = boundedLength(number, sizeof(m_phoneNumber));
    if (numberLength >= sizeof(m_phoneNumber)) {
        DM_TRACE("phone number too long!\n");
        return;
    }
    memcpy(m_phoneNumber, number, numberLength);
    DM_TRACE("LEAVE\t\n");
}

DM_RegSendSMS::~DM_RegSendSMS()
{
    DM_TRACE_AS("DM_RegSendSMS", "ENTER\t\n");
    DM_TRACE_AS("DM_RegSendSMS", "LEAVE\t\n");
}

void DM_RegSendSMS::run()
{
    DM_TRACE("ENTER\tready to call sendPortNumberSm!!!\n\n");
    sendPortNumberSm();
    DM_TRACE("LEAVE\t\n");
}

bool DM_RegSendSMS::sendPortNumberSm()
{
    // Cleared whole, so that nothing of this stack reaches the telephony service.
    _TAPI_SMS_SEND_PORT_SM_S sm;
    memset(&sm, 0, sizeof(sm));
    const size_t addressLength = strlen(m_phoneNumber);
    DM_TRACE(" Inside sendPortSMS, ready to send. The addrlen is %d \n", static_cast<int>(addressLength));
    sm.smsType = kSmsType;
    sm.validity = kValidity;
    sm.statusReport = 0;
    sm.srcPort = getDmClientPortNum();
    sm.destPort = getDmServerPortNum();
    memset(sm.serveraddr, 0, sizeof(sm.serveraddr));
    memcpy(sm.serveraddr, m_phoneNumber, addressLength < size_t{SERVER_ADDRESS_MAX} ? addressLength : size_t{SERVER_ADDRESS_MAX});
    DM_TRACE("sms srcPort->%u,destPort->%u,serveraddr->%s\n\n", static_cast<unsigned>(sm.srcPort),
             static_cast<unsigned>(sm.destPort), sm.serveraddr);
    sm.replyPath = 0;
    sm.dataLen = static_cast<uint16_t>(strlen(m_msgBody));
    sm.pData = m_msgBody;
    if (!getSmsServiceCenter(sm)) {
        return false;
    }
    sm.serviceCenter[sizeof(sm.serviceCenter) - 1] = '\0';
    DM_TRACE("The number of service center is: %s\n\n", sm.serviceCenter);
    DM_TRACE("Finished filling all the paras, call TAPI to send now!\n");
    uint32_t requestId = 0;
    const TAPI_RESULT result = TAPI_SMS_SendPortNumberSmUnblockMode(&sm, &requestId);
    if (result == TAPI_RESULT_SUCCESS) {
        DM_TRACE("Message sent successfully !! ......\n");
        return true;
    }
    DM_TRACE_PLATFORM(dmreg::kTraceTelephony, "Failed in sending port numbered SMS!\n");
    return false;
}

bool DM_RegSendSMS::getSmsServiceCenter(_TAPI_SMS_SEND_PORT_SM_S& sm)
{
    TAPI_RESULT result = TAPI_SMS_GetServiceCenter(sm.serviceCenter);
    if (result == TAPI_RESULT_SUCCESS) {
        return true;
    }
    DM_TRACE("Cannot connect to TAPI successfully, result is %d .\n\n", result);
    if (result != TAPI_RESULT_NOT_INITIATED) {
        return true;
    }
    result = TAPI_SMS_GetServiceCenter(sm.serviceCenter);
    if (result == TAPI_RESULT_SUCCESS) {
        return true;
    }
    DM_TRACE_PLATFORM(dmreg::kTraceTelephony, "Cannot get SMS Service Center Number!\n");
    return false;
}
