# Windows with Debian's mingw-w64 cross compilers (posix thread model), for the processor that the
# including toolchain file sets.
set(CMAKE_SYSTEM_NAME Windows)

set(triple ${CMAKE_SYSTEM_PROCESSOR}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Wine's 64-bit loader, called by name: it hands a 32-bit program to the 32-bit loader itself,
# while /usr/bin/wine would pick the 32-bit loader for everything once wine32 is there.
find_program(WINE_PROGRAM wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
