#include "ImageLayout.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "PeFormatException.h"
#include "TestImage.h"

using namespace qpk;

namespace {

using namespace image_messages;

// A package whose headers are the only real bytes: the stream holds them, and
// the reported file size stands for the rest of the file.
struct Package {
    std::vector<std::uint8_t> bytes;
    std::uint64_t fileSize;
};

// A well-formed package: image end 0x1000, payload up to 0x3000, table of 0x200.
TestImage ValidImage() {
    TestImage image;
    image.sections = {{0x400, 0x600}, {0xA00, 0x600}};
    image.certificateOffset = 0x3000;
    image.certificateSize = 0x200;
    return image;
}

Package FromImage(const TestImage& image) {
    return {image.Headers(), std::uint64_t{image.certificateOffset} + image.certificateSize};
}

// The layout, or the format message raised while reading it.
struct Outcome {
    std::string message;
    ImageLayout layout;
};

Outcome Read(const Package& package, const std::function<std::uint64_t()>& size = nullptr) {
    MemorySource stream(package.bytes);
    Outcome outcome;
    try {
        outcome.layout = ReadImageLayout(stream, size ? size : [&] { return package.fileSize; });
    } catch (const PeFormatException& error) {
        outcome.message = error.what();
    }
    return outcome;
}

struct FailureCase {
    const char* name;
    std::function<void(Package&)> damage;
    const char* message;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class ImageLayoutFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ImageLayoutFailure, ReportsTheEarliestFailingTest) {
    Package package = FromImage(ValidImage());
    GetParam().damage(package);
    EXPECT_EQ(Read(package).message, GetParam().message);
}

void SetU32(Package& p, std::size_t offset, std::uint32_t v) { PutU32(p.bytes, offset, v); }
void SetU16(Package& p, std::size_t offset, std::uint16_t v) { PutU16(p.bytes, offset, v); }
constexpr std::size_t kNt = 0x80;

INSTANTIATE_TEST_SUITE_P(
    Table, ImageLayoutFailure,
    testing::Values(
        FailureCase{"NoMz", [](Package& p) { SetU16(p, 0, 0x4D5A); }, kMissingMz},
        FailureCase{"EmptyFile", [](Package& p) { p.bytes.clear(); }, kMissingMz},
        FailureCase{"OneByte", [](Package& p) { p.bytes.resize(1); }, kMissingMz},
        FailureCase{"CutInsideLfanew", [](Package& p) { p.bytes.resize(62); }, kBadLfanew},
        FailureCase{"LfanewZero", [](Package& p) { SetU32(p, 60, 0); }, kBadLfanew},
        FailureCase{"Lfanew4097", [](Package& p) { SetU32(p, 60, 4097); }, kBadLfanew},
        FailureCase{"LfanewNegative", [](Package& p) { SetU32(p, 60, 0xFFFFFF80); }, kBadLfanew},
        FailureCase{"NoPe", [](Package& p) { SetU32(p, kNt, 0x00014550); }, kMissingPe},
        FailureCase{"NtBlockPastEnd", [](Package& p) { p.bytes.resize(kNt + 2); }, kMissingPe},
        FailureCase{"Pe32Plus", [](Package& p) { SetU16(p, kNt + 24, 0x020B); }, kNotPe32},
        FailureCase{"CutBeforeMagic", [](Package& p) { p.bytes.resize(kNt + 25); }, kNotPe32},
        FailureCase{"CutBeforeSecurityEntry", [](Package& p) { p.bytes.resize(kNt + 150); }, kNotSigned},
        FailureCase{"NoCertificateOffset", [](Package& p) { SetU32(p, kNt + 152, 0); }, kNotSigned},
        FailureCase{"NoCertificateSize", [](Package& p) { SetU32(p, kNt + 156, 0); }, kNotSigned},
        FailureCase{"OneByteAppended", [](Package& p) { p.fileSize += 1; }, kBadFileSize},
        FailureCase{"OneByteCut", [](Package& p) { p.fileSize -= 1; }, kBadFileSize},
        // The low 32 bits of a 4 GiB file would match; the file is refused whole.
        FailureCase{"FourGibFile", [](Package& p) { p.fileSize += 0x100000000ULL; }, kBadFileSize},
        // Offset plus size wraps past 2^32 onto the real file size.
        FailureCase{"TableEndWraps",
                    [](Package& p) {
                        SetU32(p, kNt + 152, 0xFFFFFF00);
                        SetU32(p, kNt + 156, static_cast<std::uint32_t>(p.fileSize + 0x100));
                    },
                    kBadFileSize},
        FailureCase{"TableAtImageEnd",
                    [](Package& p) {
                        SetU32(p, kNt + 152, 0x1000);
                        SetU32(p, kNt + 156, 0x2200);
                    },
                    kNoPayload},
        FailureCase{"TableBeforeImageEnd",
                    [](Package& p) {
                        SetU32(p, kNt + 152, 0xF00);
                        SetU32(p, kNt + 156, 0x2300);
                    },
                    kNoPayload},
        // A section starting exactly at the file's end still takes part.
        FailureCase{"SectionAtFileEnd", [](Package& p) { SetU32(p, kNt + 248 + 40 + 20, 0x3200); }, kNoPayload},
        FailureCase{"SectionTableCut", [](Package& p) { p.bytes.pop_back(); }, kNoPayload},
        // An image end past 2^32 must not wrap to a small payload offset.
        FailureCase{"ImageEndWraps", [](Package& p) { SetU32(p, kNt + 248 + 40 + 16, 0xFFFFF800); }, kNoPayload}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(ImageLayout, LocatesPayloadAndTable) {
    const Outcome outcome = Read(FromImage(ValidImage()));
    ASSERT_EQ(outcome.message, "");
    EXPECT_EQ(outcome.layout.certificateOffset, 0x3000u);
    EXPECT_EQ(outcome.layout.certificateSize, 0x200u);
    EXPECT_EQ(outcome.layout.payloadOffset, 0x1000u);
    EXPECT_EQ(outcome.layout.payloadSize, 0x2000);
}

TEST(ImageLayout, AcceptsLfanew4096) {
    TestImage image = ValidImage();
    image.lfanew = 4096;
    image.sections = {{0x2000, 0x200}};
    EXPECT_EQ(Read(FromImage(image)).layout.payloadOffset, 0x2200u);
}

TEST(ImageLayout, TestsTheSignatureBeforeAskingTheFileSize) {
    TestImage image = ValidImage();
    image.certificateSize = 0;
    bool asked = false;
    const Outcome outcome = Read(FromImage(image), [&] { return asked = true, std::uint64_t{0}; });
    EXPECT_EQ(outcome.message, kNotSigned);
    EXPECT_FALSE(asked);
}

struct WalkCase {
    const char* name;
    std::vector<TestSection> sections;
    std::uint32_t payloadOffset;
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class SectionWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(SectionWalk, FarthestSectionDecidesTheImageEnd) {
    TestImage image = ValidImage();
    image.sections = GetParam().sections;
    const Outcome outcome = Read(FromImage(image));
    ASSERT_EQ(outcome.message, "");
    EXPECT_EQ(outcome.layout.payloadOffset, GetParam().payloadOffset);
    EXPECT_EQ(outcome.layout.payloadSize, static_cast<std::int32_t>(0x3000 - GetParam().payloadOffset));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SectionWalk,
    testing::Values(WalkCase{"NoSections", {}, 0},
                    WalkCase{"LastInFileNotLastInTable", {{0x800, 0x100}, {0x400, 0x800}}, 0x900},
                    WalkCase{"FirstOfEqualPointersWins", {{0x400, 0x100}, {0x400, 0x900}}, 0x500},
                    WalkCase{"PointerZeroNeverChosen", {{0, 0x2800}, {0x400, 0x100}}, 0x500},
                    WalkCase{"PointerBeyondFileSkipped", {{0x400, 0x100}, {0x3201, 0x10}}, 0x500}),
    [](const testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

TEST(ImageLayout, ExamplePackage) {
    TestImage image;
    image.sections = {{0x400, 0x1000}, {0x1400, 0x200}, {0x1600, 0x200}, {0x1800, 0x200}, {549888, 11264}};
    image.certificateOffset = 25023008;
    image.certificateSize = 10808;
    const Package package{image.Headers(), 25033816};
    const Outcome outcome = Read(package);
    ASSERT_EQ(outcome.message, "");
    EXPECT_EQ(outcome.layout.payloadOffset, 561152u);
    EXPECT_EQ(outcome.layout.payloadSize, 24461856);
}

}  // namespace
