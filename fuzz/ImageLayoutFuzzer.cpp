// ReadImageLayout over arbitrary bytes. The input is the whole file. It is read
// with its own size as the file size, and again with a size taken from its last
// 8 bytes, so that sizes of 4 GiB and more, and sizes that disagree with the
// bytes, are reached too. Only PeFormatException may come out; on success the
// layout must add up.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "FuzzCheck.h"
#include "ImageLayout.h"
#include "PeFormatException.h"

using namespace qpk;

namespace {

// Raised by the size callback; ReadImageLayout must let it through unchanged.
struct SizeUnavailable {};

void CheckLayout(const std::vector<std::uint8_t>& bytes, std::uint64_t fileSize) {
    MemorySource file(bytes);
    int asked = 0;
    ImageLayout layout;
    try {
        layout = ReadImageLayout(file, [&] {
            ++asked;
            return fileSize;
        });
    } catch (const PeFormatException&) {
        FUZZ_CHECK(asked <= 1);
        return;
    }
    FUZZ_CHECK(asked == 1);

    // An accepted file has valid headers, and the layout reports their values.
    const PeHeaders headers = ReadPeHeaders(file);
    FUZZ_CHECK(layout.certificateOffset == headers.certificateOffset);
    FUZZ_CHECK(layout.certificateSize == headers.certificateSize);
    FUZZ_CHECK(layout.certificateOffset != 0 && layout.certificateSize != 0);

    FUZZ_CHECK(fileSize <= std::numeric_limits<std::uint32_t>::max());
    FUZZ_CHECK(std::uint64_t{layout.certificateOffset} + layout.certificateSize == fileSize);
    FUZZ_CHECK(layout.payloadSize >= 1);
    FUZZ_CHECK(std::uint64_t{layout.payloadOffset} + static_cast<std::uint64_t>(layout.payloadSize) ==
               layout.certificateOffset);
    FUZZ_CHECK(FindImageEnd(file, headers, fileSize) == layout.payloadOffset);
}

// Whatever the size callback raises must pass through, and nothing may be
// accepted without asking for the size.
void CheckSizeFailurePassesThrough(const std::vector<std::uint8_t>& bytes) {
    MemorySource file(bytes);
    try {
        ReadImageLayout(file, []() -> std::uint64_t { throw SizeUnavailable(); });
        FUZZ_CHECK(!"accepted without the file size");
    } catch (const PeFormatException&) {
    } catch (const SizeUnavailable&) {
        // Asked only after the headers and the signature test passed.
        const PeHeaders headers = ReadPeHeaders(file);
        FUZZ_CHECK(headers.certificateOffset != 0 && headers.certificateSize != 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    CheckLayout(bytes, bytes.size());
    if (size >= 8) {
        std::uint64_t claimed = 0;
        for (std::size_t i = 0; i < 8; ++i) claimed |= std::uint64_t{data[size - 8 + i]} << (8 * i);
        CheckLayout(bytes, claimed);
    }
    CheckSizeFailurePassesThrough(bytes);
    return 0;
}
