#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace service {
namespace {

// A descriptor closed on every path.
struct Fd {
    int fd;
    explicit Fd(int descriptor) : fd(descriptor) {}
    ~Fd()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

std::string failure(const std::string& what, const std::string& path, int error)
{
    return "cannot " + what + " " + path + ": " + strerror(error);
}

std::string mode(mode_t bits)
{
    char text[8];
    snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(bits & 07777));
    return text;
}

bool syncFolder(const std::string& path, std::string& error)
{
    const std::string folder = folderOf(path);
    const Fd dir(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0 || fsync(dir.fd) != 0) {
        error = failure("sync the folder", folder, errno);
        return false;
    }
    return true;
}

}  // namespace

std::string folderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string ownFolder(const std::string& folder, const std::string& role, const std::string& remedy)
{
    struct stat st;
    if (stat(folder.c_str(), &st) != 0) {
        if (errno != ENOENT || mkdir(folder.c_str(), 0700) != 0 || stat(folder.c_str(), &st) != 0) {
            return failure("make " + role, folder, errno);
        }
    }
    const std::string named = role + " " + folder;
    if (!S_ISDIR(st.st_mode)) {
        return named + " is no folder";
    }
    if ((st.st_mode & (S_ISVTX | S_IWOTH)) != 0) {
        return named + " is shared with every user (mode " + mode(st.st_mode) + "); " + remedy;
    }
    if (st.st_uid != geteuid()) {
        return named + " belongs to user " + std::to_string(st.st_uid) + ", not to this service's user " +
               std::to_string(geteuid()) + ": give the service a folder of its own";
    }
    if ((st.st_mode & 077) != 0) {
        return named + " is open to others (mode " + mode(st.st_mode) +
               "): close it (chmod 0700), or let systemd make it for the service";
    }
    return "";
}

std::string trustedToRead(const std::string& path)
{
    for (const std::string& item : {folderOf(path), path}) {
        struct stat st;
        if (stat(item.c_str(), &st) != 0) {
            return failure("read", item, errno);
        }
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (st.st_uid != 0 && st.st_uid != geteuid())) {
            return item + " may be changed by another user (mode " + mode(st.st_mode) + ", owner " + std::to_string(st.st_uid) +
                   "): it must be writable by root or this service's user alone";
        }
    }
    return "";
}

Read readFile(const std::string& path, size_t limit, std::string& content, std::string& error, bool followLink)
{
    content.clear();
    const Fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLink ? 0 : O_NOFOLLOW)));
    if (file.fd < 0) {
        if (errno == ENOENT) {
            return Read::Missing;
        }
        error = errno == ELOOP ? path + " is a link, which is not followed" : failure("read", path, errno);
        return Read::Failed;
    }
    struct stat st;
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = path + " is no regular file";
        return Read::Failed;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(file.fd, buffer, sizeof(buffer));
        if (got == 0) {
            return Read::Ok;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            error = failure("read", path, errno);
            return Read::Failed;
        }
        if (content.size() + static_cast<size_t>(got) > limit) {
            error = path + " is longer than " + std::to_string(limit) + " bytes";
            return Read::Failed;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
}

bool writeDurably(const std::string& path, const std::string& content, std::string& error)
{
    const std::string temporary = path + ".new";
    unlink(temporary.c_str());  // a crash's, or a name planted there: never written through
    int failed = 0;
    {
        const Fd file(open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (file.fd < 0) {
            error = failure("write", temporary, errno);
            return false;
        }
        for (size_t done = 0; failed == 0 && done < content.size();) {
            const ssize_t n = write(file.fd, content.data() + done, content.size() - done);
            failed = n > 0 || (n < 0 && errno == EINTR) ? 0 : n == 0 ? EIO : errno;
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
        if (failed == 0 && fsync(file.fd) != 0) {
            failed = errno;
        }
    }
    if (failed == 0 && rename(temporary.c_str(), path.c_str()) != 0) {
        failed = errno;
    }
    if (failed != 0) {
        error = failure("write", path, failed);
        unlink(temporary.c_str());
        return false;
    }
    return syncFolder(path, error);
}

bool removeDurably(const std::string& path, std::string& error)
{
    for (const std::string& name : {path + ".new", path}) {
        if (unlink(name.c_str()) != 0 && errno != ENOENT) {
            error = failure("remove", name, errno);
            return false;
        }
    }
    return syncFolder(path, error);
}

int removeLeftovers(const std::string& folder)
{
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) {
        return 0;
    }
    int removed = 0;
    for (const dirent* entry; (entry = readdir(dir)) != nullptr;) {
        const std::string name = entry->d_name;
        const bool leftover = (name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0) || name.compare(0, 8, ".dmtree.") == 0;
        removed += leftover && unlinkat(dirfd(dir), name.c_str(), 0) == 0 ? 1 : 0;
    }
    closedir(dir);
    return removed;
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            char code[5];
            snprintf(code, sizeof(code), "\\x%02X", byte);
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace service
