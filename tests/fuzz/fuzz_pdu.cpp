// The SMS-DELIVER decoder on any text, and the SMS-SUBMIT encoder on any data and number.
#include <cstdint>
#include <string>

#include "sms_pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    atmodem::Deliver message;
    std::string error;
    atmodem::decodeDeliver(text, message, error);
    atmodem::Submit submit;
    submit.destination = text.substr(0, text.find('\n'));
    submit.data = text;
    std::vector<atmodem::EncodedPdu> pdus;
    atmodem::encodeSubmit(submit, pdus, error);
    return 0;
}
