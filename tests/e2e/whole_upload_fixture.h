#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "binding/quorlin_binding.h"
#include "run/run_state.h"
#include "settings/settings_record.h"
#include "support/recording_operator_view.h"
#include "support/temp_folder.h"
#include "termsim.h"
#include "upload/upload_engine.h"
#include "upload_test_support.h"

// What every whole-upload test stands on: a program folder holding a copy of the real libquorlin.so,
// bound; settings for one port; a started run; and a stop button that a second thread presses, as the
// operator would, when the test's condition holds, or after a minute as the safety net against a run that
// never ends. The simulated terminal and the save folder belong to the tests, which differ in how they use
// them.
class WholeUploadFixture : public ::testing::Test {
protected:
    // Call under ASSERT_NO_FATAL_FAILURE: without the library there is nothing to test.
    void PrepareUpload(const std::string& saveFolder, int port) {
        ASSERT_FALSE(BinDir().empty()) << "GATHRA_BIN_DIR";
        ASSERT_TRUE(program.CopyLibrary(BinDir()));
        link = BindQuorlin(program.Path());
        ASSERT_NE(link, nullptr);

        SetUploadDefaults(settings, saveFolder, program.Path() + "/Back.txt", port);
        run.IsRunning = true;
    }

    // An empty record of what the operator saw, keeping the test's status hook.
    void FreshView() {
        RecordingOperatorView fresh;
        fresh.OnStatus = view.OnStatus;
        view = fresh;
    }

    // One run from the port line to the final reply, the safety net's minute counted from now.
    RunOutcome RunUploadWith(PcClock clock = SystemClock) {
        started = std::chrono::steady_clock::now();
        std::atomic<bool> over = false;
        std::thread stopButton([this, &over] {
            while (!over) {
                const bool overdue = std::chrono::steady_clock::now() - started > std::chrono::seconds(60);
                if (run.IsRunning && (overdue || (stopWhen && stopWhen()))) {
                    PressStop();
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
        UploadContext context{settings, run, view, link, std::move(clock)};
        int ended = 0;  // uploads that had their final answer
        context.UploadEnded = [&](const UploadResult& report) {
            if (uploadEnded) {
                uploadEnded(report);
            }
            if (++ended == stopAfterUpload) {
                PressStop();
            }
        };
        context.WaitingForTerminal = [&] {
            if (ended == stopWhenWaitingAfter) {
                PressStop();
            }
        };
        const RunOutcome outcome = RunUpload(context);
        over = true;
        stopButton.join();
        return outcome;
    }

    void PressStop() {
        // StopRequested first: once the engine sees IsRunning false, it must find the request.
        run.StopRequested = true;
        run.IsRunning = false;
    }

    TempFolder program;
    const LinkApi* link = nullptr;
    SettingsRecord settings;
    RunState run;
    RecordingOperatorView view;
    // The test's stop condition, checked every few milliseconds on the stop button's thread while the run
    // goes on: it reads only what that thread may read then (the simulator, atomics).
    std::function<bool()> stopWhen;
    // Told of each upload's end, on the engine's thread (the journal's follow-up, in its tests).
    std::function<void(const UploadResult&)> uploadEnded;
    // Stop pressed on the engine's thread in the instant a test means: as the Nth upload (from 1) ends,
    // before the automatic restart waits; or as the engine begins to wait once N uploads have ended.
    int stopAfterUpload = -1;
    int stopWhenWaitingAfter = -1;
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
};
