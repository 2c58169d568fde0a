# 32-bit Windows with Debian's mingw-w64 cross compiler (posix thread model).
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
