// Files and the current directory on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/OsBackEnd.h"

int OsCreateFile(const char* path) {
    int fd;
    do {
        fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, S_IRUSR | S_IWUSR);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? -1 : fd;
}

int OsOpenFileRead(const char* path) {
    int fd;
    do {
        fd = open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? -1 : fd;
}

long OsWriteFile(int fd, const void* data, unsigned long count) {
    const char* bytes = static_cast<const char*>(data);
    unsigned long written = 0;
    while (written < count) {
        const ssize_t n = write(fd, bytes + written, count - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return written > 0 ? static_cast<long>(written) : -1;
        written += static_cast<unsigned long>(n);
    }
    return static_cast<long>(written);
}

long OsReadFile(int fd, void* buffer, unsigned long count) {
    char* bytes = static_cast<char*>(buffer);
    unsigned long done = 0;
    while (done < count) {
        const ssize_t n = read(fd, bytes + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return done > 0 ? static_cast<long>(done) : -1;
        if (n == 0)
            break;
        done += static_cast<unsigned long>(n);
    }
    return static_cast<long>(done);
}

void OsCloseFile(int fd) {
    if (fd >= 0)
        close(fd);
}

bool OsFileSize(const char* path, uint64_t* size) {
    struct stat status;
    if (stat(path, &status) != 0)
        return false;
    *size = static_cast<uint64_t>(status.st_size);
    return true;
}

bool OsGetCurrentDirectory(char* buffer, size_t size) {
    return getcwd(buffer, size) != nullptr;
}

const char* OsPathSeparator() {
    return "/";
}
