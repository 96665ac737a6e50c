#pragma once

// Runs Windows programs under Wine in this build's prefix, with the relay trace
// on, hang limits that follow the host's speed, and faults to order.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "RelayTrace.h"

namespace e2e {

namespace fs = std::filesystem;

struct RunResult {
    int status = -1;  // exit status, -1 when killed or timed out
    bool timedOut = false;
    std::vector<Box> boxes;
    std::string log;  // Wine's standard error
    std::uint64_t launcherPeakKiB = 0;  // VmHWM of the launcher's process, when measured
};

// How long a run may take before it counts as hung: floorSeconds, or factor
// times the calibrated trivial run, whichever is longer. The floor catches a
// hang within seconds where Wine starts fast; the factor keeps a slow start (a
// loaded or emulated host) from being called a hang.
struct HangLimit {
    double floorSeconds = 60;
    double factor = 40;
};

// Seconds that a trivial run takes on this host: Wine starting spawn.exe, which
// starts the probe installer, traced as every run is. Measured once per test
// run (the "calibration" fixture, or the first caller when that did not run)
// and kept in the work folder. Raises std::runtime_error when the run fails.
double CalibratedRunSeconds();

// Measures the trivial run again and keeps the result for this test run;
// returns its seconds. Raises std::runtime_error when the run fails.
double Calibrate();

// The limit in seconds.
double Seconds(const HangLimit& limit);

// What the limit is and how it was derived, for messages.
std::string Describe(const HangLimit& limit);

struct RunOptions {
    std::string tail;       // the exact command-line tail, UTF-8
    fs::path tempDir;       // the launcher's temporary folder
    fs::path recordDir;     // where the probe installer records what it got
    std::string probeExit;  // the probe's exit code
    std::string probeMode;  // "crash" and the like
    std::uint64_t fileSizeLimit = 0;  // RLIMIT_FSIZE in bytes, 0 for none
    HangLimit hangLimit;  // a run past it is killed and reported as a test failure
    bool lockProgram = false;      // another process holds the program's file open, denying writes
    bool measureLauncher = false;  // sample the launcher's peak memory while it runs
    // Delete the installer copy (an .exe in tempDir) as soon as it has been written
    // and closed, as a scanner quarantining it would: the start then finds no file.
    bool deleteCopyOnceWritten = false;
};

// The Wine path (Z:\...) of a host path.
std::string WindowsPath(const fs::path& path);

// Starts program with the tail as its exact command line and waits for it, at
// most options.hangLimit (then it is killed, and the test fails saying so).
RunResult RunProgram(const fs::path& program, const RunOptions& options);

// The system's text for a Win32 error code, as FormatMessageW gives it in this
// build's Wine prefix (line break included), in UTF-8. Raises
// std::runtime_error when the system has none.
std::string SystemMessage(std::uint32_t code);

// A fresh, empty folder for the running test.
fs::path TestFolder();

// Options for a run from folder: its own temporary folder (folder/temp) and
// probe record folder (folder/record), both created.
RunOptions OptionsIn(const fs::path& folder);

}  // namespace e2e
