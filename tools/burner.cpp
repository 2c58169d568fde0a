// A stand-in compiler: keeps its threads busy (or asleep) until it is killed.
// usage: burner [--threads N] [--cpus MASK] [--comm NAME] [--idle]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

bool Idle = false;

void* Work(void*) {
    volatile unsigned long spin = 0;
    for (;;) {
        if (Idle) {
            pause();
        }
        spin = spin + 1;
    }
    return nullptr;
}

// The extra threads call themselves "worker", so that a test can tell when all of them have
// started, whatever threads a sanitizer adds.
void* Worker(void*) {
    prctl(PR_SET_NAME, "worker", 0, 0, 0);
    return Work(nullptr);
}

} // namespace

int main(int argc, char** argv) {
    int threads = 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--threads") == 0 && i + 1 < argc) {
            threads = atoi(argv[++i]);
        } else if (strcmp(argv[i], "--cpus") == 0 && i + 1 < argc) {
            const unsigned long mask = strtoul(argv[++i], nullptr, 0);
            cpu_set_t set;
            CPU_ZERO(&set);
            for (unsigned cpu = 0; cpu < 64; ++cpu) {
                if ((mask >> cpu) & 1) {
                    CPU_SET(cpu, &set);
                }
            }
            if (sched_setaffinity(0, sizeof set, &set) != 0) {
                perror("sched_setaffinity");
                return 1;
            }
        } else if (strcmp(argv[i], "--comm") == 0 && i + 1 < argc) {
            prctl(PR_SET_NAME, argv[++i], 0, 0, 0);
        } else if (strcmp(argv[i], "--idle") == 0) {
            Idle = true;
        } else {
            fprintf(stderr, "burner: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    // The extra threads inherit the affinity set above; the main thread works too.
    for (int i = 1; i < threads; ++i) {
        pthread_t thread;
        pthread_create(&thread, nullptr, Worker, nullptr);
    }
    Work(nullptr);
}
