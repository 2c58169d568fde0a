// Captures what the code under test writes to stdout and stderr, through the real streams and
// their default buffering, so tests see exactly the bytes a log reader would.
#pragma once

#include <string>
#include <vector>

class OutputCapture {
  public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Everything written since the capture began (or since the last call of the same stream).
    std::string Stdout();
    std::string Stderr();

  private:
    struct Stream {
        int fd;
        int saved;
        int file;
        long consumed;
    };
    static void Begin(Stream& stream, int fd);
    static std::string Drain(Stream& stream);
    static void End(Stream& stream);
    Stream out_;
    Stream err_;
};

// The lines of a captured text, without their newlines.
std::vector<std::string> Lines(const std::string& text);
