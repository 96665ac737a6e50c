// Reads the linked launcher image and checks its section layout and every
// resource it carries, walking the resource directory from the PE headers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Little-endian fields; a read past the end throws, failing the test.
std::uint16_t U16(const Bytes& bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < 2) throw std::out_of_range("read past the end of the data");
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint32_t U32(const Bytes& bytes, std::size_t offset) {
    return U16(bytes, offset) | (static_cast<std::uint32_t>(U16(bytes, offset + 2)) << 16);
}

// Rounds up to the next 32-bit boundary.
std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

// The NUL-terminated UTF-16 text at offset; end receives the offset behind the NUL.
std::u16string Utf16z(const Bytes& bytes, std::size_t offset, std::size_t& end) {
    std::u16string text;
    for (char16_t c; (c = U16(bytes, offset)) != 0; offset += 2) text.push_back(c);
    end = offset + 2;
    return text;
}

struct Section {
    std::string name;
    std::uint32_t virtualAddress, virtualSize, rawPointer, rawSize;
};

// The launcher file as the loader sees it, as far as resources are concerned.
struct Image {
    Bytes file;
    std::vector<Section> sections;
    std::uint32_t resourceRva = 0, resourceSize = 0;
    // Resource data by "type/name/language"; names given as strings are quoted.
    std::map<std::string, Bytes> resources;
    std::vector<std::uint32_t> directoryTimeStamps;

    // The file offset of [rva, rva + size), which must lie in one section's raw data.
    std::size_t Offset(std::uint32_t rva, std::uint32_t size) const {
        for (const Section& s : sections) {
            if (rva >= s.virtualAddress && rva - s.virtualAddress <= s.rawSize &&
                size <= s.rawSize - (rva - s.virtualAddress))
                return s.rawPointer + (rva - s.virtualAddress);
        }
        throw std::out_of_range("RVA outside the sections' raw data");
    }

    const Bytes& Resource(const std::string& key) const {
        const auto found = resources.find(key);
        if (found == resources.end()) throw std::out_of_range("no resource " + key);
        return found->second;
    }
};

// A directory entry's name: the number, or a string name in quotes.
std::string EntryName(const Bytes& file, std::size_t rsrc, std::uint32_t name) {
    if ((name & 0x80000000u) == 0) return std::to_string(name);
    const std::size_t at = rsrc + (name & 0x7FFFFFFFu);
    std::string text = "'";
    for (std::uint16_t i = 0, n = U16(file, at); i < n; ++i) text.push_back(static_cast<char>(U16(file, at + 2 + 2 * i)));
    return text + "'";
}

// Walks the three directory levels (type, name, language) below offset.
void WalkResources(Image& image, std::size_t rsrc, std::uint32_t offset, const std::string& path, int level) {
    const Bytes& file = image.file;
    const std::size_t directory = rsrc + offset;
    image.directoryTimeStamps.push_back(U32(file, directory + 4));
    const unsigned entries = U16(file, directory + 12) + U16(file, directory + 14);
    for (unsigned i = 0; i < entries; ++i) {
        const std::size_t entry = directory + 16 + 8 * i;
        const std::string key = path + (level ? "/" : "") + EntryName(file, rsrc, U32(file, entry));
        const std::uint32_t target = U32(file, entry + 4);
        const bool subdirectory = (target & 0x80000000u) != 0;
        if (subdirectory != (level < 2)) throw std::runtime_error("resource tree not three levels deep at " + key);
        if (subdirectory) {
            WalkResources(image, rsrc, target & 0x7FFFFFFFu, key, level + 1);
        } else {
            const std::uint32_t rva = U32(file, rsrc + target);
            const std::uint32_t size = U32(file, rsrc + target + 4);
            const std::size_t at = image.Offset(rva, size);
            image.resources[key] = Bytes(file.begin() + at, file.begin() + at + size);
        }
    }
}

// Reads the file and its section table, then the whole resource tree.
Image Load(const std::string& path) {
    Image image;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    image.file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const Bytes& file = image.file;
    const std::size_t nt = U32(file, 0x3C);
    if (U16(file, 0) != 0x5A4D || U32(file, nt) != 0x00004550) throw std::runtime_error("not a PE image");
    const std::size_t optional = nt + 24;
    if (U16(file, optional) != 0x010B) throw std::runtime_error("not PE32");
    if (U32(file, optional + 92) < 3) throw std::runtime_error("no resource data directory");
    image.resourceRva = U32(file, optional + 96 + 2 * 8);
    image.resourceSize = U32(file, optional + 96 + 2 * 8 + 4);
    const std::size_t table = optional + U16(file, nt + 20);
    for (unsigned i = 0, n = U16(file, nt + 6); i < n; ++i) {
        const std::size_t header = table + 40 * i;
        U32(file, header + 36);  // the whole header is there
        Section s;
        s.name.assign(reinterpret_cast<const char*>(&file[header]), 8);
        s.name.resize(s.name.find('\0') == std::string::npos ? 8 : s.name.find('\0'));
        s.virtualSize = U32(file, header + 8);
        s.virtualAddress = U32(file, header + 12);
        s.rawSize = U32(file, header + 16);
        s.rawPointer = U32(file, header + 20);
        image.sections.push_back(s);
    }
    WalkResources(image, image.Offset(image.resourceRva, image.resourceSize), 0, "", 0);
    return image;
}

// The launcher of this build, read once. The path is Unix; Wine shows it on Z:.
const Image& Launcher() {
    static const Image image = [] {
        std::string path = "Z:" QPK_LAUNCHER_IMAGE;
        std::replace(path.begin(), path.end(), '/', '\\');
        return Load(path);
    }();
    return image;
}

TEST(LauncherImage, HasFiveSectionsWithResourcesBeforeRelocations) {
    const Image& image = Launcher();
    std::vector<std::string> names;
    for (const Section& s : image.sections) names.push_back(s.name);
    EXPECT_EQ(names, (std::vector<std::string>{".text", ".rdata", ".data", ".rsrc", ".reloc"}));
    ASSERT_EQ(image.sections.size(), 5u);
    const Section& rsrc = image.sections[3];
    EXPECT_GE(image.resourceRva, rsrc.virtualAddress);
    EXPECT_LE(image.resourceRva + image.resourceSize, rsrc.virtualAddress + rsrc.virtualSize);
}

TEST(LauncherResources, AreExactlyTheExpectedEntriesAllInUsEnglish) {
    std::vector<std::string> keys;
    for (const auto& [key, data] : Launcher().resources) keys.push_back(key);
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> expected = {
        "3/1/1033", "3/2/1033", "3/3/1033", "3/4/1033", "3/5/1033", "3/6/1033",  // RT_ICON
        "6/7/1033",                                                            // RT_STRING, ids 96..111
        "14/107/1033",                                                         // RT_GROUP_ICON
        "16/1/1033",                                                           // RT_VERSION
        "24/1/1033",                                                           // RT_MANIFEST
    };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(keys, expected);
}

TEST(LauncherResources, DirectoriesCarryNoTimeStamp) {
    for (std::uint32_t stamp : Launcher().directoryTimeStamps) EXPECT_EQ(stamp, 0u);
}

// The six images of the icon, in group order.
struct IconSize {
    unsigned pixels;
    std::uint16_t id;
};
constexpr IconSize kIcons[] = {{16, 1}, {32, 2}, {48, 3}, {64, 4}, {128, 5}, {256, 6}};

// The resource key of RT_ICON id.
std::string IconKey(std::uint16_t id) { return "3/" + std::to_string(id) + "/1033"; }

// Bytes per row of an AND mask: one bit a pixel, rows padded to 32 bits.
std::size_t MaskStride(unsigned pixels) { return (pixels + 31) / 32 * 4; }

TEST(LauncherIcon, GroupListsTheSixImagesBySizeWithTheirByteCounts) {
    const Image& image = Launcher();
    const Bytes& group = image.Resource("14/107/1033");
    ASSERT_EQ(group.size(), 6u + 14u * 6u);
    EXPECT_EQ(U16(group, 0), 0);  // idReserved
    EXPECT_EQ(U16(group, 2), 1);  // idType: icon
    EXPECT_EQ(U16(group, 4), 6);  // idCount
    for (std::size_t i = 0; i < std::size(kIcons); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        const std::size_t entry = 6 + 14 * i;
        const unsigned dimension = kIcons[i].pixels == 256 ? 0 : kIcons[i].pixels;
        EXPECT_EQ(group[entry + 0], dimension);
        EXPECT_EQ(group[entry + 1], dimension);
        EXPECT_EQ(group[entry + 2], 0);        // colour count
        EXPECT_EQ(group[entry + 3], 0);        // reserved
        EXPECT_EQ(U16(group, entry + 4), 1);   // planes
        EXPECT_EQ(U16(group, entry + 6), 32);  // bits per pixel
        EXPECT_EQ(U16(group, entry + 12), kIcons[i].id);
        EXPECT_EQ(U32(group, entry + 8), image.Resource(IconKey(kIcons[i].id)).size());
    }
}

TEST(LauncherIcon, ImagesAreUncompressed32BitDibsWithAndMask) {
    for (const IconSize& icon : kIcons) {
        SCOPED_TRACE(std::to_string(icon.pixels) + " pixels");
        const Bytes& dib = Launcher().Resource(IconKey(icon.id));
        const std::size_t bits = icon.pixels * icon.pixels * 4 + MaskStride(icon.pixels) * icon.pixels;
        ASSERT_EQ(dib.size(), 40 + bits);
        EXPECT_EQ(U32(dib, 0), 40u);              // biSize: BITMAPINFOHEADER, not PNG
        EXPECT_EQ(U32(dib, 4), icon.pixels);      // biWidth
        EXPECT_EQ(U32(dib, 8), 2 * icon.pixels);  // biHeight: colour and mask
        EXPECT_EQ(U16(dib, 12), 1);               // biPlanes
        EXPECT_EQ(U16(dib, 14), 32);              // biBitCount
        EXPECT_EQ(U32(dib, 16), 0u);              // biCompression: BI_RGB
        const std::uint32_t sizeImage = U32(dib, 20);
        EXPECT_TRUE(sizeImage == 0 || sizeImage == bits) << sizeImage;
        EXPECT_EQ(U32(dib, 32), 0u);  // biClrUsed
        EXPECT_EQ(U32(dib, 36), 0u);  // biClrImportant
    }
}

// Legacy drawing uses the mask, alpha-aware drawing the alpha channel: both
// must describe the same shape, and the art must be anti-aliased.
TEST(LauncherIcon, MaskMarksExactlyTheTransparentPixelsOfAntiAliasedArt) {
    for (const IconSize& icon : kIcons) {
        SCOPED_TRACE(std::to_string(icon.pixels) + " pixels");
        const Bytes& dib = Launcher().Resource(IconKey(icon.id));
        ASSERT_EQ(dib.size(), 40 + icon.pixels * icon.pixels * 4 + MaskStride(icon.pixels) * icon.pixels);
        const std::size_t mask = 40 + icon.pixels * icon.pixels * 4;
        std::size_t transparent = 0, partial = 0, opaque = 0, mismatches = 0;
        for (std::size_t row = 0; row < icon.pixels; ++row) {
            for (std::size_t x = 0; x < icon.pixels; ++x) {
                const std::uint8_t alpha = dib[40 + (row * icon.pixels + x) * 4 + 3];
                const bool masked = (dib[mask + row * MaskStride(icon.pixels) + x / 8] & (0x80 >> (x % 8))) != 0;
                if (masked != (alpha == 0)) ++mismatches;
                (alpha == 0 ? transparent : alpha == 255 ? opaque : partial)++;
            }
        }
        EXPECT_EQ(mismatches, 0u);
        EXPECT_GT(transparent, 0u);
        EXPECT_GT(partial, 0u);
        EXPECT_GT(opaque, 0u);
    }
}

TEST(LauncherStrings, BlockSevenHoldsOnlyTheProgramName) {
    const Bytes& block = Launcher().Resource("6/7/1033");
    std::size_t offset = 0;
    for (unsigned id = 96; id < 112; ++id) {
        SCOPED_TRACE("string " + std::to_string(id));
        const std::uint16_t length = U16(block, offset);
        std::u16string text;
        for (std::uint16_t i = 0; i < length; ++i) text.push_back(U16(block, offset + 2 + 2 * i));
        offset += 2 + 2 * std::size_t{length};
        EXPECT_EQ(text, id == 106 ? u"Package Launcher" : u"");
    }
    EXPECT_EQ(offset, block.size());
}

// One node of the version block: wLength, wValueLength, wType, key, value, children.
struct VersionNode {
    std::size_t length;
    std::uint16_t valueLength, type;
    std::u16string key;
    std::size_t valueOffset;
    std::vector<VersionNode> children;
};

// Parses the node at offset and, recursively, its children.
VersionNode ParseVersionNode(const Bytes& block, std::size_t offset) {
    VersionNode node;
    node.length = U16(block, offset);
    node.valueLength = U16(block, offset + 2);
    node.type = U16(block, offset + 4);
    const std::size_t end = offset + node.length;
    if (node.length < 6 || end > block.size()) throw std::out_of_range("version node outside its block");
    std::size_t at;
    node.key = Utf16z(block, offset + 6, at);
    node.valueOffset = Align4(at);
    at = Align4(node.valueOffset + (node.type == 1 ? 2 * std::size_t{node.valueLength} : node.valueLength));
    while (at < end) {
        node.children.push_back(ParseVersionNode(block, at));
        at = Align4(at + node.children.back().length);
    }
    if (at > Align4(end)) throw std::out_of_range("version node overruns its parent");
    return node;
}

TEST(LauncherVersion, FixedInfoIsVersion8046OfAnNtApplication) {
    const Bytes& block = Launcher().Resource("16/1/1033");
    const VersionNode root = ParseVersionNode(block, 0);
    EXPECT_EQ(root.length, block.size());
    EXPECT_EQ(root.key, u"VS_VERSION_INFO");
    EXPECT_EQ(root.type, 0);
    ASSERT_EQ(root.valueLength, 52);
    const struct {
        const char* field;
        std::uint32_t value;
    } fields[] = {
        {"dwSignature", 0xFEEF04BD},    {"dwStrucVersion", 0x00010000},  {"dwFileVersionMS", 0x00080000},
        {"dwFileVersionLS", 0x00040006}, {"dwProductVersionMS", 0x00080000}, {"dwProductVersionLS", 0x00040006},
        {"dwFileFlagsMask", 0x3F},      {"dwFileFlags", 0},              {"dwFileOS", 0x00040004},  // VOS_NT_WINDOWS32
        {"dwFileType", 1},                                                                           // VFT_APP
        {"dwFileSubtype", 0},           {"dwFileDateMS", 0},             {"dwFileDateLS", 0},
    };
    for (std::size_t i = 0; i < std::size(fields); ++i) {
        EXPECT_EQ(U32(block, root.valueOffset + 4 * i), fields[i].value) << fields[i].field;
    }
}

TEST(LauncherVersion, OnlyStringsAreFileAndProductVersionWithoutVarFileInfo) {
    const Bytes& block = Launcher().Resource("16/1/1033");
    const VersionNode root = ParseVersionNode(block, 0);
    ASSERT_EQ(root.children.size(), 1u);
    const VersionNode& info = root.children[0];
    EXPECT_EQ(info.key, u"StringFileInfo");
    ASSERT_EQ(info.children.size(), 1u);
    const VersionNode& table = info.children[0];
    EXPECT_EQ(table.key, u"040904b0");
    ASSERT_EQ(table.children.size(), 2u);
    const std::u16string keys[] = {u"FileVersion", u"ProductVersion"};
    for (std::size_t i = 0; i < 2; ++i) {
        const VersionNode& entry = table.children[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(entry.key, keys[i]);
        EXPECT_EQ(entry.type, 1);  // text
        EXPECT_TRUE(entry.children.empty());
        std::size_t end;
        EXPECT_EQ(Utf16z(block, entry.valueOffset, end), u"8.0.4.6");
        EXPECT_EQ(entry.valueLength, 8);  // characters, the terminating NUL included
    }
}

TEST(LauncherManifest, IsExactlyTheManifestFile) {
    const Bytes& data = Launcher().Resource("24/1/1033");
    std::ifstream in(QPK_LAUNCHER_MANIFEST, std::ios::binary);
    ASSERT_TRUE(in) << "cannot open " << QPK_LAUNCHER_MANIFEST;
    const Bytes file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string(file.begin(), file.end()));
}

}  // namespace
