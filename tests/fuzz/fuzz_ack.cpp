// The acknowledgement check on any text.
#include <cstdint>
#include <string>

#include "DM_RegUtility.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietTrace();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    dmRegSuccess(text.c_str());
    return 0;
}
