// ca_server: a small Channel Access server for tests and demos.
//   ca_server [-p PORT] [-b ADDR] [-v] PVFILE
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pv_store.h"
#include "server.h"

namespace {

int usage(const char* why)
{
    fprintf(stderr,
            "ca_server: %s\n"
            "usage: ca_server [-p PORT] [-b ADDR] [-v] PVFILE\n"
            "  -p PORT  TCP and UDP port (0 or absent: pick a free one)\n"
            "  -b ADDR  IPv4 address to bind (default 127.0.0.1)\n"
            "  -v       log each request on stdout\n",
            why);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    ca::ServerConfig config;
    const char* pv_file = nullptr;
    for (int k = 1; k < argc; ++k) {
        const char* arg = argv[k];
        if (strcmp(arg, "-v") == 0) {
            config.verbose = true;
        } else if (strcmp(arg, "-p") == 0 || strcmp(arg, "-b") == 0) {
            if (k + 1 >= argc) return usage("option needs a value");
            const char* val = argv[++k];
            if (arg[1] == 'b') {
                config.bind_addr = val;
                continue;
            }
            char* end;
            long port = strtol(val, &end, 10);
            if (*val == '\0' || *end != '\0' || port < 0 || port > 65535)
                return usage("port must be a number from 0 to 65535");
            config.port = uint16_t(port);
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return usage("unknown option");
        } else if (pv_file) {
            return usage("only one PV file may be given");
        } else {
            pv_file = arg;
        }
    }
    if (!pv_file) return usage("missing PV file");

    char err[512];
    if (!ca::load_pvs(pv_file, err, sizeof err)) {
        fprintf(stderr, "ca_server: %s\n", err);
        return 1;
    }
    return ca::run_server(config);
}
