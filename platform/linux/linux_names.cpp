// How the Linux rendition names a process: by its executable, or for a program run by Wine by its
// Windows image, in the form QueryFullProcessImageNameA gives.
#include "linux_platform.h"

namespace linux_platform {

namespace {

// Splits a path at its last separator of either kind: Wine's argv[0] may be a Windows path.
std::string LastComponent(const std::string& path) {
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

bool IsWineLoader(const std::string& name) {
    return name == "wine" || name == "wine64" || name == "wine-preloader" ||
           name == "wine64-preloader";
}

// The length of the well-formed UTF-8 sequence of two bytes or more that starts at `at`, or 0:
// no overlong form, no surrogate, nothing above U+10FFFF (the Unicode Standard's table 3-7).
size_t Utf8SequenceAt(const std::string& text, size_t at) {
    const auto byte = [&text](size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const unsigned lead = byte(at);
    size_t length = 0;
    unsigned low = 0x80;
    unsigned high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xbf) {
            return 0;
        }
    }
    return length;
}

} // namespace

// A C1 control is replaced in both its forms: U+009B, like the byte 9B, may start an escape
// sequence. The bytes of well-formed UTF-8 stay, as do other bytes that are not UTF-8 (a file name
// may hold any): a terminal in UTF-8, and the journal, which reads text as UTF-8, then see no
// control in the result. A terminal in an 8-bit locale that acts on C1 controls may still see one
// inside a well-formed character, whose continuation bytes may be 80 to 9F (U+00DB is C3 9B);
// replacing them would mangle names in most scripts. The monitor replaces C0 and DEL again before a
// name reaches a log line, whatever the platform; only the layer knows the names' encoding, so C1
// is the layer's to replace.
std::string WithoutControlCharacters(const std::string& name) {
    std::string text;
    for (size_t i = 0; i < name.size();) {
        const unsigned char byte = static_cast<unsigned char>(name[i]);
        const size_t sequence = Utf8SequenceAt(name, i);
        const bool c1 =
            (byte == 0xc2 && sequence == 2 && static_cast<unsigned char>(name[i + 1]) <= 0x9f) ||
            (sequence == 0 && byte >= 0x80 && byte <= 0x9f);
        if (byte < 0x20 || byte == 0x7f || c1) {
            text += '?';
        } else {
            text.append(name, i, sequence == 0 ? 1 : sequence);
        }
        i += sequence == 0 ? 1 : sequence;
    }
    return text;
}

namespace {
// The executable's path; a file deleted since it was run keeps its name.
std::string WithoutDeletedMark(std::string exe) {
    const std::string deleted = " (deleted)";
    if (exe.size() > deleted.size() &&
        exe.compare(exe.size() - deleted.size(), deleted.size(), deleted) == 0) {
        exe.resize(exe.size() - deleted.size());
    }
    return exe;
}

// What a process is named after: a path whose last component is its name, or (whole is true) a
// command name that is the name as it stands.
struct NameSource {
    std::string text;
    bool whole;
};
NameSource SourceOf(const ProcessNames& names) {
    if (names.exeKnown) {
        std::string exe = WithoutDeletedMark(names.exePath);
        if (!IsWineLoader(LastComponent(exe))) {
            return NameSource{exe, false};
        }
    }
    // The command name is the image name cut to 15 bytes; argv[0] names it in full.
    const std::string image = LastComponent(names.argv0);
    if (!names.comm.empty() && image.compare(0, names.comm.size(), names.comm) == 0) {
        return NameSource{names.argv0, false};
    }
    return NameSource{names.comm, true};
}
} // namespace

bool NeedsOwnWords(const std::string& exePath) {
    return IsWineLoader(LastComponent(WithoutDeletedMark(exePath)));
}

std::string BaseName(const ProcessNames& names) {
    const NameSource source = SourceOf(names);
    return WithoutControlCharacters(source.whole ? source.text : LastComponent(source.text));
}

std::string ImagePath(const ProcessNames& names) {
    const NameSource source = SourceOf(names);
    if (source.whole) {
        return BaseName(names);
    }
    // Wine's form of a Unix path; a Windows path from argv[0] stays as it is.
    std::string path = source.text[0] == '/' ? "Z:" + source.text : source.text;
    for (char& c : path) {
        c = c == '/' ? '\\' : c;
    }
    return path.substr(0, path.rfind('\\') + 1) + BaseName(names);
}

} // namespace linux_platform
