#pragma once

// What `qpk serve` serves, apart from the network: the catalogue of signed
// packages, pictures and icons loaded at start-up, the download links it
// accepts, and the stamped package of one request as a list of byte segments
// (memory, or a range of the signed file).

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Files.h"
#include "SignedPackage.h"

namespace qpk::serve {

using Bytes = std::vector<std::uint8_t>;
using SharedBytes = std::shared_ptr<const Bytes>;
using Digest = std::array<std::uint8_t, 32>;  // SHA-256

// The largest parameters a link may carry, decoded: far below the launcher's
// 20 MiB, and what a request head of kMaxRequestHead bytes leaves room for.
constexpr std::size_t kMaxParamsSize = 32 * 1024;
// The longest request line and header fields taken together.
constexpr std::size_t kMaxRequestHead = 64 * 1024;
// A timestamp may lie this far ahead of the server's clock.
constexpr std::int64_t kClockSkew = 60;

// A request answered with an error status. The text is fixed: it never holds
// what the client sent, a path or the key.
class Refusal : public std::runtime_error {
public:
    Refusal(int status, const char* text) : std::runtime_error(text), status_(status) {}
    int Status() const { return status_; }

private:
    int status_;
};

// A signed package as served: opened once, read once.
struct ServedPackage {
    std::string name;      // as in the link: /NAME
    std::string fileName;  // offered to the client: NAME, with ".exe" added when it has none
    std::unique_ptr<InputFile> file;
    SignedPackage package;
    Bytes prefix;   // the file's bytes up to the end of the security entry's size field
    Digest digest;  // of the whole signed file
};

// A picture or icon, shared by every response that carries it.
struct ServedBlob {
    SharedBytes bytes;
    Digest digest;
};

struct Catalog {
    Bytes key;                 // the HMAC key
    std::int64_t maxAge = 0;   // seconds a link stays valid
    std::map<std::string, ServedPackage, std::less<>> packages;
    std::map<std::string, ServedBlob, std::less<>> pictures;
    std::map<std::string, ServedBlob, std::less<>> icons;
};

// True for a name usable as a package, picture or icon name: 1 to 128 of
// A-Z a-z 0-9 . _ -, and not "." or "..".
bool ValidName(std::string_view name);

// The HMAC key: the file's bytes less one trailing newline. Raises
// std::runtime_error when the file cannot be read, is empty, or holds more
// than 64 KiB.
Bytes ReadKeyFile(const std::string& path);

// Opens and reads a signed package for serving. Raises std::runtime_error
// (naming the path: for the operator, never for a client) when the file cannot
// be read, is not a signed package, or already carries per-download data.
ServedPackage LoadPackage(const std::string& name, const std::string& path);

// Reads a picture or icon file. Raises std::runtime_error when it cannot be
// read or is over the launcher's limit of 20 MiB.
ServedBlob LoadBlob(const std::string& path, const char* what);

// A download link, split: every value exactly as it appears in the target.
struct DownloadLink {
    std::string name;
    std::string params;
    std::string ts;
    std::string sig;
    std::optional<std::string> picture;
    std::optional<std::string> icon;
};

// Splits a request target, "/NAME?params=…&ts=…&sig=…[&picture=ID][&icon=ID]"
// in any order (an absolute "http://host/…" target too), and checks the form
// of the signed values: params base64url without padding, ts at most 18
// decimal digits, sig 64 hexadecimal digits. Names are taken as they are, to
// be looked up. Nothing is percent-decoded. Raises Refusal 400 for a malformed
// target, a missing, repeated or unknown parameter, or a value of the wrong
// form.
DownloadLink ParseLink(std::string_view target);

// One piece of a response body: size bytes at offset of bytes, or of the
// package file when bytes is empty.
struct Segment {
    SharedBytes bytes;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

// The stamped package of one link.
struct Download {
    const ServedPackage* package = nullptr;
    std::vector<Segment> segments;  // in order; their sizes add up to size
    std::uint64_t size = 0;
    std::string etag;            // strong, quoted
    std::int64_t freshFor = 0;   // seconds the link stays valid from now
};

// Plans the response to a link at time now (Unix seconds): the package
// (Refusal 404 when unknown, also for an unknown picture or icon), then the
// signature, HMAC-SHA256 over "params.ts" compared in constant time, and the
// timestamp within [now - maxAge, now + kClockSkew] (Refusal 403), then the
// parameters' size (Refusal 413 above kMaxParamsSize, or when the stamp would
// break the launcher's limits). The segments are what `qpk stamp` writes for
// the decoded parameters and the blobs: the planned head, the signed bytes
// behind it straight from the file, and the plan's tail.
Download PlanDownload(const Catalog& catalog, const DownloadLink& link, std::int64_t now);

// The bytes [first, first + count) of a body, as segments.
std::vector<Segment> Slice(const std::vector<Segment>& segments, std::uint64_t first, std::uint64_t count);

// A byte range of a body: size bytes from first.
struct ByteSpan {
    std::uint64_t first = 0;
    std::uint64_t size = 0;
};

// The range a Range header value asks for within a body of size bytes:
// nullopt for the whole body (another unit than bytes, or several ranges,
// which are served whole). Raises Refusal 416 for a malformed bytes range or
// one that starts at or behind the end.
std::optional<ByteSpan> ParseRange(std::string_view value, std::uint64_t size);

// True when an If-None-Match value ("*" or a list of entity tags, weak ones
// included) matches etag.
bool EtagListMatches(std::string_view value, std::string_view etag);

}  // namespace qpk::serve
