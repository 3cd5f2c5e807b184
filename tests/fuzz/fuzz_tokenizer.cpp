// The tokenizer on any byte stream, in both framings, cut into pieces where the input says, with
// a command expected or none: no token holds more than a line may, nothing is read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "at_tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 64;  // the first byte: how the stream is cut
    const bool prompt = (data[1] & 1) != 0;
    for (atmodem::Framing framing : {atmodem::Framing::Strict, atmodem::Framing::Permissive}) {
        atmodem::Tokenizer tokenizer(framing);
        tokenizer.expectCommand((data[1] & 2) != 0 ? "AT+CMGL=4" : "AT+CMGS=23", prompt);
        std::vector<atmodem::Token> tokens;
        for (size_t at = 2; at < size; at += piece) {
            tokenizer.feed(reinterpret_cast<const char*>(data) + at, std::min(piece, size - at), tokens);
            for (const atmodem::Token& token : tokens) {
                if (token.text.size() > atmodem::Tokenizer::kMaxLine || token.pdu.size() > atmodem::Tokenizer::kMaxLine) {
                    abort();
                }
            }
            tokens.clear();
            if ((data[1] & 4) != 0) {
                tokenizer.expectNothing();
            }
        }
    }
    return 0;
}
