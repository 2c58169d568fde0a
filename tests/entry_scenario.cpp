// Scripts the double before main runs, from OSTREVANE_TEST_SCENARIO, so the real entry point can
// be run as a whole process and judged by its exit status and output.
#include "fake_platform.h"
#include "monitor.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Scenario {
    Scenario() {
        const char* name = std::getenv("OSTREVANE_TEST_SCENARIO");
        if (name == nullptr) {
            return;
        }
        if (strcmp(name, "no-scm") == 0) {
            fake::FailCall(fake::Api::StartServiceCtrlDispatcherA, 1);
        } else if (strcmp(name, "stop-in-first-sleep") == 0) {
            fake::ScriptCounterValues({42.0});
            fake::SetBeforeCall([](fake::Api api) {
                if (api == fake::Api::Sleep) {
                    fake::SendControl(SERVICE_CONTROL_STOP);
                }
            });
        }
    }
} TheScenario;

} // namespace
