// The registration SMS: one port-addressed SMS from the client port to the server port of the
// DM server's number, carrying the registration message.
#ifndef DM_REGSENDSMS_H
#define DM_REGSENDSMS_H

#include "DM_RegUtility.h"
#include "zavtapi.h"

class DMREG_API DM_RegSendSMS {
public:
    enum { MESSAGE_BODY_SIZE = 160, PHONE_NUMBER_SIZE = 50, SERVER_ADDRESS_MAX = 40 };

    // A message of 160 characters or more, or a number of 50 or more, is refused (its buffer
    // stays empty; a refused message empties the number as well), never shortened.
    DM_RegSendSMS(const char* message, const char* number);
    virtual ~DM_RegSendSMS();

    void run();
    bool sendPortNumberSm();
    bool getSmsServiceCenter(_TAPI_SMS_SEND_PORT_SM_S& sm);

private:
    DM_RegSendSMS(const DM_RegSendSMS&) = delete;
    DM_RegSendSMS& operator=(const DM_RegSendSMS&) = delete;

    char m_msgBody[MESSAGE_BODY_SIZE];
    char m_phoneNumber[PHONE_NUMBER_SIZE];
};

#endif
