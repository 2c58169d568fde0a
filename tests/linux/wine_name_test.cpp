// A Windows compiler run by Wine, as Linux users run MSVC's cl.exe for cross builds, is named by
// its Windows image by the Linux layer, so the service calms it like a native one.
#include "children.h"
#include "linux_platform.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::string Read(const std::string& path) {
    std::ifstream file(path);
    std::string text;
    std::getline(file, text, '\0');
    return text;
}

// The process whose kernel command name is `comm` and whose executable is a Wine loader.
pid_t FindWineProcess(const std::string& comm) {
    DIR* proc = opendir("/proc");
    pid_t found = -1;
    while (const dirent* entry = readdir(proc)) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0) {
            continue;
        }
        const std::string base = "/proc/" + std::to_string(pid);
        char exe[4096] = "";
        const ssize_t length = readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
        const std::string loader = length > 0 ? std::string(exe, static_cast<size_t>(length)) : "";
        if (Read(base + "/comm") == comm + "\n" && loader.find("/wine") != std::string::npos) {
            found = pid;
        }
    }
    closedir(proc);
    return found;
}

TEST(WineCompilerTest, IsNamedByItsWindowsImage) {
    char folder[] = "/tmp/ostrevane-wine-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string prefix = std::string(folder) + "/prefix";
    const std::string image = std::string(folder) + "/cl.exe.with.a.long.name";
    ASSERT_EQ(
        system(
            ("mkdir -p '" + prefix + "' && cp " OSTREVANE_WINE_STANDIN " '" + image + "'").c_str()),
        0);
    setenv("WINEPREFIX", prefix.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // Wine makes its server's socket folder under TMPDIR, and menus and links to the user's
    // folders under HOME: in the test's folder, they go with it.
    setenv("TMPDIR", folder, 1);
    setenv("HOME", folder, 1);
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        unsetenv(name);
    // Wine's 64-bit loader by name: /usr/bin/wine, where present, may pick the 32-bit one.
    setenv("WINELOADER", OSTREVANE_WINE64, 1);
    std::string wine = OSTREVANE_WINE64;
    char* argv[] = {&wine[0], const_cast<char*>(image.c_str()), nullptr};
    pid_t starter = -1;
    ASSERT_EQ(posix_spawn(&starter, wine.c_str(), nullptr, nullptr, argv, environ), 0);

    // The prefix is made first; then Wine names the process after its image, cut to 15 bytes.
    const std::string comm = std::string("cl.exe.with.a.long.name").substr(0, 15);
    pid_t compiler = -1;
    for (int i = 0; i < 600 && compiler < 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        compiler = FindWineProcess(comm);
    }
    std::string name = "<not found>";
    linux_platform::ProcessNames seen;
    if (compiler > 0) {
        // What the loader left in /proc, as the layer reads it.
        const std::string base = "/proc/" + std::to_string(compiler);
        char exe[4096] = "";
        const ssize_t length = readlink((base + "/exe").c_str(), exe, sizeof exe - 1);
        seen.exeKnown = length > 0;
        seen.exePath = seen.exeKnown ? std::string(exe, static_cast<size_t>(length)) : "";
        seen.comm = Read(base + "/comm");
        seen.argv0 = Read(base + "/cmdline");

        HANDLE process =
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(compiler));
        char buffer[4096] = "";
        DWORD size = sizeof buffer;
        if (process != nullptr && QueryFullProcessImageNameA(process, 0, buffer, &size)) {
            name = buffer;
            name = name.substr(name.rfind('\\') + 1);
        }
        if (process != nullptr) {
            CloseHandle(process);
        }
    }
    EXPECT_NE(
        system((OSTREVANE_WINESERVER64 " -k >/dev/null 2>&1; rm -rf '" + std::string(folder) + "'")
                   .c_str()),
        -1);
    kill(starter, SIGKILL);
    waitpid(starter, nullptr, 0);
    ASSERT_GT(compiler, 0) << "Wine did not start the stand-in";
    // The loader is the executable, the command name is the image's cut to 15 bytes, and argv[0]
    // is the image's path: the three things the layer names a Wine process by.
    EXPECT_EQ(seen.exePath.substr(seen.exePath.find_last_of('/') + 1), "wine64");
    EXPECT_EQ(seen.comm, comm + "\n");
    EXPECT_EQ(seen.argv0, image);
    EXPECT_EQ(name, "cl.exe.with.a.long.name") << "named in full, not by the cut command name";
}

} // namespace
