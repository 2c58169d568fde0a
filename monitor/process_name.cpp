#include "process_name.h"

#include <cstring>

namespace {

// Where the image's path is read: room for the longest Win32 path, 32,767 characters, so that a
// compiler installed deep in a tree is named; only its file name must fit the name buffer. In a
// double-byte code page a path that long may need more bytes, and its process stays unnamed. One
// buffer, for the service thread alone, as the timestamp's is.
char ImagePath[32768];

// The file name's first byte. In the double-byte code pages of Japanese and Chinese Windows (932,
// 936, 950) a character's second byte may be 0x5C, the backslash's: ソ in code page 932 is 0x83
// 0x5C (in Korean's 949 it never is). The path is therefore walked by character. Lead bytes are all
// 0x81 or above, so an ASCII byte is never asked about, and a path of ASCII alone costs no call.
const char* FileNameOf(const char* path) {
    const char* file = path;
    for (const char* byte = path; *byte != '\0'; ++byte) {
        const unsigned char value = static_cast<unsigned char>(*byte);
        if (value >= 0x80 && IsDBCSLeadByte(value) && byte[1] != '\0') {
            ++byte;
        } else if (value == '\\') {
            file = byte + 1;
        }
    }
    return file;
}

// A name is printed inside a log line: a control character in it (which no Windows file name
// has) could end the line early and forge the next one. C0 and DEL are controls in every code
// page; the others of a platform's encoding (C1 in UTF-8 on Linux) are its layer's to replace.
void ReplaceControlCharacters(char* name) {
    for (; *name != '\0'; ++name) {
        if (static_cast<unsigned char>(*name) < 0x20 || *name == 0x7f) {
            *name = '?';
        }
    }
}

} // namespace

void NameProcess(HANDLE process, char* name) {
    DWORD size = sizeof ImagePath;
    if (!QueryFullProcessImageNameA(process, 0, ImagePath, &size) || size >= sizeof ImagePath) {
        return;
    }
    ImagePath[size] = '\0';
    const char* file = FileNameOf(ImagePath);
    const size_t length = strlen(file);
    if (length >= MAX_PATH) {
        return;
    }
    memcpy(name, file, length + 1);
    ReplaceControlCharacters(name);
}
