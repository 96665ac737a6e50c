#pragma once

// The `qpk serve` command: per-download packages over HTTP.

#include <ostream>
#include <vector>

#include "Options.h"

namespace qpk {

extern const char* const kServeHelp;

// The options `qpk serve` takes.
std::vector<OptionDef> ServeOptions();

// Loads the key, packages, pictures and icons the arguments name, prints
// "qpk serve: listening on ADDR:PORT" to out and serves until SIGTERM or
// SIGINT. Returns 0 once stopped. Raises UsageError for bad arguments and
// std::runtime_error when a file cannot be loaded or the address not bound.
int RunServe(const Arguments& args, std::ostream& out, std::ostream& err);

}  // namespace qpk
