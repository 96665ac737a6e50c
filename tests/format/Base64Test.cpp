#include "Base64.h"

#include <gtest/gtest.h>

using namespace qpk;

namespace {

struct DecodeCase {
    const char* name;
    std::string text;
    std::string bytes;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class Base64DecodeTable : public testing::TestWithParam<DecodeCase> {};

TEST_P(Base64DecodeTable, DecodesUpToTheFirstStop) {
    const std::vector<std::uint8_t> decoded = Base64Decode(GetParam().text);
    EXPECT_EQ(std::string(decoded.begin(), decoded.end()), GetParam().bytes);
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    Table, Base64DecodeTable,
    testing::Values(DecodeCase{"Empty", "", ""}, DecodeCase{"FullGroup", "QUJD", "ABC"},
                    DecodeCase{"ThreeLeft", "QUI", "AB"}, DecodeCase{"TwoLeft", "QQ", "A"},
                    DecodeCase{"OneLeftIsDropped", "Q", ""}, DecodeCase{"OnePad", "QUJD=", "ABC"},
                    DecodeCase{"TwoPads", "QUJD==", "ABC"}, DecodeCase{"StopsAtPad", "QUJD=REVG", "ABC"},
                    DecodeCase{"StopsAtLineBreak", "QUJD\r\nREVG", "ABC"}, DecodeCase{"StopsAtBlank", "QUJD REVG", "ABC"},
                    DecodeCase{"StopsAtZeroByte", "QUJD\0REVG"s, "ABC"}, DecodeCase{"LeftoverBitsNotZero", "QR", "A"},
                    DecodeCase{"StartsWithPad", "=QUJD", ""}, DecodeCase{"StartsWithBlank", " QUJD", ""},
                    DecodeCase{"StartsWithHighByte", "\x80QUJD", ""}, DecodeCase{"HighByteInside", "QUJD\xFFREVG", "ABC"},
                    DecodeCase{"UrlSafeMinus", "QUJD-REVG", "ABC"}, DecodeCase{"UrlSafeUnderscore", "QUJD_REVG", "ABC"},
                    DecodeCase{"WholeAlphabet", "+/+/", "\xFB\xFF\xBF"s}),
    [](const testing::TestParamInfo<DecodeCase>& info) { return std::string(info.param.name); });

TEST(Base64Decode, ParametersTextWithoutPads) {
    // 282 bytes of parameters encode to 376 characters and need no pad.
    std::string json = R"({"ResellerId":"r1","ResellerName":"A reseller","OwnerId":"o1","CompanyName":"Company",)"
                       R"("ProductName":"Product","CompanyDisplayName":"Company Display","ProductDisplayName":"P"})";
    json.resize(282, ' ');
    const std::vector<std::uint8_t> bytes(json.begin(), json.end());
    const std::string text = Base64Encode(bytes);
    ASSERT_EQ(text.size(), 376u);
    EXPECT_EQ(text.find('='), std::string::npos);
    EXPECT_EQ(Base64Decode(text), bytes);
}

TEST(Base64Encode, StandardVectorsWithoutPads) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg"},         {"fo", "Zm8"},
                                                           {"foo", "Zm9v"},  {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"},
                                                           {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        const std::string text(plain);
        EXPECT_EQ(Base64Encode(std::vector<std::uint8_t>(text.begin(), text.end())), encoded) << plain;
    }
}

TEST(Base64Encode, PadsOnRequest) {
    const std::pair<const char*, const char*> vectors[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}};
    for (const auto& [plain, encoded] : vectors) {
        const std::string text(plain);
        EXPECT_EQ(Base64Encode(std::vector<std::uint8_t>(text.begin(), text.end()), true), encoded) << plain;
    }
}

// Whether the launcher's decoder uses every character: where it stops, and
// whether only pads follow and no lone character is dropped.
TEST(Base64DecodesWhole, StopsOnlyAtClosingPads) {
    const struct {
        std::string text;
        std::size_t stop;
        bool whole;
    } cases[] = {{"", 0, true},           {"QUJD", 4, true},      {"QUI=", 3, true},     {"QQ==", 2, true},
                 {"QUJD==", 4, true},     {"QUJDQ", 5, false},    {"QUJDQ=", 5, false},  {"QUJD=REVG", 4, false},
                 {"QUJD\nREVG", 4, false}, {"QUJD\0"s, 4, false}, {"QUJD-", 4, false},   {"=QUJD", 0, false},
                 {"\xC3\xA9", 0, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(Base64StopIndex(c.text), c.stop) << c.text;
        EXPECT_EQ(Base64DecodesWhole(c.text), c.whole) << c.text;
    }
}

TEST(Base64Encode, EveryByteValueRoundTrips) {
    std::vector<std::uint8_t> bytes(256 * 3 + 1);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    EXPECT_EQ(Base64Decode(Base64Encode(bytes)), bytes);
}

}  // namespace
