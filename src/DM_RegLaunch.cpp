// The registration flow: start-up delay, SIM card, operator and enable checks, PIN wait,
// decision, sending and listening.
#include "DM_RegLaunch.h"

#include <cstring>
#include <new>
#include <unistd.h>

#include "DM_RegSendSMS.h"
#include "DM_RegServer.h"
#include "DM_RegTrace.h"
#include "dmreg_config.h"
#include "zavtapi.h"

namespace {

bool cardIsValid(int32_t status)
{
    return status == TAPI_SIM_PIN_REQUIRED || status == TAPI_SIM_READY || status == TAPI_SIM_PIN_PENDING;
}

}  // namespace

DM_RegLaunch::DM_RegLaunch()
{
    DM_TRACE("ENTER\t\n");
    DM_TRACE("LEAVE\t\n");
}

DM_RegLaunch::~DM_RegLaunch() = default;

void DM_RegLaunch::activateDmRegister()
{
    DM_TRACE("ENTER\t\n");
    sleep(START_DELAY_SECONDS);
    int32_t status = -1;
    const TAPI_RESULT result = TAPI_ACCE_GetSimCardStatus(&status);
    if (result == TAPI_RESULT_NOT_INITIATED) {
        DM_TRACE_PLATFORM(dmreg::kTraceTelephony, "TAPI has not been initiated yet!\n");
        return;
    }
    if (result == TAPI_RESULT_SUCCESS) {
        if (!cardIsValid(status)) {
            DM_TRACE("------------No SIM card ----------------\n");
            return;
        }
        DM_TRACE("The SIM card is valid.\n");
    }
    if (!imsiMatchMNCList()) {
        DM_TRACE("No match between MNC and card IMSI\n");
        return;
    }
    if (isDmFeatureAvailable()) {
        DM_TRACE("DM feature available\n");
        launchDmListener();
    }
    DM_TRACE("LEAVE\t\n");
}

void DM_RegLaunch::launchDmListener()
{
    // Each pass of the PIN wait traces like a fresh entry, and is closed by its own "LEAVE"
    // line once the flow has ended; the wait itself holds no memory per pass.
    unsigned long long passes = 0;
    for (;;) {
        ++passes;
        DM_TRACE("ENTER\t\n");
        if (!simPINisOpen()) {
            break;
        }
        DM_TRACE("PIN is ON, check after 10 second\n");
        sleep(PIN_CHECK_SECONDS);
    }
    if (!dmNeedRegister()) {
        DM_TRACE("need not register\n");
    } else {
        DM_TRACE("need to register DM, Send DM registration SM\n");
        launchDmRegister();
        DM_TRACE("launch the server\n");
        DM_RegServer* server = new (std::nothrow) DM_RegServer(DMREG_SOCKET_PATH);
        if (server == nullptr) {
            DM_TRACE("construct server failed\n");
        } else {
            server->listenAndProcess();
            delete server;
        }
    }
    for (; passes > 0; --passes) {
        DM_TRACE("LEAVE\t\n");
    }
}

void DM_RegLaunch::launchDmRegister()
{
    DM_TRACE("ENTER\tLaunch and send sms...\n");
    char message[DMREG_MESSAGE_BUFFER_SIZE];
    char number[DMREG_VALUE_BUFFER_SIZE];
    memset(message, 0, sizeof(message));
    memset(number, 0, sizeof(number));
    getDmRegString(message);
    getServerNumber(number);
    DM_RegSendSMS sender(message, number);
    sender.run();
    DM_TRACE("msg: %s has been sent..\n", message);
    DM_TRACE("LEAVE\t\n");
}

bool DM_RegLaunch::simPINisOpen()
{
    uint8_t active = 0;
    TAPI_RESULT result = TAPI_SECURITY_GetPin1Status(TAPI_PIN1, &active);
    if (result == TAPI_RESULT_NOT_INITIATED) {
        DM_TRACE_PLATFORM(dmreg::kTraceTelephony, "TAPI has not been initiated yet!\n");
        return false;
    }
    DM_TRACE("TAPI_SECURITY_GetPin1Status result %d,active %d\n", result, active);
    if (result != TAPI_RESULT_SUCCESS) {
        DM_TRACE("TAPI_SECURITY_GetPin1Status failed,result %d,active %d\n", result, active);
        return false;
    }
    int32_t status = -1;
    result = TAPI_ACCE_GetSimCardStatus(&status);
    if (result == TAPI_RESULT_NOT_INITIATED) {
        DM_TRACE_PLATFORM(dmreg::kTraceTelephony, "TAPI has not been initiated yet!\n");
        return false;
    }
    if (result != TAPI_RESULT_SUCCESS) {
        return true;
    }
    if (status == TAPI_SIM_READY) {
        DM_TRACE("------------PIN is input correctly----------------\n");
        return false;
    }
    DM_TRACE("------------PIN is not input correctly----------------\n");
    return true;
}
