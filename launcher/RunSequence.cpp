#include "RunSequence.h"

#include <windows.h>
#include <shellapi.h>

#include <system_error>

#include "LocalMemory.h"
#include "Process.h"
#include "TempPaths.h"
#include "PeReader.h"
#include "Failures.h"

namespace qpk {

namespace {

// True when argument starts with prefix (an exact, case-sensitive comparison).
bool StartsWith(const std::wstring& argument, const std::wstring& prefix) {
    return argument.compare(0, prefix.size(), prefix) == 0;
}

// One generated argument: switch, quoted path, blank.
std::wstring Part(const wchar_t* name, const std::wstring& path) { return name + (L"\"" + path + L"\" "); }

// Stages of one run, in order. options is filled by the switch scan, so the
// handlers see "/S" once it was found.
int RunStages(const wchar_t* tail, LaunchOptions& options) {
    const std::vector<std::wstring> arguments = SplitCommandLine(tail);
    options = ScanSwitches(arguments);
    const std::wstring ownPath = GetExecutablePath();
    const std::wstring ownName = GetFileName(ownPath);
    const std::wstring installerPath = MakeTempFilePath(ownName);
    const PeReader reader(ownPath);
    reader.ExtractInstaller(installerPath);

    std::wstring installerArguments;
    const std::wstring paramsPath = MakeTempFilePath(L"InstallerParams.json");
    std::int32_t packageVersion = 0;
    reader.WriteParams(packageVersion, paramsPath);  // also when "/pi=" was given
    if (!options.paramsGiven) installerArguments += Part(L"/pi=", paramsPath);
    if (!options.pictureGiven && packageVersion == 2) {
        const std::wstring picturePath = MakeTempFilePath(L"picture.bmp");
        if (reader.ExtractPicture(picturePath)) installerArguments += Part(L"/pic=", picturePath);
    }
    if (!options.iconGiven && packageVersion == 2) {
        const std::wstring iconPath = MakeTempFilePath(L"ico.ico");
        if (reader.ExtractIco(iconPath)) installerArguments += Part(L"/ico=", iconPath);
    }
    if (tail != nullptr) installerArguments += tail;

    std::uint32_t exitCode = 0;
    {
        CProcess process(installerPath);
        exitCode = process.Run(installerArguments);
    }  // the copy is deleted here
    return exitCode == 0 ? 0 : 1;
}

}  // namespace

std::vector<std::wstring> SplitCommandLine(const wchar_t* tail) {
    std::vector<std::wstring> arguments;
    if (tail == nullptr || *tail == L'\0') return arguments;
    int count = 0;
    const LocalPtr<LPWSTR> argv(CommandLineToArgvW(tail, &count));
    if (!argv) ThrowLastError("Failed to parse command line");
    for (int i = 0; i < count; ++i) arguments.emplace_back(argv.get()[i]);
    return arguments;
}

LaunchOptions ScanSwitches(const std::vector<std::wstring>& arguments) {
    LaunchOptions options;
    for (const std::wstring& argument : arguments) {
        if (argument == L"/S")
            options.silent = true;
        else if (StartsWith(argument, L"/pi="))
            options.paramsGiven = true;
        else if (StartsWith(argument, L"/ico="))
            options.iconGiven = true;
        else if (StartsWith(argument, L"/pic="))
            options.pictureGiven = true;
    }
    return options;
}

int RunLauncher(const wchar_t* tail) {
    LaunchOptions options;
    try {
        return RunStages(tail, options);
    } catch (const std::system_error& error) {
        if (!options.silent) {
            const std::wstring text = SystemMessageText(static_cast<std::uint32_t>(error.code().value()));
            MessageBoxW(nullptr, text.c_str(), kFailureCaptionWide, MB_ICONERROR);
        }
        return 1;
    } catch (const std::exception& error) {
        if (!options.silent) MessageBoxA(nullptr, error.what(), kFailureCaption, MB_ICONERROR);
        return 1;
    }
}

}  // namespace qpk
