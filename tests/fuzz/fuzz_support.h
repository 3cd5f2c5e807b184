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

inline void useHandsetTree()
{
    static const char tree[] =
        "./DevInfo/Man string Zav\n./DevInfo/Mod string ZV-100\n./DevDetail/SwV string 1.0.3\n"
        "./DevDetail/Ext/Conf/PMF/Agents/Registration/ClientPort int 16999\n"
        "./DevDetail/Ext/Conf/PMF/Agents/Registration/RegIMSI string \n"
        "./DevDetail/Ext/Conf/PMF/Agents/Registration/RegStatus int 0\n";
    setenv("DMNATIVE_TREE", writeFile("tree.txt", tree, sizeof(tree) - 1).c_str(), 1);
}

}  // namespace fuzzsupport

#endif
