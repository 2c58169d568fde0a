/* A stand-in compiler for the Windows tests: it only waits to be changed. */
#include <windows.h>

int main(void) {
    for (;;) {
        Sleep(INFINITE);
    }
}
