// The loop when memory for the process list cannot be had. This binary replaces the global
// allocator, so it stands apart from the other monitor tests.
#include "monitor_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <new>

// The replacement pair is malloc and free by design.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
// Allocations of at least this many bytes fail while it is non-zero.
std::size_t FailingSize = 0;
} // namespace

void* operator new(std::size_t size) {
    if (FailingSize != 0 && size >= FailingSize) {
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size != 0 ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace {

class PidMemoryTest : public MonitorTest {};

TEST_F(PidMemoryTest, ListThatCannotGrowLosesThatPassOnlyAndTheNextOneWorks) {
    for (DWORD id = 1; id <= 300; ++id) {
        AddProcess(id, id == 300 ? "cl.exe" : "svc.exe");
    }
    fake::ScriptCounterValues({99.0, 99.0});
    fake::SetBeforeCall([](fake::Api api) {
        if (api != fake::Api::Sleep) {
            return;
        }
        // The first pass can offer 100 and 201 identifiers, but not 403.
        FailingSize = fake::CallCount(fake::Api::Sleep) == 1 ? 403 * sizeof(DWORD) : 0;
        if (fake::CallCount(fake::Api::Sleep) == 2) {
            StopRequested = true;
        }
    });
    Run([] { RunMonitorLoop(); });
    FailingSize = 0;
    EXPECT_EQ(err, "error: not enough memory for the process list\n");
    const std::vector<fake::Event> events = fake::Events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const fake::Event& event) {
        return event.type == EVENTLOG_ERROR_TYPE && event.id == 401 &&
               event.strings ==
                   std::vector<std::string>{"error: not enough memory for the process list"};
    }));
    EXPECT_EQ(fake::Sleeps().size(), 2u) << "a lost pass does not end the monitoring";
    EXPECT_EQ(fake::FindProcess(300)->priorityClass,
              static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
    EXPECT_EQ(fake::OpenedIds().size(), 301u)
        << "only the second pass reached the processes, and opened the compiler again to change it";
}

TEST_F(PidMemoryTest, FirstListThatCannotBeHadLosesThePass) {
    AddProcess(5, "cl.exe");
    fake::ScriptCounterValues({99.0});
    StopDuringSleep(1);
    FailingSize = 100 * sizeof(DWORD);
    Run([] { RunMonitorLoop(); });
    FailingSize = 0;
    EXPECT_EQ(err, "error: not enough memory for the process list\n");
    EXPECT_EQ(fake::CallCount(fake::Api::EnumProcesses), 0);
}

} // namespace
