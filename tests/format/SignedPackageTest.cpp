#include "SignedPackage.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "Base64.h"
#include "LittleEndian.h"
#include "PackageTrailer.h"
#include "PeFormatException.h"
#include "TestImage.h"

using namespace qpk;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

constexpr std::uint32_t kTableOffset = 0x800;
constexpr std::size_t kLfanew = 0x80;

// A WIN_CERTIFICATE of length bytes with the given header fields.
Bytes Entry(std::uint32_t length, std::uint16_t revision = wincert::kRevision2,
            std::uint16_t type = wincert::kTypePkcsSignedData) {
    Bytes entry(length, 0x30);
    PutU32(entry, wincert::kLengthOffset, length);
    PutU16(entry, wincert::kRevisionOffset, revision);
    PutU16(entry, wincert::kTypeOffset, type);
    entry.resize(length);
    return entry;
}

// A signed package: image to 0x600, payload to 0x800, then the table given.
Bytes Package(const Bytes& table) {
    TestImage image;
    image.sections = {{0x400, 0x200}};
    image.certificateOffset = kTableOffset;
    image.certificateSize = static_cast<std::uint32_t>(table.size());
    Bytes file = image.Headers();
    file.resize(0x600, 0xCC);
    file.resize(kTableOffset, 0x77);
    file.insert(file.end(), table.begin(), table.end());
    return file;
}

SignedPackage Read(const Bytes& file) {
    MemorySource source(file);
    return ReadSignedPackage(source, file.size());
}

// The message a read raises, "" when it succeeds.
std::string ReadFault(const Bytes& file) {
    try {
        Read(file);
        return "";
    } catch (const PeFormatException& error) {
        return error.what();
    }
}

PerDownloadData Data(std::int32_t version, const std::string& text, const std::string& picture = "",
                     const std::string& icon = "") {
    return {version, Text(text), Text(picture), Text(icon)};
}

Bytes Stamped(const Bytes& file, PerDownloadData data) { return ApplyPlan(file, PlanStamp(Read(file), std::move(data))); }

TEST(SignedPackage, ReadsAnUnstampedPackage) {
    const SignedPackage package = Read(Package(Entry(0x40)));
    EXPECT_EQ(package.layout.payloadOffset, 0x600u);
    EXPECT_EQ(package.layout.certificateOffset, kTableOffset);
    EXPECT_EQ(package.signatureLength, 0x40u);
    EXPECT_EQ(package.signedTableSize, 0x40u);
    EXPECT_FALSE(package.Stamped());
    EXPECT_EQ(package.SizeFieldOffset(), kLfanew + pe::kSecuritySizeOffset);
    EXPECT_EQ(package.CheckSumOffset(), kLfanew + pe::kCheckSumOffset);
}

TEST(SignedPackage, ZerosThatAlignTheEntryBelongToTheSignedTable) {
    // A signing tool that leaves its padding out of dwLength.
    for (std::uint32_t padding = 1; padding < wincert::kAlignment; ++padding) {
        Bytes table = Entry(0x40 - padding);
        table.resize(0x40, 0);
        const Bytes file = Package(table);
        const SignedPackage package = Read(file);
        EXPECT_EQ(package.signatureLength, 0x40 - padding);
        EXPECT_EQ(package.signedTableSize, 0x40u) << padding;

        // Stamped behind the zeros, and stripped back to the signed file.
        const Bytes stamped = Stamped(file, Data(2, "QUJD", "pic", "ico"));
        const SignedPackage again = Read(stamped);
        ASSERT_TRUE(again.Stamped());
        EXPECT_EQ(again.trailer->signatureSize, 0x40);
        EXPECT_EQ(again.signedTableSize, 0x40u);
        MemorySource source(stamped);
        std::int32_t version = 0;
        EXPECT_EQ(ReadParams(source, again.Table(), version), Text("ABC"));
        EXPECT_EQ(ApplyPlan(stamped, PlanStrip(again)), file);
    }
}

struct FaultCase {
    const char* name;
    std::function<Bytes()> file;
    const char* message;  // the start of it
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class SignedPackageFault : public testing::TestWithParam<FaultCase> {};

TEST_P(SignedPackageFault, IsRefused) {
    const std::string fault = ReadFault(GetParam().file());
    EXPECT_EQ(fault.rfind(GetParam().message, 0), 0u) << fault;
}

// A table whose certificate offset lies inside the headers: no sections, so
// the payload starts at 0 and the launcher takes the file; the trailer claims
// a signature entry of 8 bytes, ending before the security entry's size field.
Bytes TableInsideTheHeaders() {
    TestImage image;
    Bytes file = image.Headers();
    file.resize(0x200, 0);
    const std::uint32_t offset = 0x40;
    PackageTrailer fields;
    fields.version = 1;
    fields.signatureSize = 8;
    const Bytes trailer = EncodeTrailer(fields);
    file.insert(file.end(), trailer.begin(), trailer.end());
    const Bytes entry = Entry(8);
    std::copy(entry.begin(), entry.end(), file.begin() + offset);
    PutU32(file, kLfanew + pe::kSecurityAddressOffset, offset);
    PutU32(file, kLfanew + pe::kSecuritySizeOffset, static_cast<std::uint32_t>(file.size() - offset));
    return file;
}

// A second section whose raw data starts beyond the end of the file: the
// launcher skips it, but would take it once stamping made the file longer.
Bytes SectionBehindTheTable() {
    TestImage image;
    image.sections = {{0x400, 0x200}, {0x900, 0x10}};
    Bytes file = Package(Entry(0x40));
    const Bytes headers = [&] {
        image.certificateOffset = kTableOffset;
        image.certificateSize = 0x40;
        return image.Headers();
    }();
    std::copy(headers.begin(), headers.end(), file.begin());
    return file;
}

Bytes WithTrailerSignatureSize(std::int32_t signatureSize) {
    Bytes file = Stamped(Package(Entry(0x40)), Data(1, "QUJD"));
    PutU32(file, file.size() - trailer::kSignatureSizeBack, static_cast<std::uint32_t>(signatureSize));
    return file;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SignedPackageFault,
    testing::Values(
        FaultCase{"LauncherMessageFirst", [] { Bytes f = Package(Entry(0x40)); f[0] = 'X'; return f; },
                  image_messages::kMissingMz},
        FaultCase{"TableInsideTheHeaders", TableInsideTheHeaders, "the certificate table starts at 64, inside the headers"},
        FaultCase{"SectionBehindTheTable", SectionBehindTheTable,
                  "section 2's raw data starts behind the certificate table, at 2304"},
        FaultCase{"TableTooSmall", [] { return Package(Bytes{8, 0, 0, 0}); }, "the certificate table (4 bytes) is too small"},
        FaultCase{"Revision1", [] { return Package(Entry(0x40, 0x0100)); }, "the signature entry's revision is 0x0100"},
        FaultCase{"TypeX509", [] { return Package(Entry(0x40, wincert::kRevision2, 1)); }, "the signature entry's type is 1"},
        FaultCase{"LengthBelowHeader", [] { Bytes t = Entry(0x40); PutU32(t, 0, 7); return Package(t); },
                  "the signature entry's length (7) does not fit"},
        FaultCase{"LengthBeyondTable", [] { Bytes t = Entry(0x40); PutU32(t, 0, 0x41); return Package(t); },
                  "the signature entry's length (65) does not fit the certificate table (64 bytes)"},
        FaultCase{"NonZeroPadding", [] { Bytes t = Entry(0x3C); t.resize(0x40, 0); t[0x3E] = 1; return Package(t); },
                  "the certificate table holds 4 bytes behind the signature entry that are no per-download data"},
        FaultCase{"EightZerosAreNoPadding", [] { Bytes t = Entry(0x38); t.resize(0x40, 0); return Package(t); },
                  "the certificate table holds 8 bytes behind"},
        FaultCase{"TrailerPastTheEntryPadding", [] { return WithTrailerSignatureSize(0x48); },
                  "the trailer's signature size (72) does not match the signature entry (length 64)"},
        FaultCase{"TrailerInsideTheEntry", [] { return WithTrailerSignatureSize(0x3F); },
                  "the trailer's signature size (63) does not match"},
        FaultCase{"TrailerNegative", [] { return WithTrailerSignatureSize(-8); }, "the trailer's signature size (-8)"}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

TEST(SignedPackage, RefusesLayoutsTheLauncherTakes) {
    // What the reader refuses here, the launcher's own rules let through.
    const Bytes inside = TableInsideTheHeaders();
    MemorySource source(inside);
    const ImageLayout layout = ReadImageLayout(source, [&] { return inside.size(); });
    std::int32_t version = 0;
    EXPECT_NO_THROW(ReadParams(source, {layout.certificateOffset, layout.certificateSize}, version));

    // The section behind the table: the image end moves once the table grows.
    Bytes behind = SectionBehindTheTable();
    MemorySource before(behind);
    EXPECT_EQ(ReadImageLayout(before, [&] { return behind.size(); }).payloadOffset, 0x600u);
    behind.resize(behind.size() + 0x100, 0);
    PutU32(behind, kLfanew + pe::kSecuritySizeOffset, 0x40 + 0x100);
    MemorySource after(behind);
    try {
        ReadImageLayout(after, [&] { return behind.size(); });
        ADD_FAILURE() << "the grown package is taken";
    } catch (const PeFormatException& error) {
        EXPECT_STREQ(error.what(), image_messages::kNoPayload);
    }
}

TEST(PlanStamp, WritesWhatAnIndependentWriterWrites) {
    const Bytes file = Package(Entry(0x40));
    const struct {
        PerDownloadData data;
        Bytes tail;  // assembled by hand: blobs, then the trailer's bytes
    } cases[] = {
        {Data(1, "QUJD"),
         Concat({Text("QUJD"), {4, 0, 0, 0, 0x40, 0, 0, 0, 1, 0, 0, 0, 'Q', 'P', 'I', 'C'}})},
        {Data(2, "e30", "pict", "ic"),
         Concat({Text("ic"), Text("pict"), Text("e30"),
                 {2, 0, 0, 0, 4, 0, 0, 0, 3, 0, 0, 0, 0x40, 0, 0, 0, 2, 0, 0, 0, 'Q', 'P', 'I', 'C'}})},
        {Data(2, ""), {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 2, 0, 0, 0, 'Q', 'P', 'I', 'C'}},
    };
    for (const auto& c : cases) {
        Bytes expected = Concat({file, c.tail});
        PutU32(expected, kLfanew + pe::kSecuritySizeOffset, static_cast<std::uint32_t>(0x40 + c.tail.size()));
        const EditPlan plan = PlanStamp(Read(file), c.data);
        EXPECT_EQ(plan.keep, file.size());
        EXPECT_EQ(plan.sizeFieldOffset, kLfanew + pe::kSecuritySizeOffset);
        EXPECT_EQ(plan.OutputSize(), expected.size());
        EXPECT_EQ(ApplyPlan(file, plan), expected);
    }
}

TEST(PlanStamp, ReplacesEarlierDataAndStripsBack) {
    const Bytes file = Package(Entry(0x40));
    const Bytes first = Stamped(file, Data(2, "QUJD", std::string(100, 'p'), "icon"));
    const Bytes again = Stamped(first, Data(1, "e30"));
    EXPECT_EQ(again, Stamped(file, Data(1, "e30")));
    EXPECT_EQ(ApplyPlan(again, PlanStrip(Read(again))), file);
    // Stripping an unstamped package gives it back unchanged.
    EXPECT_EQ(ApplyPlan(file, PlanStrip(Read(file))), file);
}

TEST(PlanStamp, RefusesWhatTheLauncherWouldRefuse) {
    const SignedPackage package = Read(Package(Entry(0x40)));
    const Bytes limit(static_cast<std::size_t>(trailer::kMaxBlobSize), 'A');
    Bytes over = limit;
    over.push_back('A');
    const struct {
        const char* name;
        PerDownloadData data;
        const char* message;  // "" when accepted
    } cases[] = {
        {"Version3", {3, {}, {}, {}}, "there is no package version 3"},
        {"Version0", {0, {}, {}, {}}, "there is no package version 0"},
        {"PictureInVersion1", {1, {}, Text("p"), {}}, "a version 1 package carries no picture and no icon"},
        {"IconInVersion1", {1, {}, {}, Text("i")}, "a version 1 package carries no picture and no icon"},
        {"TextAtTheLimit", {1, limit, {}, {}}, ""},
        {"TextOverTheLimit", {1, over, {}, {}}, "the parameters text (20971521 bytes) is over"},
        {"PictureOverTheLimit", {2, {}, over, {}}, "the picture (20971521 bytes) is over"},
        {"IconOverTheLimit", {2, {}, {}, over}, "the icon (20971521 bytes) is over"},
    };
    for (const auto& c : cases) {
        std::string fault;
        try {
            PlanStamp(package, c.data);
        } catch (const PeFormatException& error) {
            fault = error.what();
        }
        if (c.message[0] == 0) {
            EXPECT_EQ(fault, "") << c.name;
        } else {
            EXPECT_EQ(fault.rfind(c.message, 0), 0u) << c.name << ": " << fault;
        }
    }
}

TEST(PlanStamp, StaysBelow4GiB) {
    // A package whose signed table ends 16 + 24 bytes short of the largest file.
    SignedPackage package = Read(Package(Entry(0x40)));
    package.layout.certificateOffset = static_cast<std::uint32_t>(pe::kMaxFileSize - 0x40 - 40);
    const PerDownloadData fits = Data(2, std::string(16, 'A'));
    EXPECT_EQ(PlanStamp(package, fits).sizeFieldValue, 0x40u + 16 + 24);
    EXPECT_THROW(PlanStamp(package, Data(2, std::string(17, 'A'))), PeFormatException);
}

TEST(PlannedHead, RefusesASizeFieldBehindTheKeptBytes) {
    const Bytes file = Package(Entry(0x40));
    EditPlan plan = PlanStrip(Read(file));
    plan.keep = plan.sizeFieldOffset + 3;  // what a wrapped length would give
    MemorySource source(file);
    EXPECT_THROW(PlannedHead(source, plan), PeFormatException);
    EXPECT_THROW(ApplyPlan(Bytes(file.begin(), file.begin() + 0x100), PlanStrip(Read(file))), PeFormatException);
}

TEST(PlanBuild, PadsAndLimits) {
    constexpr std::uint64_t kMax = 0x7FFFFFFF;
    // The farthest an aligned image may end for a payload of kPayload bytes.
    constexpr std::uint64_t kPayload = 0x10000000;
    constexpr std::uint64_t kFits =
        (0xFFFFFFFF - kSignatureAllowance - kLargestPerDownloadData - kPayload) & ~std::uint64_t{7};
    const struct {
        const char* name;
        std::uint64_t imageEnd, payloadSize;
        bool pad;
        std::uint32_t padding, gap;
        const char* message;  // "" when accepted
    } cases[] = {
        {"Aligned", 0x600, 0x338, false, 0, 0, ""},
        {"Unaligned", 0x600, 0x333, false, 0, 5, ""},
        {"UnalignedPadded", 0x600, 0x333, true, 5, 0, ""},
        {"UnalignedImageEnd", 0x601, 0x337, false, 0, 0, ""},
        {"Empty", 0x600, 0, false, 0, 0, "the payload is empty"},
        {"LargestPayload", 0x600, kMax - 7, false, 0, 0, ""},
        {"LargestPayloadAligned", 0x601, kMax, false, 0, 0, ""},
        {"OverWithItsAlignment", 0x600, kMax - 2, false, 0, 0,
         "the payload (2147483645 bytes, 2147483648 with the zeros that align it) is over"},
        {"OverTheLimit", 0x600, kMax + 1, true, 0, 0, "the payload (2147483648 bytes) is over"},
        {"RoomForSignatureAndData", kFits, kPayload, false, 0, 0, ""},
        {"NoRoomForSignatureAndData", kFits + 8, kPayload, false, 0, 0,
         "the package (4231004136 bytes) would not stay below 4 GiB once signed and stamped"},
        {"Beyond4GiB", 0xFFFFFFF8, 0x10, false, 0, 0, "the package (4294967304 bytes) would not stay below 4 GiB"},
    };
    for (const auto& c : cases) {
        std::string fault;
        BuildPlan plan;
        try {
            plan = PlanBuild(c.imageEnd, c.payloadSize, c.pad);
        } catch (const PeFormatException& error) {
            fault = error.what();
        }
        if (c.message[0] != 0) {
            EXPECT_EQ(fault.rfind(c.message, 0), 0u) << c.name << ": " << fault;
            continue;
        }
        EXPECT_EQ(fault, "") << c.name;
        EXPECT_EQ(plan.padding, c.padding) << c.name;
        EXPECT_EQ(plan.alignmentGap, c.gap) << c.name;
    }
}

TEST(AuthenticodeRanges, LeaveOutCheckSumSecurityEntryAndTable) {
    const std::vector<ByteRange> ranges = AuthenticodeRanges(Read(Package(Entry(0x40))));
    ASSERT_EQ(ranges.size(), 3u);
    const std::uint64_t checkSum = kLfanew + pe::kCheckSumOffset, security = kLfanew + pe::kSecurityEntryOffset;
    EXPECT_EQ(ranges[0].offset, 0u);
    EXPECT_EQ(ranges[0].size, checkSum);
    EXPECT_EQ(ranges[1].offset, checkSum + 4);
    EXPECT_EQ(ranges[1].offset + ranges[1].size, security);
    EXPECT_EQ(ranges[2].offset, security + 8);
    EXPECT_EQ(ranges[2].offset + ranges[2].size, kTableOffset);
}

}  // namespace
