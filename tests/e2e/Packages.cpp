#include "Packages.h"

#include <cstdlib>
#include <stdexcept>

#include "ByteSource.h"
#include "Bytes.h"
#include "SignedPackage.h"

using namespace qpk;

namespace e2e {

fs::path Sign(const fs::path& in, const fs::path& out) {
    const std::string keys = QPK_E2E_KEYS;
    const std::string command = "osslsigncode sign -certs '" + keys + "/cert.pem' -key '" + keys + "/key.pem' -in '" +
                                in.string() + "' -out '" + out.string() + "' >/dev/null 2>&1";
    fs::remove(out);
    if (std::system(command.c_str()) != 0) throw std::runtime_error("signing failed: " + in.string());
    return out;
}

fs::path LauncherImage() { return QPK_LAUNCHER_EXE; }
fs::path ProbeInstaller() { return QPK_PROBE_EXE; }

fs::path BuildSignedPackage(const fs::path& folder, const std::vector<std::uint8_t>& payload, const std::string& name) {
    std::vector<std::uint8_t> bytes = ReadBytes(LauncherImage());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    const fs::path unsigned_ = folder / (name + ".unsigned");
    WriteBytes(unsigned_, bytes);
    Sign(unsigned_, folder / name);
    fs::remove(unsigned_);
    return folder / name;
}

void Stamp(const fs::path& package, const StampData& data) {
    const std::vector<std::uint8_t> bytes = ReadBytes(package);
    MemorySource source(bytes);
    PerDownloadData perDownload;
    perDownload.version = data.version;
    perDownload.paramsText.assign(data.paramsText.begin(), data.paramsText.end());
    if (data.version == 2) {  // a version 1 package carries neither
        perDownload.picture = data.picture;
        perDownload.icon = data.icon;
    }
    const EditPlan plan = PlanStamp(ReadSignedPackage(source, bytes.size()), std::move(perDownload));
    WriteBytes(package, ApplyPlan(bytes, plan));
}

fs::path BuildPackage(const fs::path& folder, const std::vector<std::uint8_t>& payload, const StampData& data,
                      const std::string& name) {
    const fs::path package = BuildSignedPackage(folder, payload, name);
    Stamp(package, data);
    return package;
}

}  // namespace e2e
