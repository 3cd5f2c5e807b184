// The status-file reader on any file content, into the decision's 30-byte buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "DM_RegUtility.h"
#include "dmreg_config.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietTrace();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fopen(DMREG_STATUS_FILE, "wb");
    if (f == nullptr) {
        return 0;
    }
    fwrite(data, 1, size, f);
    fclose(f);
    char buffer[30];
    memset(buffer, 0, sizeof(buffer));
    readImsiFromFile(buffer, sizeof(buffer));
    if (strnlen(buffer, sizeof(buffer)) == sizeof(buffer)) {
        abort();  // the buffer must stay terminated
    }
    return 0;
}
