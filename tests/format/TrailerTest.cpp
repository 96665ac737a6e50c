#include "PackageTrailer.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "Base64.h"
#include "LittleEndian.h"
#include "PeFormatException.h"

using namespace qpk;

namespace {

using namespace trailer_messages;
using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A package file in memory: filler up to the table, then the table.
struct Package {
    static constexpr std::uint32_t kTableOffset = 0x200;
    Bytes file;

    explicit Package(const Bytes& table) : file(Concat({Bytes(kTableOffset, 0xEE), table})) {}
    CertificateTable Table() const { return {kTableOffset, static_cast<std::uint32_t>(file.size() - kTableOffset)}; }
};

// A version 2 table: signature entry, icon, picture, text, trailer.
Bytes Version2Table(const Bytes& signature, const Bytes& icon, const Bytes& picture, const Bytes& text) {
    PackageTrailer t;
    t.iconSize = static_cast<std::int32_t>(icon.size());
    t.pictureSize = static_cast<std::int32_t>(picture.size());
    t.paramsSize = static_cast<std::int32_t>(text.size());
    t.signatureSize = static_cast<std::int32_t>(signature.size());
    t.version = 2;
    return Concat({signature, icon, picture, text, EncodeTrailer(t)});
}

// What an operation gave: its bytes, or the message it raised.
struct Outcome {
    std::string message;
    Bytes bytes;
};

Outcome Params(const Package& package, std::int32_t& version) {
    MemorySource source(package.file);
    try {
        return {"", ReadParams(source, package.Table(), version)};
    } catch (const PeFormatException& error) {
        return {error.what(), {}};
    }
}

Outcome Blob(const Package& package, Region (*regionOf)(const PackageTrailer&, const CertificateTable&)) {
    MemorySource source(package.file);
    try {
        return {"", ReadRegion(source, regionOf(ReadTrailer(source, package.Table()), package.Table()))};
    } catch (const PeFormatException& error) {
        return {error.what(), {}};
    }
}

TEST(Trailer, Version1ExamplePackage) {
    // Signature entry of 10,416 bytes, a 376-character text, the 16-byte trailer
    // at table offset 10,792, written out byte by byte.
    Bytes json = Text(R"({"ResellerId":"1","ResellerName":"R","OwnerId":"2","CompanyName":"C","ProductName":"P",)"
                      R"("CompanyDisplayName":"CD","ProductDisplayName":"PD"})");
    json.resize(282, ' ');
    const Bytes text = Text(Base64Encode(json));
    ASSERT_EQ(text.size(), 376u);
    const Bytes trailer = {0x78, 0x01, 0x00, 0x00, 0xB0, 0x28, 0x00, 0x00,
                           0x01, 0x00, 0x00, 0x00, 'Q',  'P',  'I',  'C'};
    const Package package(Concat({Bytes(10416, 0x30), text, trailer}));
    ASSERT_EQ(package.Table().size, 10808u);
    std::int32_t version = 0;
    const Outcome outcome = Params(package, version);
    EXPECT_EQ(outcome.message, "");
    EXPECT_EQ(version, 1);
    EXPECT_EQ(outcome.bytes, json);
    // The 8 bytes at T - 24 are text, read as icon and picture sizes and ignored.
    EXPECT_EQ(Blob(package, IconRegion).message, kIconVersion);
    EXPECT_EQ(Blob(package, PictureRegion).message, kPictureVersion);
}

TEST(Trailer, Version2LiteralBytes) {
    const Bytes trailer = {0x03, 0, 0, 0, 0x05, 0, 0, 0, 0x04, 0, 0, 0, 0x40, 0, 0, 0, 0x02, 0, 0, 0, 'Q', 'P', 'I', 'C'};
    const Package package(Concat({Bytes(64, 0x11), Text("ico"), Text("pictr"), Text("QUJD"), trailer}));
    std::int32_t version = 0;
    EXPECT_EQ(Params(package, version).bytes, Text("ABC"));
    EXPECT_EQ(version, 2);
    EXPECT_EQ(Blob(package, IconRegion).bytes, Text("ico"));
    EXPECT_EQ(Blob(package, PictureRegion).bytes, Text("pictr"));
}

TEST(Trailer, EmptyIconWithPicture) {
    const Package package(Version2Table(Bytes(40, 1), {}, Text("picture"), Text("QQ")));
    MemorySource source(package.file);
    EXPECT_EQ(IconRegion(ReadTrailer(source, package.Table()), package.Table()).size, 0u);
    EXPECT_EQ(Blob(package, PictureRegion).bytes, Text("picture"));
}

TEST(Trailer, TextEndsAtItsFirstZeroByte) {
    const Package package(Version2Table(Bytes(8, 1), {}, {}, Concat({Text("QUJD"), Bytes{0}, Text("REVG")})));
    std::int32_t version = 0;
    EXPECT_EQ(Params(package, version).bytes, Text("ABC"));
}

TEST(Trailer, EmptyParameters) {
    const Package package(Version2Table(Bytes(8, 1), Text("i"), Text("p"), {}));
    std::int32_t version = 0;
    const Outcome outcome = Params(package, version);
    EXPECT_EQ(outcome.message, "");
    EXPECT_TRUE(outcome.bytes.empty());
}

TEST(Trailer, MagicMismatchLeavesTheVersionAlone) {
    Package package(Version2Table(Bytes(8, 1), {}, {}, Text("QUJD")));
    package.file.back() = 'c';
    std::int32_t version = 77;
    EXPECT_EQ(Params(package, version).message, kNotPackage);
    EXPECT_EQ(version, 77);
}

TEST(Trailer, RefusedVersionIsStillReported) {
    for (const std::int32_t stored : {0, 3, -1}) {
        Package package(Version2Table(Bytes(8, 1), {}, {}, Text("QUJD")));
        PutU32(package.file, package.file.size() - trailer::kVersionBack, static_cast<std::uint32_t>(stored));
        std::int32_t version = 77;
        EXPECT_EQ(Params(package, version).message, kParamsVersion);
        EXPECT_EQ(version, stored);
        EXPECT_EQ(Blob(package, PictureRegion).message, kPictureVersion);
        EXPECT_EQ(Blob(package, IconRegion).message, kIconVersion);
    }
}

// One trailer field changed, and the message each operation gives then.
struct FieldCase {
    const char* name;
    std::size_t back;  // the field's place, counted back from the table's end
    std::uint32_t value;
    const char* params;
    const char* picture;
    const char* icon;
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class TrailerField : public testing::TestWithParam<FieldCase> {};

TEST_P(TrailerField, EachOperationTestsItsOwnFields) {
    Package package(Version2Table(Bytes(16, 1), Text("icon"), Text("picture"), Text("QUJD")));
    PutU32(package.file, package.file.size() - GetParam().back, GetParam().value);
    std::int32_t version = 0;
    EXPECT_EQ(Params(package, version).message, GetParam().params);
    EXPECT_EQ(Blob(package, PictureRegion).message, GetParam().picture);
    EXPECT_EQ(Blob(package, IconRegion).message, GetParam().icon);
}

using trailer::kIconSizeBack;
using trailer::kParamsSizeBack;
using trailer::kPictureSizeBack;
using trailer::kSignatureSizeBack;

INSTANTIATE_TEST_SUITE_P(
    Table, TrailerField,
    testing::Values(
        FieldCase{"MagicWrong", trailer::kMagicBack, 0x51504943 /* "CIPQ" */, kNotPackage, kNotPackage,
                  kNotPackage},
        FieldCase{"ParamsOverLimit", kParamsSizeBack, 0x1400001, kParamsTooBig, "", ""},
        FieldCase{"ParamsNegative", kParamsSizeBack, 0xFFFFFFFC, kParamsTooBig, "", ""},
        // A size over the limit is its own operation's message; what lies behind it reads as empty.
        FieldCase{"PictureOverLimit", kPictureSizeBack, 0x1400001, "", kPictureTooBig, ""},
        FieldCase{"PictureNegative", kPictureSizeBack, 0x80000000, "", kPictureTooBig, ""},
        FieldCase{"IconOverLimit", kIconSizeBack, 0x1400001, "", "", kIconTooBig},
        FieldCase{"IconFarNegative", kIconSizeBack, 0x80000000, "", "", kIconTooBig},
        // Regions that stay inside the table are not checked further.
        FieldCase{"IconNegative", kIconSizeBack, 0xFFFFFFFF, "", "", kIconTooBig},
        FieldCase{"SignatureNegative", kSignatureSizeBack, 0xFFFFFFF0, kCorrupt, kCorrupt, kCorrupt},
        FieldCase{"SignaturePastTheTable", kSignatureSizeBack, 0x10000, kCorrupt, kCorrupt, kCorrupt},
        // Blobs within the limit that run past the end of the file.
        FieldCase{"ParamsPastTheEnd", kParamsSizeBack, 1000, kCorrupt, "", ""},
        FieldCase{"PicturePastTheEnd", kPictureSizeBack, 1000, kCorrupt, kCorrupt, ""},
        FieldCase{"IconPastTheEnd", kIconSizeBack, 1000, kCorrupt, kCorrupt, kCorrupt}),
    [](const testing::TestParamInfo<FieldCase>& info) { return std::string(info.param.name); });

TEST(Trailer, BlobsBehindAnOversizedOneReadAsEmpty) {
    for (const std::uint32_t value : {0x1400001u, 0x80000000u}) {
        for (const std::size_t back : {kIconSizeBack, kPictureSizeBack}) {
            Package package(Version2Table(Bytes(16, 1), Text("icon"), Text("picture"), Text("QUJD")));
            PutU32(package.file, package.file.size() - back, value);
            std::int32_t version = 0;
            const Outcome params = Params(package, version);
            EXPECT_EQ(params.message, "") << back << " " << value;
            EXPECT_TRUE(params.bytes.empty()) << back << " " << value;
            if (back == kIconSizeBack) {
                const Outcome picture = Blob(package, PictureRegion);
                EXPECT_EQ(picture.message, "");
                EXPECT_TRUE(picture.bytes.empty()) << value;
            }
        }
    }
}

TEST(Trailer, TableTooSmallForATrailer) {
    const Bytes trailer = {0x00, 0, 0, 0, 0x00, 0, 0, 0, 0x01, 0, 0, 0, 'Q', 'P', 'I', 'C'};
    const Package package(trailer);  // 16 bytes: the 24-byte read would start before the table
    std::int32_t version = 0;
    EXPECT_EQ(Params(package, version).message, kNotPackage);
}

TEST(Trailer, SizeLimitIsInclusive) {
    const Bytes blob(trailer::kMaxBlobSize, 'A');
    const Package package(Version2Table(Bytes(8, 1), blob, blob, blob));
    std::int32_t version = 0;
    const Outcome params = Params(package, version);
    EXPECT_EQ(params.message, "");
    EXPECT_EQ(params.bytes.size(), trailer::kMaxBlobSize / 4 * 3);
    EXPECT_EQ(Blob(package, PictureRegion).bytes.size(), static_cast<std::size_t>(trailer::kMaxBlobSize));
    EXPECT_EQ(Blob(package, IconRegion).bytes.size(), static_cast<std::size_t>(trailer::kMaxBlobSize));
}

TEST(EncodeTrailer, Version1HasFourFields) {
    PackageTrailer t;
    t.iconSize = 9;
    t.pictureSize = 9;
    t.paramsSize = 376;
    t.signatureSize = 10416;
    t.version = 1;
    EXPECT_EQ(EncodeTrailer(t), (Bytes{0x78, 0x01, 0, 0, 0xB0, 0x28, 0, 0, 1, 0, 0, 0, 'Q', 'P', 'I', 'C'}));
}

}  // namespace
