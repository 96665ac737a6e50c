#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ImageLayout.h"

namespace qpk {

// The launcher's own file, validated: where the payload and the certificate
// table lie. Holds no file open; each operation opens the file anew.
class PeReader {
public:
    // Reads and checks the headers of the file at path and locates the payload.
    // Raises PeFormatException for a malformed file and a system error when the
    // file size cannot be queried.
    explicit PeReader(const std::wstring& path);

    // A reader over path with a layout the caller already knows; checks nothing.
    PeReader(const std::wstring& path, const ImageLayout& layout);

    virtual ~PeReader() = default;

    // Copies the payload to installerPath (created, or truncated when it exists)
    // through one 1 MiB buffer. Raises a system error "Failed to extract the
    // installer" when a file cannot be opened, a read or write fails, or the
    // source ends before payloadSize bytes were copied.
    void ExtractInstaller(const std::wstring& installerPath) const;

    // The decoded parameters. version receives the package version as soon as
    // the trailer's magic matched. Raises PeFormatException for a package
    // without a valid trailer or with a parameters region out of bounds.
    std::vector<std::uint8_t> ReadData(std::int32_t& version) const;

    // ReadData, then writes the parameters to paramsPath. Raises as ReadData
    // (before any file is touched), and a system error "Failed to write
    // installer parameters" when the file cannot be written.
    void WriteParams(std::int32_t& version, const std::wstring& paramsPath) const;

    // Writes the picture (icon) blob to the path and returns true; returns false
    // and touches nothing when the blob is empty. Raises PeFormatException for
    // a package that is not version 2 or a blob out of bounds, and a system
    // error "Failed to write picture" ("Failed to write icon").
    bool ExtractPicture(const std::wstring& picturePath) const;
    bool ExtractIco(const std::wstring& iconPath) const;

    const std::wstring path;
    const std::uint32_t certificateOffset;
    const std::uint32_t certificateSize;
    const std::uint32_t payloadOffset;
    const std::int32_t payloadSize;
};

// Size of the file at path from the file system. Raises a system error "Failed
// to open current executable file" or "Failed get file size".
std::uint64_t QueryFileSize(const std::wstring& path);

}  // namespace qpk
