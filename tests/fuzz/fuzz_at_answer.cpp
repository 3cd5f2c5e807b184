// The AT response readers on any lines of an answer.
#include <cstdint>
#include <string>

#include "at_answers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    atmodem::Lines lines;
    std::string line;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(data[i]);
        }
    }
    lines.push_back(line);
    char value[42] = {};
    atmodem::simStatus(lines);
    atmodem::pinLock(lines);
    atmodem::imsi(lines, value);
    atmodem::imei(lines, value);
    atmodem::serviceCentre(lines, value);
    atmodem::messageReference(lines);
    atmodem::storedMessages(lines);
    atmodem::storedMessages(lines, 1);
    atmodem::storageUsed(lines);
    std::string storage;
    int index = 0;
    bool report = false;
    atmodem::newMessage(line, storage, index, report);
    return 0;
}
