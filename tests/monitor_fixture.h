// A fresh monitor over a fresh double for every test, with the code under test's output
// captured call by call, so assertion messages still reach the terminal.
#pragma once

#include "capture.h"
#include "cpu_load_sampler.h"
#include "failure_memory.h"
#include "fake_platform.h"
#include "local_timestamp.h"
#include "log_line.h"
#include "monitor.h"
#include "target_policy.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>

class MonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        CpuLoadSampler = CpuLoadSamplerState{};
        EventLog = EventLogState{};
        FailureMemory = FailureMemoryState{};
        StopRequested = false;
    }

    void TearDown() override {
        EXPECT_EQ(fake::HandlesStillOpen(), 0) << "a process handle was left open";
        EXPECT_TRUE(fake::HandleMisuse().empty()) << fake::HandleMisuse().front();
    }

    // Runs the code under test and keeps what it printed in out and err.
    void Run(const std::function<void()>& code) {
        OutputCapture capture;
        code();
        out += capture.Stdout();
        err += capture.Stderr();
    }

    static fake::Process& AddProcess(DWORD id, const std::string& name,
                                     DWORD priorityClass = NORMAL_PRIORITY_CLASS,
                                     DWORD_PTR processMask = 0) {
        fake::Process process;
        process.id = id;
        process.name = name;
        process.priorityClass = priorityClass;
        process.processMask = processMask;
        fake::Processes().push_back(process);
        return fake::Processes().back();
    }

    // Requests the stop while the loop sleeps for the n-th time, so exactly n passes run.
    static void StopDuringSleep(int n) {
        fake::SetBeforeCall([n](fake::Api api) {
            if (api == fake::Api::Sleep && fake::CallCount(fake::Api::Sleep) == n) {
                StopRequested = true;
            }
        });
    }

    std::string out;
    std::string err;
};
