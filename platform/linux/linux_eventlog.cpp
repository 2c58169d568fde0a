// The event log subset on Linux, where the journal is the log. It already receives every line
// the service prints, through the stdout and stderr that systemd connects to it, so reporting an
// event writes nothing more: a second copy of each line would only double the journal. What
// registering the source adds is the priority. systemd gives both streams the unit's one level
// (info); when stderr is such a stream, it is reconnected as a journal stream of its own at
// priority err, so that `journalctl -p err` finds exactly the failures, each written once.
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

int EventSourceToken;
const HANDLE EventSourceHandle = &EventSourceToken;

// Whether stderr is the journal stream that the service manager connected, as $JOURNAL_STREAM
// ("device:inode") names it; a redirected stderr is left alone.
bool StderrIsJournalStream() {
    const char* stream = getenv("JOURNAL_STREAM");
    struct stat status;
    if (stream == nullptr || fstat(STDERR_FILENO, &status) != 0) {
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

} // namespace

extern "C" {

HANDLE WINAPI RegisterEventSourceA(LPCSTR uncServerName, LPCSTR sourceName) {
    if (uncServerName != nullptr || sourceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (StderrIsJournalStream()) {
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
