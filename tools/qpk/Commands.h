#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace qpk {

// Runs one qpk command line (without the program name). Output goes to out,
// messages to err. Returns the exit status: 0 on success, 1 on failure, 2 for
// a usage error.
int RunQpk(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace qpk
