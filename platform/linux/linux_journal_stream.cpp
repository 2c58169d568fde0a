// The journal streams that systemd connects to stdout and stderr, made to carry each line's
// priority. systemd gives both streams the unit's one level (info). stderr is reconnected as a
// journal stream of its own at priority err, so that `journalctl -p err` finds exactly the
// failures, each written once. stdout becomes a stream that gives each line the priority of its
// kind, as a "<N>" prefix that journald takes off (SyslogLevelPrefix=, on by default): a sample at
// debug, a change at notice, so that a filter by priority alone keeps the changes and drops 17,280
// samples a day. A line's kind is what the event log was told of it: the monitor reports a line's
// event before it writes the line, and a line written without one is a sample.
#include "linux_platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace linux_platform {

namespace {

// A line longer than any the service writes goes out in pieces of this size.
constexpr size_t LineLimit = 4096;

// The lines of the last event reported, with their priorities.
struct NotedLine {
    std::string text;
    int priority;
};

std::mutex Lock;
std::vector<NotedLine> Noted;
bool UnknownKindSaid = false;
JournalStream* Stdout = nullptr;

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

// Says how many lines were lost, once, and counts afresh.
void SayLosses(JournalStream* stream) {
    if (stream->dropped == 0) {
        return;
    }
    char text[160];
    const int length = snprintf(
        text, sizeof text, "journal stream: %llu lines could not be written and were dropped\n",
        stream->dropped);
    stream->dropped = 0;
    (void)WriteAll(stream->noticeFd, text, static_cast<size_t>(length));
}

// The priority of a line: that of the event it was reported with, a sample's for one reported
// with none. The first piece of a line too long for one entry (cut) has its line's.
int PriorityOf(const std::string& line, bool cut, int noticeFd) {
    std::lock_guard<std::mutex> guard(Lock);
    for (auto noted = Noted.begin(); noted != Noted.end(); ++noted) {
        if ((cut ? noted->text.size() + 1 > line.size() : noted->text.size() + 1 == line.size()) &&
            line.compare(0, line.size() - 1, noted->text, 0, line.size() - 1) == 0) {
            const int priority = noted->priority;
            Noted.erase(noted);
            if (priority < 0 && !UnknownKindSaid) {
                UnknownKindSaid = true;
                const char text[] = "journal stream: a line of an unknown kind goes at info\n";
                (void)WriteAll(noticeFd, text, sizeof text - 1);
            }
            return priority < 0 ? 6 : priority;
        }
    }
    return 7;
}

// Writes one line, newline included, with its priority's prefix; a line that cannot be written is
// dropped and counted, never kept: the journal may be gone for good. Each piece of a line cut into
// pieces has the prefix of the first: journald reads a prefix only at the start of what it is
// given, so text of the line's own that begins a piece, "<3>" say, is never taken for one.
void WriteLine(JournalStream* stream, const std::string& line, bool cut) {
    const int priority =
        stream->cutPriority >= 0 ? stream->cutPriority : PriorityOf(line, cut, stream->noticeFd);
    stream->cutPriority = cut ? priority : -1;
    const std::string text = "<" + std::to_string(priority) + ">" + line;
    if (!WriteAll(stream->fd, text.data(), text.size())) {
        ++stream->dropped;
        return;
    }
    SayLosses(stream);
}

ssize_t WriteCookie(void* cookie, const char* data, size_t size) {
    return WriteJournalStream(static_cast<JournalStream*>(cookie), data, size);
}

// exit flushes the streams only after the atexit handlers have run, too late for a loss in that
// flush to be said: the handler flushes stdout itself first.
void FinishStdoutAtExit() {
    if (Stdout != nullptr) {
        FinishJournalStream(Stdout, stdout);
    }
}

} // namespace

int JournalPriority(WORD eventType, DWORD eventId) {
    // The event identifiers number the service's own events below 100 and its changes from 100
    // to 199.
    switch (eventType) {
    case EVENTLOG_ERROR_TYPE:
        return 3;
    case EVENTLOG_WARNING_TYPE:
        return 4;
    case EVENTLOG_INFORMATION_TYPE:
        return eventId >= 100 && eventId <= 199 ? 5 : eventId < 100 ? 6 : -1;
    default:
        return -1;
    }
}

void NoteReportedLines(WORD eventType, DWORD eventId, LPCSTR* lines, WORD count) {
    std::lock_guard<std::mutex> guard(Lock);
    Noted.clear();
    for (WORD i = 0; i < count; ++i) {
        if (lines[i] != nullptr && strlen(lines[i]) < LineLimit) {
            Noted.push_back(NotedLine{lines[i], JournalPriority(eventType, eventId)});
        }
    }
}

void SayNotice(const std::string& line) {
    {
        std::lock_guard<std::mutex> guard(Lock);
        Noted.push_back(NotedLine{line, 5});
    }
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
}

ssize_t WriteJournalStream(JournalStream* stream, const char* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        stream->partial += data[i];
        if (data[i] == '\n' || stream->partial.size() >= LineLimit) {
            const bool cut = data[i] != '\n';
            if (cut) {
                stream->partial += '\n';
            }
            WriteLine(stream, stream->partial, cut);
            stream->partial.clear();
        }
    }
    return static_cast<ssize_t>(size);
}

void FinishJournalStream(JournalStream* stream, FILE* file) {
    fflush(file);
    if (!stream->partial.empty()) {
        stream->partial += '\n';
        WriteLine(stream, stream->partial, false);
        stream->partial.clear();
    }
    SayLosses(stream);
}

FILE* OpenJournalStream(JournalStream* stream) {
    cookie_io_functions_t functions{};
    functions.write = WriteCookie;
    FILE* file = fopencookie(stream, "w", functions);
    if (file != nullptr && setvbuf(file, nullptr, _IOLBF, BUFSIZ) != 0) {
        fclose(file);
        return nullptr;
    }
    return file;
}

void ConnectJournalStreams() {
    // Once a process: stdout is a journal stream of ours from then on, and wrapping it again would
    // leave the first wrapper and its count of dropped lines behind.
    static bool connected = false;
    if (connected) {
        return;
    }
    connected = true;
    if (IsJournalStream(STDOUT_FILENO)) {
        // Line-buffered, as the unit's stdbuf made the stream it replaces. stdout stays as it is
        // on any failure.
        JournalStream* stream = new (std::nothrow) JournalStream;
        FILE* file = stream == nullptr ? nullptr : OpenJournalStream(stream);
        if (file != nullptr) {
            fflush(stdout);
            stdout = file;
            Stdout = stream;
            atexit(FinishStdoutAtExit);
        } else {
            delete stream;
        }
    }
    if (IsJournalStream(STDERR_FILENO)) {
        ReconnectStderrAtErrorPriority();
    }
}

} // namespace linux_platform
