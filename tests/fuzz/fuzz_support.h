// Set-up shared by the fuzz targets: a quiet trace, a handset tree in the fuzz folder, and the
// stand-ins' default handset.
#ifndef TESTS_FUZZ_SUPPORT_H
#define TESTS_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzsupport {

// The library's trace goes nowhere; libFuzzer keeps its own output.
inline void quietTrace()
{
    FILE* nowhere = fopen("/dev/null", "w");
    if (nowhere != nullptr) {
        stderr = nowhere;
    }
}

// A file in this build's fuzz folder with the given bytes.
inline std::string writeFile(const char* name, const void* data, size_t size)
{
    const std::string path = std::string(DMREG_FUZZ_WORK) + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f != nullptr) {
        fwrite(data, 1, size, f);
        fclose(f);
    }
    return path;
}

// A copy of the tests' handset tree in the fuzz folder, where the library may store values.
inline void useHandsetTree()
{
    std::string tree;
    FILE* f = fopen(DMREG_TEST_SUPPORT "/handset-tree.txt", "r");
    for (int c; f != nullptr && (c = fgetc(f)) != EOF;) {
        tree += static_cast<char>(c);
    }
    if (f != nullptr) {
        fclose(f);
    }
    setenv("DMNATIVE_TREE", writeFile("tree.txt", tree.data(), tree.size()).c_str(), 1);
}

}  // namespace fuzzsupport

#endif
