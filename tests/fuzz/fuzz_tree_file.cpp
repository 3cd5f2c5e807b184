// The tree stand-in's file parser on any file.
#include <cstdint>

#include "dmnative_control.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::quietTrace();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    dmnative::checkTreeFile(fuzzsupport::writeFile("fuzz-tree.txt", data, size).c_str());
    return 0;
}
