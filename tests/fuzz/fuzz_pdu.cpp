// The PDU decoder on any text, and on any bytes as a modem would print them in hex, with and
// without a TPDU length; and the SMS-SUBMIT encoder on any data and number.
#include <cstdint>
#include <string>

#include "sms_pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += digits[data[i] >> 4];
        hex += digits[data[i] & 0x0F];
    }
    atmodem::Sms message;
    std::string error;
    atmodem::decodeSms(text, message, error);
    atmodem::decodeSms(hex, message, error);
    atmodem::decodeSms(hex, message, error, size > 0 ? static_cast<int>(size) - data[0] - 1 : 0);
    atmodem::decodeSms(hex, message, error, static_cast<int>(size));
    atmodem::Submit submit;
    submit.destination = text.substr(0, text.find('\n'));
    submit.data = text;
    std::vector<atmodem::EncodedPdu> pdus;
    atmodem::encodeSubmit(submit, pdus, error);
    return 0;
}
