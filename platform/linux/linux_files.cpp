// Reading the kernel's files: the one rule for a file read whole, and the numbers in them.
#include "linux_platform.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace linux_platform {

bool ReadKernelFile(const std::string& path, std::string* text, size_t limit) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::string whole;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || whole.size() + static_cast<size_t>(n) > limit) {
            const int error = n < 0 ? errno : n == 0 ? 0 : EFBIG;
            close(fd);
            errno = error;
            if (n == 0) {
                *text = whole;
            }
            return n == 0;
        }
        whole.append(buffer, static_cast<size_t>(n));
    }
}

bool ReadFileStart(const std::string& path, std::string* text, size_t limit) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char buffer[4096];
    ssize_t n;
    do {
        n = read(fd, buffer, limit < sizeof buffer ? limit : sizeof buffer);
    } while (n < 0 && errno == EINTR);
    close(fd);
    if (n < 0) {
        return false;
    }
    text->assign(buffer, static_cast<size_t>(n));
    return true;
}

bool ParseUnsigned(const char*& cursor, unsigned long long* value) {
    if (*cursor < '0' || *cursor > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    *value = strtoull(cursor, &end, 10);
    if (errno != 0) {
        return false;
    }
    cursor = end;
    return true;
}

} // namespace linux_platform
