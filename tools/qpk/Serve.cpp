#include "Serve.h"

#include <arpa/inet.h>

#include <algorithm>
#include <set>
#include <thread>

#include "Downloads.h"
#include "Server.h"

namespace qpk {

const char* const kServeHelp =
    "usage: qpk serve --listen ADDR:PORT --hmac-key-file FILE --package NAME=SIGNED.exe [--package ...]\n"
    "                 [--picture ID=FILE ...] [--icon ID=FILE ...] [--max-age SECONDS]\n"
    "                 [--threads N] [--timeout SECONDS] [--drain-timeout SECONDS]\n"
    "Serves per-download packages over HTTP, stamped as qpk stamp stamps them:\n"
    "  GET /NAME?params=BASE64URL&ts=UNIX_SECONDS&sig=HEX[&picture=ID][&icon=ID]\n"
    "sig is the HMAC-SHA256, keyed with the key file's bytes less one trailing newline, of the text\n"
    "\"PARAMS.TS\" as it stands in the link. A link is good from ts for --max-age seconds (default 86400).\n"
    "A picture or icon makes the package version 2. HEAD, If-None-Match, If-Range and single byte ranges\n"
    "are answered. Errors: 400 malformed request, 403 bad signature or time, 404 unknown package, picture\n"
    "or icon, 405 other methods, 413 parameters over 32 KiB, 416 bad range, 431 headers over 64 KiB.\n"
    "ADDR is a literal IPv4 address or a bracketed IPv6 one; PORT 0 takes a free port. --threads (default:\n"
    "one per core); --timeout: how long a client may leave a request or a download without progress\n"
    "(default 30); --drain-timeout: how long downloads may go on after SIGTERM or SIGINT (default 30).\n";

std::vector<OptionDef> ServeOptions() {
    return {{"help", 0, false},          {"listen", 0, true},        {"hmac-key-file", 0, true},
            {"package", 0, true, true},  {"picture", 0, true, true}, {"icon", 0, true, true},
            {"max-age", 0, true},        {"threads", 0, true},       {"timeout", 0, true},
            {"drain-timeout", 0, true}};
}

namespace {

// A whole number within [least, most] given to option.
long Number(const Arguments& args, const std::string& option, long fallback, long least, long most) {
    if (!args.Has(option)) return fallback;
    const std::string text = args.Get(option);
    if (text.empty() || text.size() > 9 || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        throw UsageError("--" + option + " takes a whole number");
    const long value = std::stol(text);
    if (value < least || value > most)
        throw UsageError("--" + option + " is from " + std::to_string(least) + " to " + std::to_string(most));
    return value;
}

// "NAME=FILE" split, with NAME checked.
std::pair<std::string, std::string> Assignment(const std::string& option, const std::string& value) {
    const std::size_t equals = value.find('=');
    if (equals == std::string::npos || equals + 1 == value.size())
        throw UsageError("--" + option + " takes NAME=FILE");
    const std::string name = value.substr(0, equals);
    if (!serve::ValidName(name))
        throw UsageError("--" + option + ": the name " + name + " is not 1 to 128 of A-Z a-z 0-9 . _ -");
    return {name, value.substr(equals + 1)};
}

void ParseListen(const std::string& text, serve::ServerSettings& settings) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) throw UsageError("--listen takes ADDR:PORT");
    std::string address = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
        address = address.substr(1, address.size() - 2);
        in6_addr parsed;
        if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1) throw UsageError("--listen: not an IPv6 address");
    } else {
        in_addr parsed;
        if (inet_pton(AF_INET, address.c_str(), &parsed) != 1)
            throw UsageError("--listen: ADDR is an IPv4 address or a bracketed IPv6 one");
    }
    if (port.empty() || port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stol(port) > 65535)
        throw UsageError("--listen: PORT is from 0 to 65535");
    settings.address = address;
    settings.port = static_cast<std::uint16_t>(std::stol(port));
}

}  // namespace

int RunServe(const Arguments& args, std::ostream& out, std::ostream& err) {
    if (!args.positional.empty()) throw UsageError("serve takes no file names but through its options");
    if (!args.Has("listen") || !args.Has("hmac-key-file") || !args.Has("package"))
        throw UsageError("serve needs --listen, --hmac-key-file and at least one --package");
    serve::ServerSettings settings;
    ParseListen(args.Get("listen"), settings);
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    settings.threads = static_cast<unsigned>(Number(args, "threads", cores, 1, 256));
    settings.timeout = std::chrono::seconds(Number(args, "timeout", 30, 1, 86400));
    settings.drainTimeout = std::chrono::seconds(Number(args, "drain-timeout", 30, 0, 86400));

    serve::Catalog catalog;
    catalog.maxAge = Number(args, "max-age", 86400, 1, 100000000);
    // Every name is checked before the first file is read.
    for (const char* option : {"package", "picture", "icon"}) {
        std::set<std::string> names;
        for (const std::string& value : args.All(option))
            if (!names.insert(Assignment(option, value).first).second)
                throw UsageError(std::string("--") + option + ": a name is given twice");
    }
    catalog.key = serve::ReadKeyFile(args.Get("hmac-key-file"));
    for (const std::string& value : args.All("package")) {
        auto [name, path] = Assignment("package", value);
        catalog.packages.emplace(name, serve::LoadPackage(name, path));
    }
    for (const std::string& value : args.All("picture")) {
        auto [name, path] = Assignment("picture", value);
        catalog.pictures.emplace(name, serve::LoadBlob(path, "picture"));
    }
    for (const std::string& value : args.All("icon")) {
        auto [name, path] = Assignment("icon", value);
        catalog.icons.emplace(name, serve::LoadBlob(path, "icon"));
    }

    serve::RunServer(catalog, settings, err, [&out](const std::string& address) {
        out << "qpk serve: listening on " << address << std::endl;
    });
    return 0;
}

}  // namespace qpk
