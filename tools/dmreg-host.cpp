// dmreg-host: the host process of a simulated handset. It loads libzavdmreg.so.1 as a handset's
// host would, creates a DM_RegLaunch and calls activateDmRegister() once.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "DM_RegLaunch.h"

namespace {

const int kExitUsage = 2;
const int kExitNoInput = 3;
bool g_fast = false;

void usage(FILE* out)
{
    fprintf(out,
            "usage: dmreg-host [--tree FILE] [--scenario FILE] [--fast]\n"
            "\n"
            "Runs one registration of a simulated handset: creates a DM_RegLaunch and calls\n"
            "activateDmRegister(), which returns when the flow has ended. The library's trace goes\n"
            "to standard error.\n"
            "\n"
            "  --tree FILE      device-management tree of the handset (sets DMNATIVE_TREE)\n"
            "  --scenario FILE  answers of the telephony service (sets ZAVTAPI_SCENARIO)\n"
            "  --fast           shorten the library's waits to 10 ms each, telling each one\n"
            "  --help           this text\n"
            "\n"
            "Exit status: 0 when the flow has ended, 2 for a usage error, 3 for a missing or\n"
            "unreadable file.\n");
}

// A file the stand-ins can read, or a message why not.
bool readable(const char* what, const char* path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        fprintf(stderr, "dmreg-host: %s %s: %s\n", what, path, strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "dmreg-host: %s %s: not a regular file\n", what, path);
        return false;
    }
    if (access(path, R_OK) != 0) {
        fprintf(stderr, "dmreg-host: %s %s: %s\n", what, path, strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

// The library's waits come here: with --fast they take 10 ms, and the host says so.
extern "C" unsigned int sleep(unsigned int seconds)
{
    if (g_fast) {
        fprintf(stderr, "[dmreg-host] sleep(%u) shortened to 10 ms\n", seconds);
        const timespec shortWait{0, 10L * 1000 * 1000};
        nanosleep(&shortWait, nullptr);
        return 0;
    }
    static const auto real = reinterpret_cast<unsigned int (*)(unsigned int)>(dlsym(RTLD_NEXT, "sleep"));
    return real(seconds);
}

int main(int argc, char** argv)
{
    const char* tree = nullptr;
    const char* scenario = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--fast") {
            g_fast = true;
        } else if ((arg == "--tree" || arg == "--scenario") && i + 1 < argc) {
            (arg == "--tree" ? tree : scenario) = argv[++i];
        } else {
            fprintf(stderr, "dmreg-host: unknown or incomplete option '%s'\n\n", arg.c_str());
            usage(stderr);
            return kExitUsage;
        }
    }
    if ((tree != nullptr && !readable("tree", tree)) || (scenario != nullptr && !readable("scenario", scenario))) {
        return kExitNoInput;
    }
    if (tree != nullptr) {
        setenv("DMNATIVE_TREE", tree, 1);
    }
    if (scenario != nullptr) {
        setenv("ZAVTAPI_SCENARIO", scenario, 1);
    }
    DM_RegLaunch launcher;
    launcher.activateDmRegister();
    return 0;
}
