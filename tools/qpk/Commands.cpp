#include "Commands.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

#include "Base64.h"
#include "Files.h"
#include "ImageLayout.h"
#include "LauncherVerdict.h"
#include "Options.h"
#include "PackageTrailer.h"
#include "PeFormatException.h"
#include "Serve.h"
#include "SignedPackage.h"
#include "Verify.h"

namespace qpk {

namespace {

using Bytes = std::vector<std::uint8_t>;
using Json = nlohmann::ordered_json;

// A failure of the command: reported on one line, status 1.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where a command writes: out for its output, err for warnings.
struct Streams {
    std::ostream& out;
    std::ostream& err;
};

// Data files (parameters, picture, icon) take the package's mode without its
// execute bits.
constexpr mode_t kDataModeMask = 0666;

Bytes ReadWholeFile(const std::string& path, const char* what) {
    InputFile file(path);
    if (file.Size() > static_cast<std::uint64_t>(trailer::kMaxBlobSize))
        throw Failure(std::string(what) + " " + path + " is over the launcher's limit of 20 MiB");
    return file.Read(0, static_cast<std::size_t>(file.Size()));
}

// Writes what a plan describes: the kept bytes of file with the size field
// set, then the tail.
void WritePlan(InputFile& file, const EditPlan& plan, Output& output) {
    const Bytes head = PlannedHead(file, plan);
    output.Write(head.data(), head.size());
    output.Append(file, head.size(), plan.keep - head.size());
    for (const Bytes& piece : plan.tail) output.Write(piece.data(), piece.size());
}

const char* kBuildHelp =
    "usage: qpk build --launcher LAUNCHER --payload INSTALLER -o OUT [--pad]\n"
    "Writes the bare launcher image followed by the installer: the package to sign.\n"
    "Refuses a payload the launcher would refuse once the package is signed and stamped. When the package\n"
    "does not end on an 8-byte boundary, signing adds up to 7 zero bytes, which the launcher extracts as part\n"
    "of the installer: build says so, and --pad appends them now.\n";

int Build(const Arguments& args, Streams streams) {
    if (!args.positional.empty() || !args.Has("launcher") || !args.Has("payload") || !args.Has("output"))
        throw UsageError("build needs --launcher, --payload and -o");
    InputFile launcher(args.Get("launcher"));
    PeHeaders headers;
    std::uint64_t imageEnd = 0;
    try {
        headers = ReadPeHeaders(launcher);
        if (headers.certificateOffset != 0 || headers.certificateSize != 0)
            throw Failure("the launcher is signed: build from the bare image, and sign the package");
        imageEnd = FindImageEnd(launcher, headers, launcher.Size());
    } catch (const PeFormatException& error) {
        throw Failure("the launcher " + launcher.Path() + " is not usable: " + error.what());
    }
    if (imageEnd > launcher.Size())
        throw Failure("the launcher " + launcher.Path() + " is truncated: its image ends at " +
                      std::to_string(imageEnd) + ", but the file has " + std::to_string(launcher.Size()) + " bytes");
    if (imageEnd < launcher.Size())
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
    const BuildPlan plan = PlanBuild(imageEnd, payload.Size(), args.Has("pad"));
    Output output(args.Get("output"), streams.out, launcher.Mode());
    output.Append(launcher, 0, launcher.Size());
    output.Append(payload, 0, payload.Size());
    const Bytes padding(plan.padding, 0);
    output.Write(padding.data(), padding.size());
    output.Commit();
    if (plan.alignmentGap != 0)
        streams.err << "qpk build: warning: the package does not end on an 8-byte boundary: signing will add "
                    << plan.alignmentGap << " zero bytes, which the launcher extracts as the end of the installer "
                    << "(--pad adds them now)\n";
    return 0;
}

const char* kStampHelp =
    "usage: qpk stamp PACKAGE -o OUT [--params FILE | --params-text BASE64] [--picture FILE] [--icon FILE]\n"
    "                 [--format 1|2] [--replace]\n"
    "Appends per-download data behind the signature of a signed package. OUT may be - (standard output).\n"
    "Version 2 when a picture or an icon is given or --format 2, else version 1. --replace strips earlier data.\n";

int Stamp(const Arguments& args, Streams streams) {
    if (args.positional.size() != 1 || !args.Has("output")) throw UsageError("stamp needs PACKAGE and -o");
    if (args.Has("params") && args.Has("params-text")) throw UsageError("give --params or --params-text, not both");
    const std::string format = args.Get("format");
    if (args.Has("format") && format != "1" && format != "2") throw UsageError("--format is 1 or 2");

    PerDownloadData data;
    data.version = args.Has("picture") || args.Has("icon") || format == "2" ? 2 : 1;
    if (format == "1") data.version = 1;
    std::string text;  // the parameters as they are stored: Base64
    if (args.Has("params")) {
        text = Base64Encode(ReadWholeFile(args.Get("params"), "the parameters file"));
    } else if (args.Has("params-text")) {
        text = args.Get("params-text");
        if (!Base64DecodesWhole(text)) {
            const std::size_t stop = Base64StopIndex(text);
            if (stop % 4 == 1 && text.find_first_not_of('=', stop) == std::string::npos)
                throw Failure("the parameters text is not Base64: the launcher would drop its last character");
            throw Failure("the parameters text is not Base64: the launcher would stop decoding at character " +
                          std::to_string(stop));
        }
    }
    data.paramsText.assign(text.begin(), text.end());
    if (args.Has("picture")) data.picture = ReadWholeFile(args.Get("picture"), "the picture");
    if (args.Has("icon")) data.icon = ReadWholeFile(args.Get("icon"), "the icon");

    InputFile file(args.positional[0]);
    const SignedPackage package = ReadSignedPackage(file, file.Size());
    if (package.Stamped() && !args.Has("replace"))
        throw Failure("the package already carries per-download data (use --replace, or qpk strip)");
    // Every check is made before the first byte is written, also to standard output.
    const EditPlan plan = PlanStamp(package, std::move(data));
    Output output(args.Get("output"), streams.out, file.Mode());
    WritePlan(file, plan, output);
    output.Commit();
    return 0;
}

const char* kStripHelp =
    "usage: qpk strip PACKAGE -o OUT\n"
    "Removes the per-download data: OUT is the package as it was signed. OUT may be - (standard output).\n";

int Strip(const Arguments& args, Streams streams) {
    if (args.positional.size() != 1 || !args.Has("output")) throw UsageError("strip needs PACKAGE and -o");
    InputFile file(args.positional[0]);
    const SignedPackage package = ReadSignedPackage(file, file.Size());
    if (!package.Stamped()) throw Failure("the package carries no per-download data");
    const EditPlan plan = PlanStrip(package);
    Output output(args.Get("output"), streams.out, file.Mode());
    WritePlan(file, plan, output);
    output.Commit();
    return 0;
}

// The parameters as a JSON string when they are UTF-8 text, else as padded
// Base64; the encoding goes into fields as "paramsEncoding".
void AddParams(Json& fields, const Bytes& params) {
    const std::string text(params.begin(), params.end());
    try {
        // The strict dump refuses invalid UTF-8.
        static_cast<void>(Json(text).dump());
        fields["params"] = text;
        fields["paramsEncoding"] = "utf-8";
    } catch (const Json::type_error&) {
        fields["params"] = Base64Encode(params, true);
        fields["paramsEncoding"] = "base64";
    }
}

const char* kInspectHelp =
    "usage: qpk inspect PACKAGE [--json]\n"
    "Shows the layout, the trailer and the decoded parameters, checked with the launcher's own rules and\n"
    "the signed package's structure. Exit status 0 when the launcher would accept the package and its\n"
    "structure is sound, 1 with the first message otherwise. The parameters are shown as text when they\n"
    "are UTF-8, else as Base64 (paramsEncoding says which).\n";

int Inspect(const Arguments& args, Streams streams) {
    if (args.positional.size() != 1) throw UsageError("inspect needs PACKAGE");
    InputFile file(args.positional[0]);
    Json fields = Json::object();
    // The verdict is the launcher's own; the fields show as much as could be read.
    const std::string launcherMessage = JudgeAsLauncher(file, file.Size()).message;
    try {
        const ImageLayout layout = ReadImageLayout(file, [&] { return file.Size(); });
        const CertificateTable table{layout.certificateOffset, layout.certificateSize};
        fields["fileSize"] = file.Size();
        fields["imageEnd"] = layout.payloadOffset;
        fields["payloadOffset"] = layout.payloadOffset;
        fields["payloadSize"] = layout.payloadSize;
        fields["certificateOffset"] = layout.certificateOffset;
        fields["certificateSize"] = layout.certificateSize;
        const PackageTrailer trailer = ReadTrailer(file, table);
        fields["version"] = trailer.version;
        fields["signatureSize"] = trailer.signatureSize;
        fields["paramsSize"] = trailer.paramsSize;
        if (trailer.version == 2) {
            fields["pictureSize"] = trailer.pictureSize;
            fields["iconSize"] = trailer.iconSize;
        }
        std::int32_t version = 0;
        AddParams(fields, ReadParams(file, table, version));
    } catch (const PeFormatException&) {
        // what could not be read is left out; the verdict says why
    }
    std::string structureMessage;
    try {
        const SignedPackage package = ReadSignedPackage(file, file.Size());
        fields["signatureLength"] = package.signatureLength;
        fields["signedTableSize"] = package.signedTableSize;
    } catch (const PeFormatException& error) {
        structureMessage = error.what();
    }

    const bool accepted = launcherMessage.empty() && structureMessage.empty();
    if (args.Has("json")) {
        Json report;
        report["accepted"] = accepted;
        if (!accepted) report["message"] = launcherMessage.empty() ? structureMessage : launcherMessage;
        report["launcherAccepts"] = launcherMessage.empty();
        report.update(fields);
        streams.out << report.dump() << "\n";
    } else {
        for (const auto& [name, value] : fields.items()) streams.out << name << ": " << value.dump() << "\n";
        streams.out << (launcherMessage.empty() ? "the launcher accepts this package"
                                                : "the launcher refuses this package: " + launcherMessage)
                    << "\n";
        if (!structureMessage.empty()) streams.out << "the package is malformed: " << structureMessage << "\n";
    }
    return accepted ? 0 : 1;
}

const char* kExtractHelp =
    "usage: qpk extract PACKAGE [--payload FILE] [--params FILE] [--picture FILE] [--icon FILE]\n"
    "Writes the installer, the decoded parameters, the picture or the icon to the files named (- for standard\n"
    "output). All or nothing: every part is checked and written before any file appears under its name.\n";

int Extract(const Arguments& args, Streams streams) {
    if (args.positional.size() != 1) throw UsageError("extract needs PACKAGE");
    const char* parts[] = {"payload", "params", "picture", "icon"};
    std::set<std::string> paths;
    for (const char* part : parts) {
        if (!args.Has(part)) continue;
        if (!paths.insert(args.Get(part)).second) throw UsageError("the output " + args.Get(part) + " is named twice");
    }
    if (paths.empty()) throw UsageError("extract needs at least one of --payload, --params, --picture, --icon");

    InputFile file(args.positional[0]);
    const ImageLayout layout = ReadImageLayout(file, [&] { return file.Size(); });
    const CertificateTable table{layout.certificateOffset, layout.certificateSize};
    // Every part is read and checked before any output is opened.
    std::optional<Bytes> params, picture, icon;
    if (args.Has("params")) {
        std::int32_t version = 0;
        params = ReadParams(file, table, version);
    }
    if (args.Has("picture")) picture = ReadRegion(file, PictureRegion(ReadTrailer(file, table), table));
    if (args.Has("icon")) icon = ReadRegion(file, IconRegion(ReadTrailer(file, table), table));

    // Then every output is opened, so that a name that cannot be created
    // stops the command before anything is written, also to standard output.
    const struct {
        const char* option;
        const std::optional<Bytes>& bytes;
    } blobs[] = {{"params", params}, {"picture", picture}, {"icon", icon}};
    std::vector<std::unique_ptr<Output>> outputs;
    if (args.Has("payload"))
        outputs.push_back(std::make_unique<Output>(args.Get("payload"), streams.out, file.Mode()));
    for (const auto& blob : blobs)
        if (blob.bytes)
            outputs.push_back(
                std::make_unique<Output>(args.Get(blob.option), streams.out, file.Mode() & kDataModeMask));

    auto next = outputs.begin();
    if (args.Has("payload"))
        (*next++)->Append(file, layout.payloadOffset, static_cast<std::uint64_t>(layout.payloadSize));
    for (const auto& blob : blobs)
        if (blob.bytes) (*next++)->Write(blob.bytes->data(), blob.bytes->size());
    for (const auto& output : outputs) output->Prepare();
    for (const auto& output : outputs) output->Publish();
    return 0;
}

const char* kVerifyHelp =
    "usage: qpk verify PACKAGE [--ca FILE] [--json]\n"
    "Checks the package's Authenticode signature natively, stamped or not: the structure and the stamped data\n"
    "by the launcher's rules, the image hash against the signed digest, the PKCS #7 signature, the signer's\n"
    "chain against the certificates in FILE (PEM) or the system's store, and the CheckSum against the package\n"
    "as signed. Prints the signer and each check; exit status 0 only when every check holds.\n";

int Verify(const Arguments& args, Streams streams) {
    if (args.positional.size() != 1) throw UsageError("verify needs PACKAGE");
    InputFile file(args.positional[0]);
    const VerifyReport report = VerifyPackage(file, args.Get("ca"));
    if (args.Has("json")) {
        Json checks = Json::array();
        for (const VerifyCheck& check : report.checks)
            checks.push_back({{"check", check.name}, {"passed", check.passed}, {"detail", check.detail}});
        Json json;
        json["verified"] = report.Passed();
        json["signer"] = report.signer.empty() ? Json(nullptr) : Json(report.signer);
        json["checks"] = checks;
        // A subject that is not UTF-8 is shown with replacement characters.
        streams.out << json.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
    } else {
        streams.out << "signer: " << (report.signer.empty() ? "(none found)" : report.signer) << "\n";
        for (const VerifyCheck& check : report.checks)
            streams.out << check.name << ": " << (check.passed ? "passed" : "FAILED") << ": " << check.detail << "\n";
        streams.out << (report.Passed() ? "the package verifies" : "the package does not verify") << "\n";
    }
    return report.Passed() ? 0 : 1;
}

int Serve(const Arguments& args, Streams streams) { return RunServe(args, streams.out, streams.err); }

struct Command {
    const char* name;
    const char* help;
    std::vector<OptionDef> options;
    int (*run)(const Arguments&, Streams);
};

const OptionDef kHelpOption{"help", 0, false};
const OptionDef kOutputOption{"output", 'o', true};

const Command kCommands[] = {
    {"build", kBuildHelp, {kHelpOption, kOutputOption, {"launcher", 0, true}, {"payload", 0, true}, {"pad", 0, false}},
     Build},
    {"stamp", kStampHelp,
     {kHelpOption, kOutputOption, {"params", 0, true}, {"params-text", 0, true}, {"picture", 0, true},
      {"icon", 0, true}, {"format", 0, true}, {"replace", 0, false}},
     Stamp},
    {"strip", kStripHelp, {kHelpOption, kOutputOption}, Strip},
    {"inspect", kInspectHelp, {kHelpOption, {"json", 0, false}}, Inspect},
    {"extract", kExtractHelp,
     {kHelpOption, {"payload", 0, true}, {"params", 0, true}, {"picture", 0, true}, {"icon", 0, true}}, Extract},
    {"verify", kVerifyHelp, {kHelpOption, {"ca", 0, true}, {"json", 0, false}}, Verify},
    {"serve", kServeHelp, ServeOptions(), Serve},
};

const char* kHelp =
    "usage: qpk COMMAND [ARGS]\n"
    "Puts launcher packages together and takes them apart.\n"
    "  build     the launcher image followed by an installer, ready to sign\n"
    "  stamp     per-download data into a signed package\n"
    "  strip     the per-download data out again\n"
    "  inspect   the layout and data, checked as the launcher checks them\n"
    "  extract   the installer, parameters, picture or icon\n"
    "  verify    the signature, natively, stamped or not\n"
    "  serve     per-download packages over HTTP, stamped as they are sent\n"
    "Run qpk COMMAND --help for a command's options.\n";

// Output that could not be written is a failure, whatever the command said.
int Flushed(std::ostream& out, std::ostream& err, const std::string& who, int status) {
    out.flush();
    if (!out) {
        err << who << ": cannot write to standard output\n";
        return 1;
    }
    return status;
}

}  // namespace

int RunQpk(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) {
        err << kHelp;
        return 2;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        out << kHelp;
        return Flushed(out, err, "qpk", 0);
    }
    for (const Command& command : kCommands) {
        if (args[0] != command.name) continue;
        const std::string who = std::string("qpk ") + command.name;
        int status = 0;
        try {
            const Arguments parsed =
                ParseArguments(std::vector<std::string>(args.begin() + 1, args.end()), command.options);
            if (parsed.Has("help"))
                out << command.help;
            else
                status = command.run(parsed, {out, err});
        } catch (const UsageError& error) {
            err << who << ": " << error.what() << " (see qpk " << command.name << " --help)\n";
            return 2;
        } catch (const std::exception& error) {
            err << who << ": " << error.what() << "\n";
            return 1;
        }
        return Flushed(out, err, who, status);
    }
    err << "qpk: unknown command " << args[0] << "\n" << kHelp;
    return 2;
}

}  // namespace qpk
