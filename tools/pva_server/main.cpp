// pva_server: a small PV Access server for tests, demos and benchmarks.
//   pva_server [-p PORT] [-u PORT] [-b ADDR] [-e LINE]... [PVFILE]
#include <pv/configuration.h>
#include <pv/logger.h>
#include <pv/serverContext.h>
#include <pva/server.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pv_file.h"
#include "pvs.h"

namespace pva = epics::pvAccess;

namespace {

int usage(const char* why)
{
    fprintf(stderr,
            "pva_server: %s\n"
            "usage: pva_server [-p PORT] [-u PORT] [-b ADDR] [-e LINE]... [PVFILE]\n"
            "  -p PORT   TCP port (0 or absent: a free one)\n"
            "  -u PORT   UDP port searches come to (0 or absent: a free one)\n"
            "  -b ADDR   IPv4 address to serve on (default 127.0.0.1)\n"
            "  -e LINE   a PV line, as in a PV file (may repeat)\n"
            "Prints \"pva_server ready on ADDR:TCP udp UDP\" when it serves; stops on\n"
            "SIGTERM, SIGINT or SIGHUP.\n",
            why);
    return 2;
}

bool parse_port(const char* text, int& port)
{
    char* end;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < 0 || v > 65535) return false;
    port = int(v);
    return true;
}

// A UDP port free on addr just now, or 0 with errno.  pvAccess's own choice
// (-u 0 passed on) would be the port of its sending socket, which is bound to
// every address; pvAccess servers share a search port anyway (the local
// multicast group), so a port taken again before pvAccess binds it still works.
int free_udp_port(const char* addr)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1) {
        errno = EINVAL;
        return 0;
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    socklen_t len = sizeof sa;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    int saved = errno;
    close(fd);
    errno = saved;
    return port;
}

}  // namespace

int main(int argc, char** argv)
{
    int tcp_port = 0, udp_port = 0;
    const char* bind_addr = "127.0.0.1";
    const char* pv_file = nullptr;
    std::vector<pvs::PvSpec> specs;
    char err[1024];
    int e_lines = 0;
    for (int k = 1; k < argc; ++k) {
        const char* arg = argv[k];
        if (strcmp(arg, "-p") == 0 || strcmp(arg, "-u") == 0 || strcmp(arg, "-b") == 0 ||
            strcmp(arg, "-e") == 0) {
            if (k + 1 >= argc) return usage("option needs a value");
            const char* val = argv[++k];
            if (arg[1] == 'b') {
                bind_addr = val;
            } else if (arg[1] == 'e') {
                pvs::PvSpec pv;
                char why[512];
                if (!pvs::parse_pv_line(val, pv, why, sizeof why)) {
                    fprintf(stderr, "pva_server: -e '%s': %s\n", val, why);
                    return 2;
                }
                snprintf(why, sizeof why, "-e #%d", ++e_lines);
                pv.where = why;
                if (!pv.name.empty()) specs.push_back(std::move(pv));
            } else if (!parse_port(val, arg[1] == 'p' ? tcp_port : udp_port)) {
                return usage("a port is a number from 0 to 65535");
            }
        } else if (arg[0] == '-' && arg[1] != '\0') {
            return usage("unknown option");
        } else if (pv_file) {
            return usage("only one PV file may be given");
        } else {
            pv_file = arg;
        }
    }
    if (pv_file && !pvs::load_pv_file(pv_file, specs, err, sizeof err)) {
        fprintf(stderr, "pva_server: %s\n", err);
        return 1;
    }
    if (specs.empty()) return usage("no PVs: give a PV file or -e lines");
    for (size_t a = 0; a < specs.size(); ++a)
        for (size_t b = a + 1; b < specs.size(); ++b)
            if (specs[a].name == specs[b].name) {
                fprintf(stderr, "pva_server: %s: %s is given twice (first at %s)\n", specs[b].where.c_str(),
                        specs[a].name.c_str(), specs[a].where.c_str());
                return 1;
            }

    // Standard output carries the ready line alone: pvAccess logs with printf,
    // so what it prints goes to standard error instead.
    fflush(stdout);
    int ready_fd = dup(STDOUT_FILENO);
    FILE* ready = ready_fd >= 0 ? fdopen(ready_fd, "w") : nullptr;
    if (!ready || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        perror("pva_server: cannot set up standard output");
        return 1;
    }

    // Warnings and errors only (not "Using dynamically assigned TCP port").
    pva::pvAccessSetLogLevel(pva::logLevelWarn);

    // The signals that stop the server are taken by sigwait below: blocked
    // before any thread starts, so that every thread inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    if (udp_port == 0 && (udp_port = free_udp_port(bind_addr)) == 0) {
        fprintf(stderr, "pva_server: no free UDP port on %s: %s\n", bind_addr, strerror(errno));
        return 1;
    }

    pvas::StaticProvider provider("pva_server");
    if (!pvs::serve_pvs(specs, provider, err, sizeof err)) {
        fprintf(stderr, "pva_server: %s\n", err);
        return 1;
    }

    pva::ServerContext::shared_pointer server;
    try {
        // Only the address given, for both the connections and the searches;
        // beacons go there too, never to a broadcast address.
        pva::Configuration::shared_pointer conf = pva::ConfigurationBuilder()
                                                      .push_env()
                                                      .add("EPICS_PVAS_INTF_ADDR_LIST", bind_addr)
                                                      .add("EPICS_PVAS_BEACON_ADDR_LIST", bind_addr)
                                                      .add("EPICS_PVAS_AUTO_BEACON_ADDR_LIST", "NO")
                                                      .add("EPICS_PVAS_SERVER_PORT", tcp_port)
                                                      .add("EPICS_PVAS_BROADCAST_PORT", udp_port)
                                                      .push_map()
                                                      .build();
        server = pva::ServerContext::create(pva::ServerContext::Config().config(conf).provider(provider.provider()));
    } catch (std::exception& e) {
        fprintf(stderr, "pva_server: cannot serve on %s (TCP %d, UDP %d): %s\n", bind_addr, tcp_port,
                udp_port, e.what());
        return 1;
    }
    if (tcp_port != 0 && int(server->getServerPort()) != tcp_port) {
        // pvAccess takes another port when the one asked for is taken.
        fprintf(stderr, "pva_server: TCP port %d is taken\n", tcp_port);
        return 1;
    }
    pvs::start_updates();
    fprintf(ready, "pva_server ready on %s:%d udp %d\n", bind_addr, int(server->getServerPort()),
            int(server->getBroadcastPort()));
    fflush(ready);

    int sig = 0;
    sigwait(&stop_signals, &sig);
    pvs::stop_updates();
    provider.close(true);
    server->shutdown();
    server.reset();
    return 0;
}
