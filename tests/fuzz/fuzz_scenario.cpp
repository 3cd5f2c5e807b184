// The telephony stand-in's scenario parser on any file, followed by one call of each function.
#include <cstdint>

#include "fuzz_support.h"
#include "zavtapi_control.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietTrace();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zavtapi::loadScenario(fuzzsupport::writeFile("fuzz-scenario.txt", data, size).c_str());
    int32_t status = 0;
    uint8_t active = 0;
    char buffer[TAPI_SMS_ADDRESS_LEN] = {};
    TAPI_ACCE_GetSimCardStatus(&status);
    TAPI_SECURITY_GetPin1Status(TAPI_PIN1, &active);
    TAPI_ACCE_GetImsi(buffer);
    TAPI_ACCE_GetImei(buffer);
    TAPI_SMS_GetServiceCenter(buffer);
    return 0;
}
