// The telephony service over a cellular modem: the six TAPI_ functions as AT commands on the
// channel of ZAVTAPI_MODEM. Each answers 0, 12 while there is no modem to talk to, or the
// failure of at_channel.h. The registration above never retries a call, so each call rides out
// what modems do for a while on their own, within its bound: a SIM still busy, a command left
// unanswered, a device that goes away and comes back, a send refused for want of network.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "at_answers.h"
#include "at_channel.h"
#include "sms_pdu.h"
#include "zavtapi.h"

using atmodem::Answer;
using atmodem::Channel;
using atmodem::Expect;
using atmodem::nowMs;

namespace {

constexpr int kRetryPauseSeconds = 2;
constexpr long long kCallMs = 30000;  // the most a query takes, its retries included
constexpr int kSendTries = 4;

// Faults that pass: the SIM still busy, a command left unanswered (the channel resynchronises
// before the next), a device that went away (it may come back within the bound).
bool passing(int32_t result, bool vanishedBefore)
{
    return result == atmodem::kCmeError + 14 || result == atmodem::kCmsError + 314 || result == atmodem::kNoAnswer ||
           result == atmodem::kVanished || (vanishedBefore && result == atmodem::kNotInitiated);
}

// Refusals of a send that another try may overcome: no network, its timeout, the unknown error,
// and the lower-layer failures modems give while the network comes and goes.
bool sendMayPass(int32_t result)
{
    static const int32_t codes[] = {314, 331, 332, 500, 512, 513, 514, 515};
    for (int32_t code : codes) {
        if (result == atmodem::kCmsError + code) {
            return true;
        }
    }
    return result == atmodem::kCmeError + 14;
}

// What a modem whose SMS service is still starting answers an SMS command.
bool refusedWhileStarting(int32_t result)
{
    return result == atmodem::kError || result == atmodem::kCmsError + 302 || result == atmodem::kCmsError + 500;
}

// A command asked again while its fault passes, within kCallMs; read tells whether an answer
// means something, and a successful answer that does not is asked once more.
template <class Read>
Answer ask(const std::string& line, const Expect& expect, Read read)
{
    const long long deadline = nowMs() + kCallMs;
    bool vanished = false;
    bool readOnce = false;
    for (;;) {
        Answer answer = Channel::shared().command(line, expect);
        vanished = vanished || answer.result == atmodem::kVanished;
        const bool readable = answer.result == atmodem::kOk && read(answer);
        const bool again = (passing(answer.result, vanished) || (answer.result == atmodem::kOk && !readable && !readOnce)) &&
                           nowMs() + kRetryPauseSeconds * 1000LL < deadline && !Channel::shared().stopped();
        readOnce = readOnce || answer.result == atmodem::kOk;
        if (readable || !again) {
            if (answer.result == atmodem::kOk && !readable) {
                answer.result = atmodem::kError;  // an answer that means nothing
            }
            return answer;
        }
        if (answer.result != atmodem::kNoAnswer) {  // a timeout has taken its time already
            sleep(kRetryPauseSeconds);
        }
    }
}

// What was read goes into the caller's buffer, whole.
template <size_t N>
int32_t deliver(const Answer& answer, const char (&value)[N], char* out)
{
    if (answer.result == TAPI_RESULT_SUCCESS && out != nullptr) {
        memcpy(out, value, N);
    }
    return out == nullptr && answer.result == TAPI_RESULT_SUCCESS ? atmodem::kBadRequest : answer.result;
}

std::string bounded(const char* text, size_t size)
{
    return std::string(text, strnlen(text, size));
}

}  // namespace

extern "C" {

TAPI_RESULT TAPI_ACCE_GetSimCardStatus(int32_t* status)
{
    int value = -1;
    Answer answer = ask("AT+CPIN?", {{"+CPIN:"}, true, true}, [&](const Answer& a) {
        value = atmodem::simStatus(a.lines);
        return value >= 0;
    });
    if (answer.result == atmodem::kCmeError + 10 || answer.result == atmodem::kCmeError + 13) {
        value = answer.result == atmodem::kCmeError + 10 ? atmodem::kSimAbsent : atmodem::kSimFailure;
        answer.result = atmodem::kOk;  // no usable card is an answer, not a failure
    }
    if (status == nullptr) {
        return atmodem::kBadRequest;
    }
    if (answer.result == atmodem::kOk) {
        *status = value;
    }
    return answer.result;
}

TAPI_RESULT TAPI_SECURITY_GetPin1Status(int32_t /*pin*/, uint8_t* active)
{
    int value = -1;
    const Answer answer = ask("AT+CLCK=\"SC\",2", {{"+CLCK:"}}, [&](const Answer& a) {
        value = atmodem::pinLock(a.lines);
        return value >= 0;
    });
    if (active == nullptr) {
        return atmodem::kBadRequest;
    }
    if (answer.result == atmodem::kOk) {
        *active = static_cast<uint8_t>(value);
    }
    return answer.result;
}

TAPI_RESULT TAPI_ACCE_GetImsi(char* imsi)
{
    char digits[TAPI_IDENTITY_LEN] = {};
    const Answer answer = ask("AT+CIMI", {{"+CIMI:"}, true}, [&](const Answer& a) { return atmodem::imsi(a.lines, digits); });
    return deliver(answer, digits, imsi);
}

TAPI_RESULT TAPI_ACCE_GetImei(char* imei)
{
    char digits[TAPI_IDENTITY_LEN] = {};
    atmodem::Imei read = atmodem::Imei::None;
    const auto readImei = [&](const Answer& a) { return (read = atmodem::imei(a.lines, digits)) == atmodem::Imei::Read; };
    Answer answer = ask("AT+CGSN", {{"+CGSN:", "IMEI"}, true}, readImei);
    if (answer.result == atmodem::kError) {
        answer = ask("AT+GSN", {{"+GSN:", "IMEI"}, true}, readImei);
    }
    if (read == atmodem::Imei::WrongCheckDigit && answer.result != atmodem::kOk) {
        fprintf(stderr, "zavtapi-at: the modem gives an IMEI with a wrong check digit: refused\n");
    }
    return deliver(answer, digits, imei);
}

TAPI_RESULT TAPI_SMS_GetServiceCenter(char* serviceCenter)
{
    char number[TAPI_SMS_ADDRESS_LEN] = {};
    const Answer answer = ask("AT+CSCA?", {{"+CSCA:"}}, [&](const Answer& a) { return atmodem::serviceCentre(a.lines, number); });
    return deliver(answer, number, serviceCenter);
}

// Record type 2: 8-bit data between 16-bit application ports. The record and the data are the
// caller's only during the call, which returns when the modem has answered for every segment.
// A segment is sent again when the modem refused it for a passing reason, or when the prompt did
// not come or the device went away before the data was given: never once the modem may have it.
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
        bool vanished = false;
        Answer answer;
        for (int attempt = 1;; ++attempt) {
            const bool smsReady = Channel::shared().smsReady();
            answer = Channel::shared().commandWithData(command, pdus[i].hex, {{"+CMGS:"}});
            vanished = vanished || answer.result == atmodem::kVanished;
            const bool unsent = !answer.dataSent && (answer.result == atmodem::kNoAnswer || answer.result == atmodem::kVanished ||
                                                     (vanished && answer.result == atmodem::kNotInitiated));
            // An SMS service not there yet refuses for as long as it takes to come: asked again
            // within the call's bound, whatever the count.
            const bool notReady = !smsReady && !answer.dataSent && refusedWhileStarting(answer.result);
            if ((!sendMayPass(answer.result) && !unsent && !notReady) || (attempt >= kSendTries && !notReady) ||
                Channel::shared().stopped() || nowMs() + kRetryPauseSeconds * 1000LL >= deadline) {
                break;
            }
            sleep(kRetryPauseSeconds);
        }
        if (answer.result != atmodem::kOk) {
            return answer.result;
        }
        const int messageReference = atmodem::messageReference(answer.lines);
        if (i == 0 && requestId != nullptr && messageReference >= 0) {
            *requestId = static_cast<uint32_t>(messageReference);
        }
    }
    return TAPI_RESULT_SUCCESS;
}

}  // extern "C"
