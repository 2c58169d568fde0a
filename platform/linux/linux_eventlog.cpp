// The event log subset on Linux, where the journal is the log. It already receives every line
// the service prints, through the stdout and stderr that systemd connects to it, so reporting an
// event writes nothing more: a second copy of each line would only double the journal. What
// registering the source adds is the priority. systemd gives both streams the unit's one level
// (info). When stderr is such a stream, it is reconnected as a journal stream of its own at
// priority err, so that `journalctl -p err` finds exactly the failures, each written once. When
// stdout is one, each line goes with the priority of its kind, as a "<N>" prefix that journald
// takes off (SyslogLevelPrefix=, on by default): a sample at debug, a change at notice, so that
// a filter by priority alone keeps the changes and drops 17,280 samples a day.
#include "linux_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int EventSourceToken;
const HANDLE EventSourceHandle = &EventSourceToken;

// Whether the descriptor is the journal stream that the service manager connected, as
// $JOURNAL_STREAM ("device:inode") names it; a redirected stream is left alone.
bool IsJournalStream(int fd) {
    const char* stream = getenv("JOURNAL_STREAM");
    struct stat status;
    if (stream == nullptr || fstat(fd, &status) != 0) {
        return false;
    }
    unsigned long long device = 0;
    unsigned long long inode = 0;
    char end = '\0';
    return sscanf(stream, "%llu:%llu%c", &device, &inode, &end) == 2 &&
           device == static_cast<unsigned long long>(status.st_dev) &&
           inode == static_cast<unsigned long long>(status.st_ino);
}

// Connects a journal stream at priority err (3) and puts it in place of stderr. The header is
// journald's stream protocol: identifier, unit (journald finds it from the peer), priority,
// level prefix, then forwarding to syslog, kmsg and console. Nothing changes on any failure.
void ReconnectStderrAtErrorPriority() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, "/run/systemd/journal/stdout", sizeof address.sun_path - 1);
    const std::string header = std::string(program_invocation_short_name) + "\n\n3\n0\n0\n0\n0\n";
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        write(fd, header.data(), header.size()) != static_cast<ssize_t>(header.size()) ||
        shutdown(fd, SHUT_RD) != 0 || dup2(fd, STDERR_FILENO) < 0) {
        close(fd);
        return;
    }
    close(fd);
}

// Writes all of it, as a stream must.
bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The stream that takes stdout's place: whole lines, each with its priority's prefix, to the
// journal stream on descriptor 1. A line not yet ended waits for its end.
ssize_t WriteJournalLines(void* cookie, const char* data, size_t size) {
    std::string& pending = *static_cast<std::string*>(cookie);
    pending.append(data, size);
    size_t start = 0;
    for (size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = pending.substr(start, end + 1 - start);
        const std::string text = linux_platform::JournalPrefix(line) + line;
        if (!WriteAll(STDOUT_FILENO, text.data(), text.size())) {
            pending.erase(0, start);
            return -1;
        }
    }
    pending.erase(0, start);
    return static_cast<ssize_t>(size);
}

// Puts a stream that prefixes each line in stdout's place; stdout stays as it is on any failure.
// Line-buffered, as the unit's stdbuf made the stream it replaces.
void PrefixStdoutWithPriorities() {
    std::string* pending = new (std::nothrow) std::string;
    if (pending == nullptr) {
        return;
    }
    cookie_io_functions_t functions{};
    functions.write = WriteJournalLines;
    FILE* stream = fopencookie(pending, "w", functions);
    if (stream == nullptr || setvbuf(stream, nullptr, _IOLBF, BUFSIZ) != 0) {
        if (stream != nullptr) {
            fclose(stream);
        }
        delete pending;
        return;
    }
    fflush(stdout);
    stdout = stream;
}

} // namespace

namespace linux_platform {

std::string JournalPrefix(const std::string& line) {
    if (line.compare(0, 11, "CPU usage: ") == 0) {
        return "<7>";
    }
    // "YYYY-MM-DDThh:mm:ss - set ...", the timestamp perhaps all question marks.
    if (line.size() > 26 && line[10] == 'T' && line.compare(19, 7, " - set ") == 0) {
        return "<5>";
    }
    return "";
}

} // namespace linux_platform

extern "C" {

HANDLE WINAPI RegisterEventSourceA(LPCSTR uncServerName, LPCSTR sourceName) {
    if (uncServerName != nullptr || sourceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (IsJournalStream(STDOUT_FILENO)) {
        PrefixStdoutWithPriorities();
    }
    if (IsJournalStream(STDERR_FILENO)) {
        ReconnectStderrAtErrorPriority();
    }
    return EventSourceHandle;
}

BOOL WINAPI ReportEventA(HANDLE eventLog, WORD, WORD, DWORD, PSID, WORD, DWORD, LPCSTR*, LPVOID) {
    if (eventLog != EventSourceHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE eventLog) {
    if (eventLog != EventSourceHandle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
