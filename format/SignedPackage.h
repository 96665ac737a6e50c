#pragma once

// A signed package as the package tool edits it: the launcher's layout, the
// signature entry (WIN_CERTIFICATE) at the start of the certificate table, and
// the per-download data behind it, if any. Also the pure planning of the edits
// (build, stamp, strip) and the byte ranges the Authenticode image hash covers.
// Portable: no file system, no platform calls; files are read through
// ByteSource.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ByteSource.h"
#include "ImageLayout.h"
#include "PackageTrailer.h"

namespace qpk {

// The WIN_CERTIFICATE header in front of the PKCS #7 signature.
namespace wincert {
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kLengthOffset = 0;
constexpr std::size_t kRevisionOffset = 4;
constexpr std::size_t kTypeOffset = 6;
constexpr std::uint16_t kRevision2 = 0x0200;          // WIN_CERT_REVISION_2_0
constexpr std::uint16_t kTypePkcsSignedData = 0x0002;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
// The table is aligned to 8 bytes; some signing tools leave the 1 to 7 zero
// bytes that align the entry out of its dwLength.
constexpr std::uint32_t kAlignment = 8;
}  // namespace wincert

// A signed package, read once.
struct SignedPackage {
    PeHeaders headers;
    ImageLayout layout;     // as the launcher locates image, payload and table
    std::uint64_t fileSize = 0;
    std::uint32_t signatureLength = 0;  // the WIN_CERTIFICATE's dwLength
    // The certificate table as it was signed: the signature entry and the zero
    // bytes that align it. Equals the table size when nothing is stamped.
    std::uint32_t signedTableSize = 0;
    std::optional<PackageTrailer> trailer;  // present when per-download data is stamped

    CertificateTable Table() const { return {layout.certificateOffset, layout.certificateSize}; }
    bool Stamped() const { return trailer.has_value(); }
    // File offset of the end of the signed table.
    std::uint64_t SignedEnd() const { return std::uint64_t{layout.certificateOffset} + signedTableSize; }
    // File offset of the security entry's Size field, which stamping changes.
    std::uint64_t SizeFieldOffset() const { return SecurityEntryPosition(headers.lfanew) + 4; }
    // File offset of the optional header's CheckSum field.
    std::uint64_t CheckSumOffset() const { return static_cast<std::uint64_t>(headers.lfanew) + pe::kCheckSumOffset; }
};

// Reads the headers once and checks, in this order: the launcher's layout rules
// (its messages, see ReadImageLayout); that the certificate table starts behind
// the section table, and every section's raw data in front of the table (else
// stamping would change which sections the launcher counts); the
// WIN_CERTIFICATE (revision 0x0200, type 2, and
// 8 <= dwLength <= table size); then what follows dwLength: nothing, or 1 to 7
// zero bytes (an unstamped package), or per-download data closed by a trailer
// whose signatureSize covers dwLength and only zero bytes behind it. Does not
// check the per-download data itself (see the launcher's ReadParams and the
// region functions). Raises PeFormatException.
SignedPackage ReadSignedPackage(ByteSource& file, std::uint64_t fileSize);

// The per-download data to stamp.
struct PerDownloadData {
    std::int32_t version = 1;
    std::vector<std::uint8_t> paramsText;  // stored as it is: the caller checks it is Base64
    std::vector<std::uint8_t> picture;
    std::vector<std::uint8_t> icon;
};

// An edit of a package file: the output is the input's bytes [0, keep), with
// the 32-bit little-endian field at sizeFieldOffset set to sizeFieldValue,
// followed by the pieces of tail in order.
struct EditPlan {
    std::uint64_t keep = 0;
    std::uint64_t sizeFieldOffset = 0;
    std::uint32_t sizeFieldValue = 0;
    std::vector<std::vector<std::uint8_t>> tail;

    // Size of the output in bytes.
    std::uint64_t OutputSize() const;
};

// The stamp of data onto the package as it was signed (earlier per-download
// data is dropped): the signed bytes kept, the table size raised by the blobs
// and the trailer, which go behind the signed table (version 2: icon, picture,
// text; version 1: the text). Takes the data's bytes over. Raises
// PeFormatException for a version other than 1 and 2, a picture or icon in a
// version 1 package, a blob over 20 MiB, or a result of 4 GiB or more.
EditPlan PlanStamp(const SignedPackage& package, PerDownloadData data);

// The package as it was signed: per-download data removed, the table size set
// back. For an unstamped package, the file unchanged.
EditPlan PlanStrip(const SignedPackage& package);

// The first bytes of a plan's output: [0, sizeFieldOffset + 4) of the input with
// the size field set. The rest of the kept bytes follow unchanged. Raises
// PeFormatException when the file ends before the field.
std::vector<std::uint8_t> PlannedHead(ByteSource& file, const EditPlan& plan);

// The whole output of a plan over a file in memory. Raises PeFormatException
// when the file is shorter than the plan keeps.
std::vector<std::uint8_t> ApplyPlan(const std::vector<std::uint8_t>& file, const EditPlan& plan);

// What `build` appends, and the sizes it must stay within.
struct BuildPlan {
    std::uint32_t padding = 0;  // zero bytes behind the payload, on request
    // Zero bytes a signing tool will add to align the certificate table (0 when
    // the package ends aligned, with or without padding).
    std::uint32_t alignmentGap = 0;
};

// Room that `build` leaves for what comes after it: a signature entry of up
// to 1 MiB and the largest per-download data the launcher accepts.
constexpr std::uint64_t kSignatureAllowance = 1u << 20;
constexpr std::uint64_t kLargestPerDownloadData =
    3 * std::uint64_t{trailer::kMaxBlobSize} + trailer::kVersion2Size;

// Checks that a launcher image ending at imageEnd followed by a payload of
// payloadSize bytes gives a package the launcher accepts once it is signed and
// stamped: the payload, with the alignment zeros signing adds, at most
// 2,147,483,647 bytes, and the whole with its allowances below 4 GiB. pad asks
// for the alignment zeros to be appended now. Raises PeFormatException with
// the reason.
BuildPlan PlanBuild(std::uint64_t imageEnd, std::uint64_t payloadSize, bool pad);

// A byte range [offset, offset + size) of a file.
struct ByteRange {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// The ranges the Authenticode image hash covers, in file order: everything in
// front of the certificate table except the CheckSum field and the security
// entry.
std::vector<ByteRange> AuthenticodeRanges(const SignedPackage& package);

}  // namespace qpk
