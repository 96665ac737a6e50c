#pragma once

// The HTTP side of `qpk serve`: connections, request heads, responses sent
// with the signed bytes straight from the file, and the orderly stop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>

#include "Downloads.h"

namespace qpk::serve {

struct ServerSettings {
    std::string address;  // a literal IPv4 or IPv6 address
    std::uint16_t port = 0;  // 0: any free port
    unsigned threads = 1;
    // How long a connection may wait for a request head, and for each step
    // of a response (a peer that takes nothing for that long is dropped).
    std::chrono::seconds timeout{30};
    // How long downloads in flight may go on after SIGTERM or SIGINT.
    std::chrono::seconds drainTimeout{30};
};

// Serves catalog until SIGTERM or SIGINT, then stops accepting, closes idle
// connections, lets responses in flight finish for up to drainTimeout, closes
// what is left and returns. onListening receives the bound address ("ADDR:PORT")
// once connections are accepted. Messages for the operator go to log. Raises
// std::runtime_error when it cannot listen.
void RunServer(const Catalog& catalog, const ServerSettings& settings, std::ostream& log,
               const std::function<void(const std::string&)>& onListening);

}  // namespace qpk::serve
