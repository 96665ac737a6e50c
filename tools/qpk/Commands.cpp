#include "Commands.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "Base64.h"
#include "Files.h"
#include "ImageLayout.h"
#include "LittleEndian.h"
#include "PackageTrailer.h"
#include "PeFormatException.h"

namespace qpk {

namespace {

using Bytes = std::vector<std::uint8_t>;

// A usage error: reported with the command's help hint, status 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure of the command: reported on one line, status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr std::size_t kWinCertificateHeader = 8;
constexpr const char* kBase64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint64_t kMaxPackageSize = 0xFFFFFFFFull;

// Command-line options: "--name value" for value options, "--name" for flags.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> values;

    bool Has(const std::string& name) const { return values.count(name) != 0; }
    std::string Get(const std::string& name) const { return Has(name) ? values.at(name) : std::string(); }
};

Arguments Parse(const std::vector<std::string>& args, const std::vector<std::string>& valueOptions,
                const std::vector<std::string>& flags) {
    Arguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            const std::string name = arg.substr(arg.find_first_not_of('-'));
            if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
                parsed.values[name] = "";
            } else if (std::find(valueOptions.begin(), valueOptions.end(), name) != valueOptions.end()) {
                if (i + 1 >= args.size()) throw UsageError("option " + arg + " needs a value");
                if (parsed.Has(name)) throw UsageError("option " + arg + " given twice");
                parsed.values[name] = args[++i];
            } else {
                throw UsageError("unknown option " + arg);
            }
        } else {
            parsed.positional.push_back(arg);
        }
    }
    return parsed;
}

Bytes ReadWholeFile(const std::string& path, const char* what) {
    InputFile file(path);
    if (file.Size() > static_cast<std::uint64_t>(trailer::kMaxBlobSize))
        throw Failure(std::string(what) + " " + path + " is over the launcher's limit of 20 MiB");
    return file.Read(0, static_cast<std::size_t>(file.Size()));
}

void WriteFile(const std::string& path, const Bytes& bytes, std::ostream& out) {
    Output output(path, out);
    output.Write(bytes.data(), bytes.size());
    output.Commit();
}

// A package as the launcher finds it, with the format errors it would raise.
struct Package {
    ImageLayout layout;
    PeHeaders headers;
    std::uint32_t signatureLength = 0;  // dwLength of the WIN_CERTIFICATE
    CertificateTable Table() const { return {layout.certificateOffset, layout.certificateSize}; }
};

Package OpenPackage(InputFile& file) {
    Package package;
    package.headers = ReadPeHeaders(file);
    package.layout = ReadImageLayout(file, [&] { return file.Size(); });
    const Bytes header = file.Read(package.layout.certificateOffset, kWinCertificateHeader);
    if (header.size() == kWinCertificateHeader) package.signatureLength = *LittleEndianView(header).U32(0);
    return package;
}

// The trailer, when the file carries one.
std::optional<PackageTrailer> FindTrailer(InputFile& file, const CertificateTable& table) {
    try {
        return ReadTrailer(file, table);
    } catch (const PeFormatException&) {
        return std::nullopt;
    }
}

// A copy of the file's first bytes up to copyEnd, with the security entry's
// size set to tableSize.
void CopyWithTableSize(InputFile& file, const Package& package, std::uint64_t copyEnd, std::uint32_t tableSize,
                       Output& output) {
    const std::uint64_t field = SecurityEntryPosition(package.headers.lfanew) + 4;
    Bytes headers = file.Read(0, static_cast<std::size_t>(field + 4));
    if (headers.size() != field + 4) throw Failure("the input ended early");
    PutU32(headers, static_cast<std::size_t>(field), tableSize);
    output.Write(headers.data(), headers.size());
    output.Append(file, headers.size(), copyEnd - headers.size());
}

// The size of the table as it was signed: behind it only per-download data.
std::uint32_t SignedTableSize(InputFile& file, const Package& package, bool replace) {
    const std::uint32_t length = package.signatureLength;
    if (length < kWinCertificateHeader || length > package.layout.certificateSize)
        throw Failure("the signature entry's length (" + std::to_string(length) + ") does not fit the certificate table");
    if (length == package.layout.certificateSize) return length;
    const std::optional<PackageTrailer> trailer = FindTrailer(file, package.Table());
    if (!trailer)
        throw Failure("the certificate table holds " + std::to_string(package.layout.certificateSize - length) +
                      " bytes behind the signature entry that are no per-download data");
    if (!replace) throw Failure("the package already carries per-download data (use --replace, or qpk strip)");
    if (static_cast<std::uint32_t>(trailer->signatureSize) != length)
        throw Failure("the trailer's signature size does not match the signature entry");
    return length;
}

const char* kBuildHelp =
    "usage: qpk build --launcher LAUNCHER --payload INSTALLER -o OUT\n"
    "Writes the bare launcher image followed by the installer: the package to sign.\n";

int Build(const Arguments& args, std::ostream& out) {
    if (!args.positional.empty() || !args.Has("launcher") || !args.Has("payload") || !args.Has("o"))
        throw UsageError("build needs --launcher, --payload and -o");
    InputFile launcher(args.Get("launcher"));
    PeHeaders headers;
    try {
        headers = ReadPeHeaders(launcher);
    } catch (const PeFormatException& error) {
        throw Failure("the launcher " + launcher.Path() + " is not usable: " + error.what());
    }
    if (headers.certificateOffset != 0 || headers.certificateSize != 0)
        throw Failure("the launcher is signed: build from the bare image, and sign the package");
    const std::uint64_t imageEnd = FindImageEnd(launcher, headers, launcher.Size());
    if (imageEnd != launcher.Size())
        throw Failure("the launcher has " + std::to_string(launcher.Size() - imageEnd) +
                      " bytes behind its image end: use the bare image");
    InputFile payload(args.Get("payload"));
    try {
        ReadPeHeaders(payload);
    } catch (const PeFormatException& error) {
        // A 64-bit installer is a PE file too; the launcher only starts it.
        if (std::string(error.what()) != image_messages::kNotPe32)
            throw Failure("the payload " + payload.Path() + " is not a PE file: " + error.what());
    }
    if (payload.Size() == 0 || launcher.Size() + payload.Size() >= kMaxPackageSize)
        throw Failure("the package would not stay below 4 GiB");
    Output output(args.Get("o"), out);
    output.Append(launcher, 0, launcher.Size());
    output.Append(payload, 0, payload.Size());
    output.Commit();
    return 0;
}

const char* kStampHelp =
    "usage: qpk stamp PACKAGE -o OUT [--params FILE | --params-text BASE64] [--picture FILE] [--icon FILE]\n"
    "                 [--format 1|2] [--replace]\n"
    "Appends per-download data behind the signature of a signed package. OUT may be - (standard output).\n"
    "Version 2 when a picture or an icon is given or --format 2, else version 1. --replace strips earlier data.\n";

int Stamp(const Arguments& args, std::ostream& out) {
    if (args.positional.size() != 1 || !args.Has("o")) throw UsageError("stamp needs PACKAGE and -o");
    if (args.Has("params") && args.Has("params-text")) throw UsageError("give --params or --params-text, not both");
    const std::string format = args.Has("format") ? args.Get("format") : "";
    if (!format.empty() && format != "1" && format != "2") throw UsageError("--format is 1 or 2");
    const bool blobs = args.Has("picture") || args.Has("icon");
    if (format == "1" && blobs) throw Failure("a version 1 package carries no picture and no icon");
    const int version = blobs || format == "2" ? 2 : 1;

    std::string text;
    if (args.Has("params")) {
        text = Base64Encode(ReadWholeFile(args.Get("params"), "the parameters file"));
    } else if (args.Has("params-text")) {
        text = args.Get("params-text");
        // The launcher decodes up to the first byte outside the alphabet: only pads may follow.
        const std::size_t stop = text.find_first_not_of(kBase64Alphabet);
        if (stop != std::string::npos && text.find_first_not_of('=', stop) != std::string::npos)
            throw Failure("the parameters text is not Base64: the launcher would stop decoding at character " +
                          std::to_string(stop));
    }
    if (text.size() > static_cast<std::size_t>(trailer::kMaxBlobSize))
        throw Failure("the parameters text is over the launcher's limit of 20 MiB");
    const Bytes picture = args.Has("picture") ? ReadWholeFile(args.Get("picture"), "the picture") : Bytes();
    const Bytes icon = args.Has("icon") ? ReadWholeFile(args.Get("icon"), "the icon") : Bytes();

    InputFile file(args.positional[0]);
    const Package package = OpenPackage(file);
    const std::uint32_t signedSize = SignedTableSize(file, package, args.Has("replace"));

    PackageTrailer trailer;
    trailer.version = version;
    trailer.signatureSize = static_cast<std::int32_t>(signedSize);
    trailer.paramsSize = static_cast<std::int32_t>(text.size());
    trailer.iconSize = static_cast<std::int32_t>(icon.size());
    trailer.pictureSize = static_cast<std::int32_t>(picture.size());
    const Bytes encoded = EncodeTrailer(trailer);
    const std::uint64_t tableSize = std::uint64_t{signedSize} + icon.size() + picture.size() + text.size() + encoded.size();
    const std::uint64_t signedEnd = std::uint64_t{package.layout.certificateOffset} + signedSize;
    if (package.layout.certificateOffset + tableSize >= kMaxPackageSize)
        throw Failure("the stamped package would not stay below 4 GiB");

    Output output(args.Get("o"), out);
    CopyWithTableSize(file, package, signedEnd, static_cast<std::uint32_t>(tableSize), output);
    output.Write(icon.data(), icon.size());
    output.Write(picture.data(), picture.size());
    output.Write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    output.Write(encoded.data(), encoded.size());
    output.Commit();
    return 0;
}

const char* kStripHelp =
    "usage: qpk strip PACKAGE -o OUT\n"
    "Removes the per-download data: OUT is the package as it was signed.\n";

int Strip(const Arguments& args, std::ostream& out) {
    if (args.positional.size() != 1 || !args.Has("o")) throw UsageError("strip needs PACKAGE and -o");
    InputFile file(args.positional[0]);
    const Package package = OpenPackage(file);
    if (package.signatureLength == package.layout.certificateSize)
        throw Failure("the package carries no per-download data");
    const std::uint32_t signedSize = SignedTableSize(file, package, true);
    Output output(args.Get("o"), out);
    CopyWithTableSize(file, package, std::uint64_t{package.layout.certificateOffset} + signedSize, signedSize, output);
    output.Commit();
    return 0;
}

std::string JsonString(const std::string& text) {
    std::ostringstream json;
    json << '"';
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            json << '\\' << c;
        } else if (c < 0x20 || c == 0x7F) {
            const char* hex = "0123456789abcdef";
            json << "\\u00" << hex[c >> 4] << hex[c & 0xF];
        } else {
            json << c;
        }
    }
    json << '"';
    return json.str();
}

const char* kInspectHelp =
    "usage: qpk inspect PACKAGE [--json]\n"
    "Shows the layout, the trailer and the decoded parameters, checked with the launcher's own rules.\n"
    "Exit status 0 when the launcher would accept the package, 1 with the launcher's message otherwise.\n";

int Inspect(const Arguments& args, std::ostream& out) {
    if (args.positional.size() != 1) throw UsageError("inspect needs PACKAGE");
    InputFile file(args.positional[0]);
    std::vector<std::pair<std::string, std::string>> fields;  // name, JSON value
    auto number = [&](const std::string& name, std::int64_t value) { fields.emplace_back(name, std::to_string(value)); };
    std::string message;
    try {
        const Package package = OpenPackage(file);
        number("fileSize", static_cast<std::int64_t>(file.Size()));
        number("imageEnd", package.layout.payloadOffset);
        number("payloadOffset", package.layout.payloadOffset);
        number("payloadSize", package.layout.payloadSize);
        number("certificateOffset", package.layout.certificateOffset);
        number("certificateSize", package.layout.certificateSize);
        number("signatureLength", package.signatureLength);
        const PackageTrailer trailer = ReadTrailer(file, package.Table());
        number("version", trailer.version);
        number("signatureSize", trailer.signatureSize);
        number("paramsSize", trailer.paramsSize);
        if (trailer.version == 2) {
            number("pictureSize", trailer.pictureSize);
            number("iconSize", trailer.iconSize);
        }
        std::int32_t version = 0;
        const Bytes params = ReadParams(file, package.Table(), version);
        fields.emplace_back("params", JsonString(std::string(params.begin(), params.end())));
        if (version == 2) {
            PictureRegion(trailer, package.Table());
            IconRegion(trailer, package.Table());
        }
    } catch (const PeFormatException& error) {
        message = error.what();
    }
    if (args.Has("json")) {
        out << "{\"accepted\": " << (message.empty() ? "true" : "false");
        if (!message.empty()) out << ", \"message\": " << JsonString(message);
        for (const auto& [name, value] : fields) out << ", \"" << name << "\": " << value;
        out << "}\n";
    } else {
        for (const auto& [name, value] : fields) out << name << ": " << value << "\n";
        out << (message.empty() ? "the launcher accepts this package" : "the launcher refuses this package: " + message)
            << "\n";
    }
    return message.empty() ? 0 : 1;
}

const char* kExtractHelp =
    "usage: qpk extract PACKAGE [--payload FILE] [--params FILE] [--picture FILE] [--icon FILE]\n"
    "Writes the installer, the decoded parameters, the picture or the icon to the files named.\n";

int Extract(const Arguments& args, std::ostream& out) {
    if (args.positional.size() != 1) throw UsageError("extract needs PACKAGE");
    if (!args.Has("payload") && !args.Has("params") && !args.Has("picture") && !args.Has("icon"))
        throw UsageError("extract needs at least one of --payload, --params, --picture, --icon");
    InputFile file(args.positional[0]);
    const Package package = OpenPackage(file);
    if (args.Has("payload")) {
        Output output(args.Get("payload"), out);
        output.Append(file, package.layout.payloadOffset, static_cast<std::uint64_t>(package.layout.payloadSize));
        output.Commit();
    }
    if (args.Has("params")) {
        std::int32_t version = 0;
        WriteFile(args.Get("params"), ReadParams(file, package.Table(), version), out);
    }
    const struct {
        const char* option;
        Region (*regionOf)(const PackageTrailer&, const CertificateTable&);
    } blobs[] = {{"picture", PictureRegion}, {"icon", IconRegion}};
    for (const auto& blob : blobs) {
        if (!args.Has(blob.option)) continue;
        const Region region = blob.regionOf(ReadTrailer(file, package.Table()), package.Table());
        WriteFile(args.Get(blob.option), ReadRegion(file, region), out);
    }
    return 0;
}

struct Command {
    const char* name;
    const char* help;
    std::vector<std::string> valueOptions;
    std::vector<std::string> flags;
    int (*run)(const Arguments&, std::ostream&);
};

const Command kCommands[] = {
    {"build", kBuildHelp, {"launcher", "payload", "o"}, {}, Build},
    {"stamp", kStampHelp, {"o", "params", "params-text", "picture", "icon", "format"}, {"replace"}, Stamp},
    {"strip", kStripHelp, {"o"}, {}, Strip},
    {"inspect", kInspectHelp, {}, {"json"}, Inspect},
    {"extract", kExtractHelp, {"payload", "params", "picture", "icon"}, {}, Extract},
};

const char* kHelp =
    "usage: qpk COMMAND [ARGS]\n"
    "Puts launcher packages together and takes them apart.\n"
    "  build     the launcher image followed by an installer, ready to sign\n"
    "  stamp     per-download data into a signed package\n"
    "  strip     the per-download data out again\n"
    "  inspect   the layout and data, checked as the launcher checks them\n"
    "  extract   the installer, parameters, picture or icon\n"
    "Run qpk COMMAND --help for a command's options.\n";

}  // namespace

int RunQpk(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        (args.empty() ? err : out) << kHelp;
        return args.empty() ? 2 : 0;
    }
    for (const Command& command : kCommands) {
        if (args[0] != command.name) continue;
        const std::vector<std::string> rest(args.begin() + 1, args.end());
        if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
            out << command.help;
            return 0;
        }
        try {
            return command.run(Parse(rest, command.valueOptions, command.flags), out);
        } catch (const UsageError& error) {
            err << "qpk " << command.name << ": " << error.what() << " (see qpk " << command.name << " --help)\n";
            return 2;
        } catch (const std::exception& error) {
            err << "qpk " << command.name << ": " << error.what() << "\n";
            return 1;
        }
    }
    err << "qpk: unknown command " << args[0] << "\n" << kHelp;
    return 2;
}

}  // namespace qpk
