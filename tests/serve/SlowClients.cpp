// slow_clients PORT TARGET CONNECTIONS BYTES_PER_SECOND SECONDS: that many GET
// requests for TARGET on 127.0.0.1:PORT at once, each read at no more than
// BYTES_PER_SECOND, for SECONDS. Prints how many connections were made, how
// many the server closed and the bytes read. For the benchmark of qpk serve.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Files.h"

using namespace qpk;

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: slow_clients PORT TARGET CONNECTIONS BYTES_PER_SECOND SECONDS\n");
        return 2;
    }
    const auto port = static_cast<unsigned short>(std::atoi(argv[1]));
    const std::string request = std::string("GET ") + argv[2] + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    const int count = std::atoi(argv[3]);
    const long rate = std::atol(argv[4]);
    const auto duration = std::chrono::seconds(std::atoi(argv[5]));
    constexpr auto kTick = std::chrono::milliseconds(100);
    const auto perTick = static_cast<std::size_t>(rate / 10);

    rlimit limit = {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    std::vector<qpk::Descriptor> connections;
    for (int i = 0; i < count; ++i) {
        qpk::Descriptor fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        // A small window: the server's sends stall as a slow line's would.
        const int buffer = 16384;
        setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            std::fprintf(stderr, "slow_clients: connection %d failed: %s\n", i, std::strerror(errno));
            return 1;
        }
        connections.push_back(std::move(fd));
    }

    std::vector<char> scrap(perTick > 0 ? perTick : 1);
    std::vector<bool> open(connections.size(), true);
    std::uint64_t bytes = 0;
    std::size_t closed = 0;
    const auto end = std::chrono::steady_clock::now() + duration;
    for (auto next = std::chrono::steady_clock::now(); next < end; next += kTick) {
        std::this_thread::sleep_until(next);
        for (std::size_t i = 0; i < connections.size(); ++i) {
            if (!open[i]) continue;
            const ssize_t got = recv(connections[i].Get(), scrap.data(), perTick, MSG_DONTWAIT);
            if (got > 0) bytes += static_cast<std::uint64_t>(got);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                open[i] = false;
                ++closed;
            }
        }
    }
    std::printf("connections %zu closed %zu bytes %llu\n", connections.size(), closed,
                static_cast<unsigned long long>(bytes));
    return 0;
}
