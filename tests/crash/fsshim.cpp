// A disk that fails on purpose, loaded into a program with LD_PRELOAD. It sees every call that
// changes a file in the folders it watches, numbers them from 1, and at the one it is told:
//
//   kill-before:N   the program is killed just before call N
//   kill-after:N    and just after it
//   eio:N, enospc:N call N fails with EIO or ENOSPC, and the program goes on
//   powercut:N      the power fails before call N: what was written but not synced is lost,
//                   as are the names (new, renamed, removed) whose folder was not synced,
//                   then the program is killed
//
// It keeps what the disk holds for sure: each file's bytes at its last fsync, each watched
// folder's names at its last fsync (what was there at the start counts as synced). Settings, all
// from the environment: DMREG_SHIM_WATCH (folders, ':' between them), DMREG_SHIM_POINT,
// DMREG_SHIM_LOG (each call, a line), DMREG_SHIM_BOOT_ID (read in place of the kernel's boot id).
//
// Calls on anything else fail as DMREG_SHIM_FAULTS says, ',' between its items: "pipe2:1:EMFILE"
// fails the first pipe2 of each thread with EMFILE; "read:*:EINTR" interrupts one read in three,
// chosen at random as signals would.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

template <class F>
F real(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

struct Real {
    int (*open)(const char*, int, ...) = real<int (*)(const char*, int, ...)>("open");
    int (*openat)(int, const char*, int, ...) = real<int (*)(int, const char*, int, ...)>("openat");
    ssize_t (*write)(int, const void*, size_t) = real<ssize_t (*)(int, const void*, size_t)>("write");
    ssize_t (*read)(int, void*, size_t) = real<ssize_t (*)(int, void*, size_t)>("read");
    int (*close)(int) = real<int (*)(int)>("close");
    int (*fsync)(int) = real<int (*)(int)>("fsync");
    int (*fdatasync)(int) = real<int (*)(int)>("fdatasync");
    int (*rename)(const char*, const char*) = real<int (*)(const char*, const char*)>("rename");
    int (*unlink)(const char*) = real<int (*)(const char*)>("unlink");
    int (*unlinkat)(int, const char*, int) = real<int (*)(int, const char*, int)>("unlinkat");
    int (*mkdir)(const char*, mode_t) = real<int (*)(const char*, mode_t)>("mkdir");
    int (*mkostemp)(char*, int) = real<int (*)(char*, int)>("mkostemp");
    int (*fchmod)(int, mode_t) = real<int (*)(int, mode_t)>("fchmod");
    int (*ftruncate)(int, off_t) = real<int (*)(int, off_t)>("ftruncate");
};

struct Durable {
    std::map<std::string, ino_t> names;  // a watched folder's names at its last sync
};

class Disk {
public:
    Disk()
    {
        const char* watch = getenv("DMREG_SHIM_WATCH");
        for (const char* at = watch; at != nullptr && *at != '\0';) {
            const char* colon = strchr(at, ':');
            const std::string folder(at, colon != nullptr ? static_cast<size_t>(colon - at) : strlen(at));
            char resolved[PATH_MAX];
            if (realpath(folder.c_str(), resolved) != nullptr) {
                m_folders[resolved] = Durable();
                synced(resolved, true);
            }
            at = colon != nullptr ? colon + 1 : nullptr;
        }
        const char* point = getenv("DMREG_SHIM_POINT");
        if (point != nullptr && strchr(point, ':') != nullptr) {
            m_mode.assign(point, static_cast<size_t>(strchr(point, ':') - point));
            m_at = atol(strchr(point, ':') + 1);
        }
        const char* log = getenv("DMREG_SHIM_LOG");
        m_log = log != nullptr ? m_real.open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1;
        const char* boot = getenv("DMREG_SHIM_BOOT_ID");
        m_bootId = boot != nullptr ? boot : "";
    }

    const Real& calls() const { return m_real; }
    const std::string& bootId() const { return m_bootId; }

    // The watched folder of a path, "" for none.
    std::string folderOf(const char* path, int dirFd = AT_FDCWD) const
    {
        std::string full = path;
        if (path[0] != '/') {
            char base[PATH_MAX];
            const std::string self = dirFd == AT_FDCWD ? "/proc/self/cwd" : "/proc/self/fd/" + std::to_string(dirFd);
            const ssize_t n = readlink(self.c_str(), base, sizeof(base) - 1);
            full = (n > 0 ? std::string(base, static_cast<size_t>(n)) : std::string(".")) + "/" + path;
        }
        const size_t slash = full.rfind('/');
        char resolved[PATH_MAX];
        if (realpath(slash == 0 ? "/" : full.substr(0, slash).c_str(), resolved) == nullptr) {
            return "";
        }
        return m_folders.count(resolved) != 0 ? resolved : "";
    }
    bool isWatchedFolder(const char* path) const
    {
        char resolved[PATH_MAX];
        return realpath(path, resolved) != nullptr && m_folders.count(resolved) != 0;
    }
    bool watchedFd(int fd) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_fds.count(fd) != 0;
    }
    void track(int fd, const std::string& folder)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (fd >= 0 && !folder.empty()) {
            m_fds[fd] = folder;
            struct stat st;
            if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
                m_contents.erase(st.st_ino);  // a new file: none of it is on the disk yet
            }
        }
    }
    void untrack(int fd)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fds.erase(fd);
    }

    // Call number n is about to be made: true when it is to fail (errno set).
    bool before(const char* what, const std::string& detail)
    {
        std::lock_guard<std::mutex> lock(m_callMutex);
        const long n = ++m_count;
        note(std::to_string(n) + " " + what + " " + detail);
        if (n != m_at) {
            return false;
        }
        if (m_mode == "kill-before") {
            kill(getpid(), SIGKILL);
        } else if (m_mode == "powercut") {
            powerCut();
            kill(getpid(), SIGKILL);
        } else if (m_mode == "eio" || m_mode == "enospc") {
            errno = m_mode == "eio" ? EIO : ENOSPC;
            return true;
        }
        return false;
    }
    void after()
    {
        if (m_count == m_at && m_mode == "kill-after") {
            kill(getpid(), SIGKILL);
        }
    }

    // fsync of fd: a file's bytes, or a watched folder's names, are now on the disk.
    void synced(int fd)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        struct stat st;
        if (fstat(fd, &st) != 0) {
            return;
        }
        if (S_ISREG(st.st_mode)) {
            m_contents[st.st_ino] = contentOf("/proc/self/fd/" + std::to_string(fd));
            return;
        }
        char path[PATH_MAX];
        const ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof(path) - 1);
        if (n > 0 && m_folders.count(std::string(path, static_cast<size_t>(n))) != 0) {
            synced(std::string(path, static_cast<size_t>(n)), false);
        }
    }

private:
    void note(const std::string& line) const
    {
        if (m_log >= 0) {
            const std::string text = line + "\n";
            m_real.write(m_log, text.data(), text.size());
        }
    }

    std::string contentOf(const std::string& path) const
    {
        std::string content;
        const int fd = m_real.open(path.c_str(), O_RDONLY | O_CLOEXEC);
        char buffer[4096];
        for (ssize_t got; fd >= 0 && (got = m_real.read(fd, buffer, sizeof(buffer))) > 0;) {
            content.append(buffer, static_cast<size_t>(got));
        }
        if (fd >= 0) {
            m_real.close(fd);
        }
        return content;
    }

    // The folder's names as they are now are on the disk; files never synced come back empty,
    // but for those there at the start.
    void synced(const std::string& folder, bool initial)
    {
        Durable& durable = m_folders[folder];
        durable.names = filesIn(folder);
        for (const auto& name : durable.names) {
            if (m_contents.count(name.second) == 0) {
                m_contents[name.second] = initial ? contentOf(folder + "/" + name.first) : "";
            }
        }
    }

    // The regular files of a folder, by name.
    static std::map<std::string, ino_t> filesIn(const std::string& folder)
    {
        std::map<std::string, ino_t> files;
        DIR* dir = opendir(folder.c_str());
        for (const dirent* e; dir != nullptr && (e = readdir(dir)) != nullptr;) {
            struct stat st;
            if (lstat((folder + "/" + e->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                files[e->d_name] = st.st_ino;
            }
        }
        if (dir != nullptr) {
            closedir(dir);
        }
        return files;
    }

    // Every watched folder as the disk holds it for sure.
    void powerCut()
    {
        note("power cut");
        for (const auto& folder : m_folders) {
            for (const auto& name : filesIn(folder.first)) {
                m_real.unlink((folder.first + "/" + name.first).c_str());
            }
            for (const auto& name : folder.second.names) {
                const std::string& content = m_contents[name.second];
                const int fd = m_real.open((folder.first + "/" + name.first).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
                m_real.write(fd, content.data(), content.size());
                m_real.close(fd);
            }
        }
    }

    Real m_real;
    mutable std::mutex m_mutex;
    std::mutex m_callMutex;
    std::map<std::string, Durable> m_folders;
    std::map<ino_t, std::string> m_contents;  // each file's bytes at its last sync
    std::map<int, std::string> m_fds;         // descriptors of files in watched folders
    std::string m_mode;
    long m_at = 0;
    long m_count = 0;
    int m_log = -1;
    std::string m_bootId;
};

Disk& disk()
{
    static Disk* d = new Disk();  // never destroyed: calls come until the very end
    return *d;
}

// True, with errno set, when call n of the named function in this thread is to fail as
// DMREG_SHIM_FAULTS says.
bool fail(const char* name, long n)
{
    static const std::string* faults = new std::string("," + std::string(getenv("DMREG_SHIM_FAULTS") ?: "") + ",");
    thread_local unsigned random = 2463534242u;  // plain: calls come while a thread's objects are destroyed
    random ^= random << 13, random ^= random >> 17, random ^= random << 5;
    const size_t at = faults->find("," + std::string(name) + ":");
    char when[16] = "";
    char error[32] = "";
    if (at == std::string::npos || sscanf(faults->c_str() + at + strlen(name) + 2, "%15[^:]:%31[^,]", when, error) != 2 ||
        (when[0] == '*' ? random % 3 != 0 : atol(when) != n)) {
        return false;
    }
    for (int e = 1; e < 200; ++e) {
        if (strerrorname_np(e) != nullptr && strcmp(error, strerrorname_np(e)) == 0) {
            errno = e;
            return true;
        }
    }
    errno = EIO;  // a name that is none
    return true;
}

bool changes(int flags)
{
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0;
}

// A call that changes a watched file or folder is counted, and failed or let through.
template <class Call>
auto counted(bool watched, const char* what, const std::string& detail, Call call) -> decltype(call())
{
    if (!watched) {
        return call();
    }
    if (disk().before(what, detail)) {
        return -1;
    }
    const auto result = call();
    disk().after();
    return result;
}

template <class Call>
int onFd(const char* what, int fd, Call call)
{
    return counted(disk().watchedFd(fd), what, "fd " + std::to_string(fd), call);
}

// A sync of fd: what it holds is on the disk once the call succeeds.
int synced(const char* what, int fd, int (*sync)(int))
{
    return onFd(what, fd, [=] {
        const int result = sync(fd);
        if (result == 0) {
            disk().synced(fd);
        }
        return result;
    });
}

int opened(int dirFd, const char* path, int flags, mode_t mode)
{
    Disk& d = disk();
    if (strcmp(path, "/proc/sys/kernel/random/boot_id") == 0 && !d.bootId().empty()) {
        return d.calls().open(d.bootId().c_str(), flags, mode);
    }
    const std::string folder = d.folderOf(path, dirFd);
    const bool watchedFolder = (flags & O_DIRECTORY) != 0 && d.isWatchedFolder(path);  // to be synced
    const bool changing = !watchedFolder && !folder.empty() && changes(flags);
    return counted(changing, "open", path, [&] {
        const int fd = d.calls().openat(dirFd, path, flags, mode);
        d.track(fd, watchedFolder ? path : changing ? folder : "");
        return fd;
    });
}

mode_t modeOf(int flags, va_list args)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

#define DMREG_OPEN(name, dirFd, params)          \
    int name params                              \
    {                                            \
        va_list args;                            \
        va_start(args, flags);                   \
        const mode_t mode = modeOf(flags, args); \
        va_end(args);                            \
        return opened(dirFd, path, flags, mode); \
    }
DMREG_OPEN(open, AT_FDCWD, (const char* path, int flags, ...))
DMREG_OPEN(open64, AT_FDCWD, (const char* path, int flags, ...))
DMREG_OPEN(openat, dirFd, (int dirFd, const char* path, int flags, ...))

int mkostemp(char* templ, int flags)
{
    const std::string folder = disk().folderOf(templ);
    return counted(!folder.empty(), "mkostemp", templ, [=] {
        const int fd = disk().calls().mkostemp(templ, flags);
        disk().track(fd, folder);
        return fd;
    });
}

// Calls on anything: failed as DMREG_SHIM_FAULTS says.
#define DMREG_FAULTY(type, name, params, args)                \
    type name params                                           \
    {                                                          \
        static const auto next = real<type(*) params>(#name);  \
        thread_local long calls = 0;                           \
        return fail(#name, ++calls) ? -1 : next args;          \
    }
DMREG_FAULTY(int, poll, (struct pollfd * fds, nfds_t n, int timeout), (fds, n, timeout))
DMREG_FAULTY(ssize_t, read, (int fd, void* buffer, size_t size), (fd, buffer, size))
DMREG_FAULTY(ssize_t, recv, (int fd, void* buffer, size_t size, int flags), (fd, buffer, size, flags))
DMREG_FAULTY(ssize_t, send, (int fd, const void* buffer, size_t size, int flags), (fd, buffer, size, flags))
DMREG_FAULTY(int, connect, (int fd, const struct sockaddr* address, socklen_t size), (fd, address, size))
DMREG_FAULTY(int, accept4, (int fd, struct sockaddr* address, socklen_t* size, int flags), (fd, address, size, flags))
DMREG_FAULTY(int, pipe2, (int fds[2], int flags), (fds, flags))
DMREG_FAULTY(ssize_t, getrandom, (void* buffer, size_t size, unsigned flags), (buffer, size, flags))
DMREG_FAULTY(int, flock, (int fd, int operation), (fd, operation))
DMREG_FAULTY(int, dup, (int fd), (fd))

ssize_t write(int fd, const void* buffer, size_t size)
{
    thread_local long calls = 0;
    return fail("write", ++calls) ? -1 : onFd("write", fd, [=] { return disk().calls().write(fd, buffer, size); });
}

int close(int fd)
{
    disk().untrack(fd);
    return disk().calls().close(fd);
}

int fsync(int fd)
{
    return synced("fsync", fd, disk().calls().fsync);
}

int fdatasync(int fd)
{
    return synced("fdatasync", fd, disk().calls().fdatasync);
}

int fchmod(int fd, mode_t mode)
{
    return onFd("fchmod", fd, [=] { return disk().calls().fchmod(fd, mode); });
}

int ftruncate(int fd, off_t length)
{
    return onFd("ftruncate", fd, [=] { return disk().calls().ftruncate(fd, length); });
}

int rename(const char* from, const char* to)
{
    const bool watched = !disk().folderOf(from).empty() || !disk().folderOf(to).empty();
    return counted(watched, "rename", std::string(from) + " " + to, [=] { return disk().calls().rename(from, to); });
}

int unlink(const char* path)
{
    return counted(!disk().folderOf(path).empty(), "unlink", path, [=] { return disk().calls().unlink(path); });
}

int unlinkat(int dirFd, const char* path, int flags)
{
    return counted(!disk().folderOf(path, dirFd).empty(), "unlinkat", path, [=] { return disk().calls().unlinkat(dirFd, path, flags); });
}

int mkdir(const char* path, mode_t mode)
{
    return counted(!disk().folderOf(path).empty(), "mkdir", path, [=] { return disk().calls().mkdir(path, mode); });
}

}  // extern "C"
