#include "FileSource.h"
#include "FileWriter.h"
#include "PackageTrailer.h"
#include "PeReader.h"

namespace qpk {

namespace {

using RegionOf = Region (*)(const PackageTrailer&, const CertificateTable&);

// Reads the trailer, checks and reads the blob, and only then writes it out.
bool ExtractBlob(const PeReader& reader, RegionOf regionOf, const std::wstring& to, const char* context) {
    const CertificateTable table{reader.certificateOffset, reader.certificateSize};
    std::vector<std::uint8_t> blob;
    {
        FileSource file(reader.path);
        const Region region = regionOf(ReadTrailer(file, table), table);
        if (region.size == 0) return false;
        blob = ReadRegion(file, region);
    }  // the own file is closed before the output is written
    WriteWholeFile(to, blob, context);
    return true;
}

}  // namespace

std::vector<std::uint8_t> PeReader::ReadData(std::int32_t& version) const {
    FileSource file(path);
    return ReadParams(file, {certificateOffset, certificateSize}, version);
}

void PeReader::WriteParams(std::int32_t& version, const std::wstring& paramsPath) const {
    WriteWholeFile(paramsPath, ReadData(version), "Failed to write installer parameters");
}

bool PeReader::ExtractPicture(const std::wstring& picturePath) const {
    return ExtractBlob(*this, PictureRegion, picturePath, "Failed to write picture");
}

bool PeReader::ExtractIco(const std::wstring& iconPath) const {
    return ExtractBlob(*this, IconRegion, iconPath, "Failed to write icon");
}

}  // namespace qpk
