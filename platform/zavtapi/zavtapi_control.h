// Control interface of the telephony stand-in, for tests and tools.
//
// Each TAPI_ function answers from its own script: a list of result codes and a list of values,
// each consumed one entry per call, the last entry repeating for ever. reset() restores the
// ready handset of the defaults below and forgets every call and capture.
#ifndef ZAVTAPI_CONTROL_H
#define ZAVTAPI_CONTROL_H

#include <string>
#include <vector>

#include "zavtapi.h"

#define ZAVTAPI_CONTROL_API __attribute__((visibility("default")))

namespace zavtapi {

// Identities of the handset when no scenario says otherwise.
constexpr const char* kDefaultImsi = "001010123456789";
constexpr const char* kDefaultImei = "490154203237518";
constexpr const char* kDefaultServiceCentre = "+15550100100";

enum class Call { SimCardStatus, Pin1Status, Imsi, Imei, ServiceCenter, SendPortSm };

// One send call as the service saw it when it was called.
struct SentSms {
    std::vector<unsigned char> record;  // the record's bytes
    std::string data;                   // the dataLen bytes that pData designates
    const void* dataPointer;            // pData itself
    int result;                         // what the service answered
};

ZAVTAPI_CONTROL_API void reset();
// Reads a scenario file (the format of ZAVTAPI_SCENARIO). A malformed file is reported on
// standard error and leaves the service answering TAPI_RESULT_NOT_INITIATED; false then.
ZAVTAPI_CONTROL_API bool loadScenario(const char* path);

ZAVTAPI_CONTROL_API void setResults(Call call, const std::vector<int>& results);
ZAVTAPI_CONTROL_API void setSimStatus(const std::vector<int>& statuses);
ZAVTAPI_CONTROL_API void setPin1Active(const std::vector<int>& flags);
ZAVTAPI_CONTROL_API void setImsi(const std::vector<std::string>& imsis);
ZAVTAPI_CONTROL_API void setImei(const std::vector<std::string>& imeis);
ZAVTAPI_CONTROL_API void setServiceCentre(const std::vector<std::string>& numbers);
// Every accepted SMS is appended to this file as one line (empty: none).
ZAVTAPI_CONTROL_API void setOutbox(const std::string& path);

ZAVTAPI_CONTROL_API int calls(Call call);
// The calls in the order made since reset() (the first 10,000).
ZAVTAPI_CONTROL_API std::vector<Call> callLog();
// The n-th call (1-based, counted over all six functions) answers result instead.
ZAVTAPI_CONTROL_API void failCall(int n, int result);
ZAVTAPI_CONTROL_API std::vector<SentSms> sent();

}  // namespace zavtapi

#endif
