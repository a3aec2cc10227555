// The network side: UDP name search and TCP circuits in one poll loop.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ca {

struct ServerConfig {
    const char* bind_addr = "127.0.0.1";
    uint16_t port = 0;     // 0: pick a free port
    bool verbose = false;  // log each request on stdout
    int linger_ms = 0;     // close a circuit this long after its client ended it
};

// Answers one name-search datagram of len bytes from peer ("ADDR:PORT", for
// the log): VERSION first, then a SEARCH reply for each name served here and
// NOT_FOUND for the others when the search asks for one. Writes at most cap
// bytes to out; returns their number, 0 when nothing is to be sent back.
size_t answer_search(const uint8_t* in, size_t len, const char* peer, uint8_t* out, size_t cap);

// Binds, prints the ready line and serves until SIGINT or SIGTERM.
// Returns the process exit status (0 after a clean stop).
int run_server(const ServerConfig& config);

}  // namespace ca
