// The network side: UDP name search and TCP circuits in one poll loop.
#pragma once

#include <cstdint>

namespace ca {

struct ServerConfig {
    const char* bind_addr = "127.0.0.1";
    uint16_t port = 0;     // 0: pick a free port
    bool verbose = false;  // log each request on stdout
};

// Binds, prints the ready line and serves until SIGINT or SIGTERM.
// Returns the process exit status (0 after a clean stop).
int run_server(const ServerConfig& config);

}  // namespace ca
