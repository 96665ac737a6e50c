// The signed-package reader and the stamp and strip plans. The input is four
// control bytes, then a package file: control[0] bit 0 picks version 2 (else
// 1), control[1..3] are the icon's, the picture's and the parameters text's
// lengths; their bytes are made from the control bytes. For every package
// the reader takes:
// - strip(stamp(P, D)) is P as it was signed (P itself when P is unstamped),
//   and the stamp changes nothing in front of the signed table's end but the
//   security entry's size;
// - reading the stamped package back, with the reader and with the launcher's
//   own readers, gives D.
// Only PeFormatException may come out of the reader.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "Base64.h"
#include "ByteSource.h"
#include "FuzzCheck.h"
#include "ImageLayout.h"
#include "PackageTrailer.h"
#include "PeFormatException.h"
#include "SignedPackage.h"

using namespace qpk;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kControlSize = 4;

// count bytes from a small generator seeded by seed; text draws from the
// Base64 alphabet.
Bytes Made(std::size_t count, std::uint32_t seed, bool text) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    Bytes bytes(count);
    for (std::uint8_t& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = text ? static_cast<std::uint8_t>(kAlphabet[(seed >> 24) % 64]) : static_cast<std::uint8_t>(seed >> 24);
    }
    return bytes;
}

SignedPackage ReadBack(const Bytes& file) {
    MemorySource source(file);
    return ReadSignedPackage(source, file.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kControlSize) return 0;
    const Bytes file(data + kControlSize, data + size);
    SignedPackage package;
    try {
        package = ReadBack(file);
    } catch (const PeFormatException&) {
        return 0;
    }

    // What the reader promises about a package it takes.
    FUZZ_CHECK(package.signatureLength >= wincert::kHeaderSize);
    FUZZ_CHECK(package.signedTableSize >= package.signatureLength);
    FUZZ_CHECK(package.signedTableSize - package.signatureLength < wincert::kAlignment);
    FUZZ_CHECK(package.signedTableSize <= package.layout.certificateSize);
    FUZZ_CHECK(package.SignedEnd() <= file.size());
    FUZZ_CHECK(package.SizeFieldOffset() + 4 <= package.layout.certificateOffset);
    FUZZ_CHECK(package.Stamped() == (package.signedTableSize != package.layout.certificateSize));

    PerDownloadData stamp;
    stamp.version = (data[0] & 1) != 0 ? 2 : 1;
    const std::uint32_t seed = data[0] | (data[1] << 8) | (data[2] << 16) | (std::uint32_t{data[3]} << 24);
    if (stamp.version == 2) {
        stamp.icon = Made(data[1], seed, false);
        stamp.picture = Made(data[2], seed ^ 0x5A5A5A5A, false);
    }
    stamp.paramsText = Made(data[3], seed ^ 0xA5A5A5A5, true);
    const PerDownloadData expected = stamp;

    EditPlan plan;
    try {
        plan = PlanStamp(package, std::move(stamp));
    } catch (const PeFormatException&) {
        return 0;  // a package near 4 GiB, which a fuzzer input is not
    }
    const Bytes stamped = ApplyPlan(file, plan);

    // Nothing in front of the signed table's end changes but the size field.
    FUZZ_CHECK(stamped.size() >= package.SignedEnd());
    for (std::uint64_t at = 0; at < package.SignedEnd(); ++at) {
        if (at - package.SizeFieldOffset() < 4) continue;
        FUZZ_CHECK(stamped[static_cast<std::size_t>(at)] == file[static_cast<std::size_t>(at)]);
    }

    // Read back: the reader and the launcher's readers find the data.
    SignedPackage again;
    try {
        again = ReadBack(stamped);
    } catch (const PeFormatException&) {
        FUZZ_CHECK(!"a stamped package is read back");
    }
    FUZZ_CHECK(again.Stamped());
    FUZZ_CHECK(again.signatureLength == package.signatureLength);
    FUZZ_CHECK(again.signedTableSize == package.signedTableSize);
    FUZZ_CHECK(again.layout.certificateSize == plan.sizeFieldValue);
    FUZZ_CHECK(again.trailer->version == expected.version);
    FUZZ_CHECK(again.trailer->signatureSize == static_cast<std::int32_t>(package.signedTableSize));

    MemorySource source(stamped);
    const ImageLayout layout = ReadImageLayout(source, [&] { return stamped.size(); });
    const CertificateTable table{layout.certificateOffset, layout.certificateSize};
    std::int32_t version = 0;
    const Bytes params = ReadParams(source, table, version);
    FUZZ_CHECK(version == expected.version);
    FUZZ_CHECK(params == Base64Decode(std::string(expected.paramsText.begin(), expected.paramsText.end())));
    FUZZ_CHECK(ReadRegion(source, ParamsRegion(*again.trailer, table)) == expected.paramsText);
    if (expected.version == 2) {
        FUZZ_CHECK(ReadRegion(source, PictureRegion(*again.trailer, table)) == expected.picture);
        FUZZ_CHECK(ReadRegion(source, IconRegion(*again.trailer, table)) == expected.icon);
    }

    // strip(stamp(P, D)) is P as signed.
    const Bytes signedForm = ApplyPlan(file, PlanStrip(package));
    FUZZ_CHECK(ApplyPlan(stamped, PlanStrip(again)) == signedForm);
    if (!package.Stamped()) FUZZ_CHECK(signedForm == file);
    return 0;
}
