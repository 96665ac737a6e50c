#include "WineRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <thread>

#include "Bytes.h"
#include "Packages.h"

namespace e2e {

namespace {

// Processes with an argument equal to mark. Wine puts a program's Windows path
// first; under an emulator the emulator and Wine's loader come before it.
std::vector<pid_t> ProcessesWith(const std::string& mark) {
    std::vector<pid_t> found;
    if (mark.empty()) return found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream file(entry.path() / "cmdline", std::ios::binary);
        std::string argument;
        while (std::getline(file, argument, '\0')) {
            if (argument == mark) {
                found.push_back(static_cast<pid_t>(std::stol(name)));
                break;
            }
        }
    }
    return found;
}

// Deletes the first .exe file closed after writing in folder, until stopped.
class CopyRemover {
public:
    explicit CopyRemover(const fs::path& folder) : folder_(folder), watch_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (watch_ < 0 || inotify_add_watch(watch_, folder.c_str(), IN_CLOSE_WRITE) < 0)
            throw std::runtime_error("cannot watch " + folder.string());
        thread_ = std::thread([this] { Watch(); });
    }
    ~CopyRemover() {
        stop_ = true;
        thread_.join();
        close(watch_);
    }
    CopyRemover(const CopyRemover&) = delete;
    CopyRemover& operator=(const CopyRemover&) = delete;

private:
    void Watch() {
        alignas(inotify_event) char buffer[4096];
        while (!stop_) {
            pollfd ready = {watch_, POLLIN, 0};
            if (poll(&ready, 1, 20) <= 0) continue;
            const ssize_t length = read(watch_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                const std::string name = event->len ? event->name : "";
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0) {
                    fs::remove(folder_ / name);
                    return;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    fs::path folder_;
    int watch_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string FormatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

// The median of three trivial runs, each allowed a generous fixed limit.
double MeasureTrivialRun() {
    RunOptions options;
    options.hangLimit = {300, 0};
    std::vector<double> seconds;
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const RunResult result = RunProgram(ProbeInstaller(), options);
        if (result.status != 0)
            throw std::runtime_error("the calibration run failed with status " + std::to_string(result.status) + ": " +
                                     result.log.substr(0, 2000));
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[1];
}

std::uint64_t PeakMemoryKiB(pid_t process) {
    std::ifstream status("/proc/" + std::to_string(process) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6));
    return 0;
}

}  // namespace

double Calibrate() {
    const fs::path file = fs::path(QPK_E2E_WORK) / "calibration";
    const double value = MeasureTrivialRun();
    const fs::path temporary = file.string() + "." + std::to_string(getpid());
    std::ofstream(temporary) << value << "\n";
    fs::rename(temporary, file);
    return value;
}

double CalibratedRunSeconds() {
    static const double seconds = [] {
        double value = 0;
        if (std::ifstream in(fs::path(QPK_E2E_WORK) / "calibration"); in >> value && value > 0) return value;
        return Calibrate();
    }();
    return seconds;
}

double Seconds(const HangLimit& limit) {
    if (limit.factor == 0) return limit.floorSeconds;
    return std::max(limit.floorSeconds, limit.factor * CalibratedRunSeconds());
}

std::string Describe(const HangLimit& limit) {
    if (limit.factor == 0) return "the fixed limit of " + FormatSeconds(limit.floorSeconds);
    char factor[16];
    std::snprintf(factor, sizeof factor, "%g", limit.factor);
    return "the hang limit of " + FormatSeconds(Seconds(limit)) + " = max(" + FormatSeconds(limit.floorSeconds) + ", " +
           factor + " x the calibrated trivial run of " + FormatSeconds(CalibratedRunSeconds()) + ")";
}

std::string WindowsPath(const fs::path& path) {
    std::string text = "Z:" + fs::absolute(path).lexically_normal().string();
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

RunResult RunProgram(const fs::path& program, const RunOptions& options) {
    // Before the run: the limit may have to run the calibration first.
    const double limitSeconds = Seconds(options.hangLimit);
    const fs::path logPath = fs::path(QPK_E2E_WORK) / ("run-" + std::to_string(getpid()) + ".log");
    std::vector<std::string> env = {
        "WINEPREFIX=" QPK_WINE_PREFIX,
        "WINEDEBUG=+relay",
        "WINEDLLOVERRIDES=mscoree,mshtml=",
        "LC_ALL=C.UTF-8",
        "PATH=/usr/bin:/bin",
        "HOME=" + std::string(getenv("HOME") ? getenv("HOME") : "/root"),
        "USER=" + std::string(getenv("USER") ? getenv("USER") : "root"),
        "SPAWN_COMMAND=\"" + WindowsPath(program) + "\" " + options.tail,
    };
    if (!options.tempDir.empty()) env.push_back("SPAWN_TEMP=" + WindowsPath(options.tempDir) + "\\");
    if (!options.recordDir.empty()) env.push_back("PROBE_RECORD=" + WindowsPath(options.recordDir));
    if (!options.probeExit.empty()) env.push_back("PROBE_EXIT=" + options.probeExit);
    if (!options.probeMode.empty()) env.push_back("PROBE_MODE=" + options.probeMode);
    if (options.lockProgram) env.push_back("SPAWN_LOCK=" + WindowsPath(program));
    std::vector<char*> envp;
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string wine = "wine", spawn = QPK_SPAWN_EXE;
    char* argv[] = {wine.data(), spawn.data(), nullptr};

    std::optional<CopyRemover> remover;
    if (options.deleteCopyOnceWritten) remover.emplace(options.tempDir);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(log, 1);
        dup2(log, 2);
        if (options.fileSizeLimit != 0) {
            // Writes past the limit then fail with EFBIG instead of killing the process.
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit = {options.fileSizeLimit, options.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        execvpe("wine", argv, envp.data());
        _exit(127);
    }
    RunResult result;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration<double>(limitSeconds);
    const std::string launcherMark = WindowsPath(program);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (options.measureLauncher)
            for (const pid_t process : ProcessesWith(launcherMark))
                result.launcherPeakKiB = std::max(result.launcherPeakKiB, PeakMemoryKiB(process));

        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.timedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (result.timedOut)
        ADD_FAILURE() << "killed " << program.filename().string() << " with tail \"" << options.tail << "\" after "
                      << FormatSeconds(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count())
                      << ": it passed " << Describe(options.hangLimit);
    else if (WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    const std::vector<std::uint8_t> log = ReadBytes(logPath);
    result.log.assign(log.begin(), log.end());
    fs::remove(logPath);
    result.boxes = ParseBoxes(result.log);
    return result;
}

std::string SystemMessage(std::uint32_t code) {
    const fs::path folder = fs::path(QPK_E2E_WORK) / ("message-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const fs::path text = folder / (std::to_string(code) + ".txt");
    RunOptions options;
    options.tail = std::to_string(code) + " \"" + WindowsPath(text) + "\"";
    const RunResult result = RunProgram(QPK_MESSAGE_EXE, options);
    if (result.status != 0) throw std::runtime_error("no system text for code " + std::to_string(code));
    const std::string message = ReadUtf16File(text);
    fs::remove_all(folder);
    return message;
}

fs::path TestFolder() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (c == '/') c = '_';
    const fs::path folder = fs::path(QPK_E2E_WORK) / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

RunOptions OptionsIn(const fs::path& folder) {
    RunOptions options;
    options.tempDir = folder / "temp";
    options.recordDir = folder / "record";
    fs::create_directories(options.tempDir);
    fs::create_directories(options.recordDir);
    return options;
}

}  // namespace e2e
