#pragma once

// Packages for the end-to-end tests: the built programs, signing with the test
// certificate, and stamping through the format code's plans, as qpk does.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;

// Signs in with osslsigncode and the test certificate; returns the output path.
fs::path Sign(const fs::path& in, const fs::path& out);

// Built programs.
fs::path LauncherImage();
fs::path ProbeInstaller();

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

}  // namespace e2e
