#include "capture.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

OutputCapture::OutputCapture() : out_{}, err_{} {
    Begin(out_, STDOUT_FILENO);
    Begin(err_, STDERR_FILENO);
}

OutputCapture::~OutputCapture() {
    End(out_);
    End(err_);
}

std::string OutputCapture::Stdout() {
    return Drain(out_);
}
std::string OutputCapture::Stderr() {
    return Drain(err_);
}

void OutputCapture::Begin(Stream& stream, int fd) {
    fflush(fd == STDOUT_FILENO ? stdout : stderr);
    char path[] = "/tmp/ostrevane-capture-XXXXXX";
    stream.file = mkstemp(path);
    if (stream.file < 0) {
        throw std::runtime_error("cannot create a capture file");
    }
    unlink(path);
    stream.fd = fd;
    stream.saved = dup(fd);
    dup2(stream.file, fd);
    stream.consumed = 0;
}

std::string OutputCapture::Drain(Stream& stream) {
    fflush(stream.fd == STDOUT_FILENO ? stdout : stderr);
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = pread(stream.file, buffer, sizeof buffer, stream.consumed);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
        stream.consumed += n;
    }
    return text;
}

void OutputCapture::End(Stream& stream) {
    fflush(stream.fd == STDOUT_FILENO ? stdout : stderr);
    dup2(stream.saved, stream.fd);
    close(stream.saved);
    close(stream.file);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}
