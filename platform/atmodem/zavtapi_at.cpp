// The telephony service over a cellular modem: the six TAPI_ functions as AT commands on the
// channel of ZAVTAPI_MODEM. Each answers 0, 12 while there is no modem to talk to, or the
// failure of at_channel.h.
#include <atomic>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "at_answers.h"
#include "at_channel.h"
#include "sms_pdu.h"
#include "zavtapi.h"

using atmodem::Answer;
using atmodem::Channel;
using atmodem::nowMs;

namespace {

constexpr int32_t kSimBusy = atmodem::kCmeError + 14;
constexpr int kRetryPauseSeconds = 2;

// A successful answer that reads: 0; a failure as the channel gives it; kError for one that
// means nothing.
int32_t result(const Answer& answer, bool read)
{
    return answer.result != atmodem::kOk ? answer.result : read ? TAPI_RESULT_SUCCESS : atmodem::kError;
}

// Temporary failures of the network or the service centre, worth another try.
bool mayPass(int32_t result)
{
    return result == atmodem::kCmsError + 331 || result == atmodem::kCmsError + 332 || result == atmodem::kCmsError + 500;
}

// What was read goes into the caller's buffer, whole; answers the call's result.
template <size_t N>
int32_t deliver(const Answer& answer, bool read, const char (&value)[N], char* out)
{
    read = read && out != nullptr;
    if (read) {
        memcpy(out, value, N);
    }
    return result(answer, read);
}

std::string bounded(const char* text, size_t size)
{
    return std::string(text, strnlen(text, size));
}

}  // namespace

extern "C" {

TAPI_RESULT TAPI_ACCE_GetSimCardStatus(int32_t* status)
{
    // A SIM busy just after start or PIN entry is asked again every 2 s within the bound.
    const long long deadline = nowMs() + atmodem::kCommandMs;
    Answer answer = Channel::shared().command("AT+CPIN?", atmodem::kCommandMs, "+CPIN:");
    while (answer.result == kSimBusy && nowMs() + kRetryPauseSeconds * 1000LL < deadline) {
        sleep(kRetryPauseSeconds);
        answer = Channel::shared().command("AT+CPIN?", atmodem::kCommandMs, "+CPIN:");
    }
    int value = atmodem::simStatus(answer.lines);
    if (answer.result == atmodem::kCmeError + 10 || answer.result == atmodem::kCmeError + 13) {
        value = answer.result == atmodem::kCmeError + 10 ? atmodem::kSimAbsent : atmodem::kSimFailure;
        answer.result = atmodem::kOk;  // no usable card is an answer, not a failure
    }
    if (status != nullptr && value >= 0) {
        *status = value;
    }
    return result(answer, value >= 0 && status != nullptr);
}

TAPI_RESULT TAPI_SECURITY_GetPin1Status(int32_t /*pin*/, uint8_t* active)
{
    const Answer answer = Channel::shared().command("AT+CLCK=\"SC\",2");
    const int value = atmodem::pinLock(answer.lines);
    if (active != nullptr && value >= 0) {
        *active = static_cast<uint8_t>(value);
    }
    return result(answer, value >= 0 && active != nullptr);
}

TAPI_RESULT TAPI_ACCE_GetImsi(char* imsi)
{
    char digits[TAPI_IDENTITY_LEN] = {};
    const Answer answer = Channel::shared().command("AT+CIMI");
    return deliver(answer, atmodem::imsi(answer.lines, digits), digits, imsi);
}

TAPI_RESULT TAPI_ACCE_GetImei(char* imei)
{
    char digits[TAPI_IDENTITY_LEN] = {};
    Answer answer = Channel::shared().command("AT+CGSN");
    if (answer.result != atmodem::kNotInitiated && !atmodem::imei(answer.lines, digits)) {
        answer = Channel::shared().command("AT+GSN");
    }
    return deliver(answer, atmodem::imei(answer.lines, digits), digits, imei);
}

TAPI_RESULT TAPI_SMS_GetServiceCenter(char* serviceCenter)
{
    char number[TAPI_SMS_ADDRESS_LEN] = {};
    const Answer answer = Channel::shared().command("AT+CSCA?");
    return deliver(answer, atmodem::serviceCentre(answer.lines, number), number, serviceCenter);
}

// Record type 2: 8-bit data between 16-bit application ports. The record and the data are the
// caller's only during the call, which returns when the modem has answered for every segment.
TAPI_RESULT TAPI_SMS_SendPortNumberSmUnblockMode(const _TAPI_SMS_SEND_PORT_SM_S* sms, uint32_t* requestId)
{
    static std::atomic<unsigned> reference{static_cast<unsigned>(time(nullptr))};
    if (sms == nullptr || sms->smsType != 2 || (sms->pData == nullptr && sms->dataLen > 0)) {
        return atmodem::kBadRequest;
    }
    atmodem::Submit message;
    message.serviceCentre = bounded(sms->serviceCenter, sizeof(sms->serviceCenter));
    message.destination = bounded(sms->serveraddr, sizeof(sms->serveraddr));
    message.destPort = sms->destPort;
    message.srcPort = sms->srcPort;
    message.validity = sms->validity;
    message.statusReport = sms->statusReport != 0;
    message.replyPath = sms->replyPath != 0;
    message.data.assign(sms->pData != nullptr ? sms->pData : "", sms->dataLen);
    message.reference = static_cast<uint8_t>(reference++);
    std::vector<atmodem::EncodedPdu> pdus;
    std::string error;
    if (!atmodem::encodeSubmit(message, pdus, error)) {
        return atmodem::kBadRequest;
    }
    for (size_t i = 0; i < pdus.size(); ++i) {
        const long long deadline = nowMs() + atmodem::kSendMs;
        const std::string command = "AT+CMGS=" + std::to_string(pdus[i].tpduOctets);
        Answer answer = Channel::shared().commandWithData(command, pdus[i].hex);
        for (int retry = 0; mayPass(answer.result) && retry < 3 && nowMs() + kRetryPauseSeconds * 1000LL < deadline; ++retry) {
            sleep(kRetryPauseSeconds);
            answer = Channel::shared().commandWithData(command, pdus[i].hex);
        }
        if (answer.result != atmodem::kOk) {
            return answer.result;
        }
        const int reference = atmodem::messageReference(answer.lines);
        if (i == 0 && requestId != nullptr && reference >= 0) {
            *requestId = static_cast<uint32_t>(reference);
        }
    }
    return TAPI_RESULT_SUCCESS;
}

}  // extern "C"
