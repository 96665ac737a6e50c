#include "LauncherVerdict.h"

#include "PackageTrailer.h"
#include "PeFormatException.h"

namespace qpk {

LauncherVerdict JudgeAsLauncher(ByteSource& file, std::uint64_t fileSize, bool pictureGiven, bool iconGiven) {
    LauncherVerdict verdict;
    try {
        verdict.layout = ReadImageLayout(file, [fileSize] { return fileSize; });
        const CertificateTable table{verdict.layout->certificateOffset, verdict.layout->certificateSize};
        std::int32_t version = 0;
        ReadParams(file, table, version);
        if (version == 2) {
            // Each step reads the trailer again, as the launcher's do.
            if (!pictureGiven) PictureRegion(ReadTrailer(file, table), table);
            if (!iconGiven) IconRegion(ReadTrailer(file, table), table);
        }
    } catch (const PeFormatException& error) {
        verdict.message = error.what();
    }
    return verdict;
}

}  // namespace qpk
