// A stand-in for systemd's end of the notify protocol: binds a datagram socket and prints every
// notification it receives as one line, its assignments joined by spaces.
// usage: notify_listener PATH   (a leading '@' names an abstract socket)
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: notify_listener PATH\n");
        return 2;
    }
    const char* name = argv[1];
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t length = strlen(name);
    if (length == 0 || length >= sizeof address.sun_path) {
        fprintf(stderr, "notify_listener: bad socket name\n");
        return 2;
    }
    memcpy(address.sun_path, name, length);
    if (name[0] == '@') {
        address.sun_path[0] = '\0';
    } else {
        unlink(name);
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        perror("notify_listener");
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    char buffer[4096];
    for (;;) {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0) {
            continue;
        }
        std::string message(buffer, static_cast<size_t>(n));
        while (!message.empty() && message.back() == '\n') {
            message.pop_back();
        }
        for (char& c : message) {
            if (c == '\n') {
                c = ' ';
            }
        }
        printf("%s\n", message.c_str());
    }
}
