#include "Options.h"

#include <getopt.h>

namespace qpk {

namespace {

// getopt_long returns this plus the option's index for a long option.
constexpr int kLongBase = 256;

// How an option is spelled in a message: as given, short or long.
std::string Spelling(int code, const OptionDef& def) {
    return code < kLongBase ? std::string("-") + static_cast<char>(code) : "--" + def.name;
}

}  // namespace

Arguments ParseArguments(const std::vector<std::string>& args, const std::vector<OptionDef>& options) {
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.push_back("qpk");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : storage) argv.push_back(arg.data());
    argv.push_back(nullptr);

    std::vector<option> longOptions;
    // "-": positional arguments come back in order, as code 1, whatever
    // POSIXLY_CORRECT says; ":": a missing value comes back as ':'.
    std::string shortOptions = "-:";
    for (std::size_t i = 0; i < options.size(); ++i) {
        longOptions.push_back({options[i].name.c_str(), options[i].takesValue ? required_argument : no_argument,
                               nullptr, kLongBase + static_cast<int>(i)});
        if (options[i].shortName != 0) {
            shortOptions += options[i].shortName;
            if (options[i].takesValue) shortOptions += ':';
        }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    auto byCode = [&](int code) -> const OptionDef* {
        if (code >= kLongBase && code - kLongBase < static_cast<int>(options.size())) return &options[code - kLongBase];
        for (const OptionDef& def : options)
            if (def.shortName != 0 && def.shortName == code) return &def;
        return nullptr;
    };

    Arguments parsed;
    const int argc = static_cast<int>(argv.size() - 1);
    optind = 0;  // glibc: start afresh
    opterr = 0;  // the messages are ours
    for (;;) {
        const int code = getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), nullptr);
        if (code == -1) break;
        if (code == 1) {
            parsed.positional.push_back(optarg);
            continue;
        }
        const std::string given = argv[optind - 1];
        if (code == ':') {
            const OptionDef* def = byCode(optopt);
            throw UsageError("option " + (def != nullptr ? Spelling(optopt, *def) : given) + " needs a value");
        }
        if (code == '?') {
            // A flag given a value reports the flag; anything else is unknown
            // (or an ambiguous abbreviation).
            const OptionDef* def = byCode(optopt);
            if (def != nullptr) throw UsageError("option " + Spelling(optopt, *def) + " takes no value");
            if (optopt != 0) throw UsageError(std::string("unknown option -") + static_cast<char>(optopt));
            throw UsageError("unknown option " + given);
        }
        const OptionDef* def = byCode(code);
        if (def == nullptr) throw UsageError("unknown option " + given);
        if (parsed.Has(def->name) && !def->repeatable)
            throw UsageError("option " + Spelling(code, *def) + " given twice");
        parsed.values[def->name] = def->takesValue ? optarg : "";
        if (def->repeatable) parsed.repeated[def->name].push_back(parsed.values[def->name]);
    }
    for (int i = optind; i < argc; ++i) parsed.positional.push_back(argv[i]);
    return parsed;
}

}  // namespace qpk
