#pragma once

// Runs the real launcher under Wine and shows what a user would see: the exit
// status, the message boxes (from Wine's relay trace), and the files left.

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

// One MessageBoxA/MessageBoxW call, its texts in UTF-8.
struct Box {
    std::string function;
    std::string text;
    std::string caption;
    std::uint32_t style = 0;
};

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

// True when Wine reported an unhandled exception of some process in the log.
bool CrashReported(const std::string& log);

// Parses the MessageBox calls out of a relay trace.
std::vector<Box> ParseBoxes(const std::string& log);

std::vector<std::uint8_t> ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes);
std::string ReadUtf16File(const fs::path& path);  // as UTF-8

// Signs in with osslsigncode and the test certificate; returns the output path.
fs::path Sign(const fs::path& in, const fs::path& out);

// Built programs.
fs::path LauncherImage();
fs::path ProbeInstaller();

// A fresh, empty folder for the running test.
fs::path TestFolder();

// A signed package: launcher image, then payload, then the signature.
fs::path BuildSignedPackage(const fs::path& folder, const std::vector<std::uint8_t>& payload,
                            const std::string& name = "setup.exe");

// Per-download data to stamp into a signed package.
struct StampData {
    std::string paramsText;  // the Base64 text as stored
    std::vector<std::uint8_t> picture;
    std::vector<std::uint8_t> icon;
    int version = 2;
};

// Appends the blobs and the trailer behind the signature entry of a signed
// package and raises the security entry's size; nothing else changes. Uses the
// format code's stamp plan, as qpk does; a version 1 stamp leaves the picture
// and the icon out. Raises PeFormatException as ReadSignedPackage and
// PlanStamp do.
void Stamp(const fs::path& package, const StampData& data);

// A signed and stamped package around the payload.
fs::path BuildPackage(const fs::path& folder, const std::vector<std::uint8_t>& payload, const StampData& data,
                      const std::string& name = "setup.exe");

// Options for a run from folder: its own temporary folder (folder/temp) and
// probe record folder (folder/record), both created.
RunOptions OptionsIn(const fs::path& folder);

// A regular expression matching a 36-character GUID text, as one group.
constexpr const char* kGuidPattern = "([0-9a-f]{8}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{4}_[0-9a-f]{12})";

// text as a regular expression that matches it literally.
std::string RegexLiteral(const std::string& text);

// The files in folder, by name.
std::vector<std::string> FileNames(const fs::path& folder);

constexpr const char* kCaption = "Error while running installer";
constexpr std::uint32_t kErrorIcon = 0x10;

// True when the relay trace shows the launcher's first traced call (its DLL
// search restriction): the trace works, so a list without boxes means none.
bool LauncherTraced(const std::string& log);

// A run of the launcher that showed no box, proven by a working trace.
void ExpectNoBox(const RunResult& result);

// A failed run as the user sees it: status 1 and exactly one error box, shown
// with function ("MessageBoxA" or "MessageBoxW") and the launcher's caption,
// holding text (any non-empty text when text is empty).
void ExpectFailureBox(const RunResult& result, const std::string& function, const std::string& text = "");

}  // namespace e2e
