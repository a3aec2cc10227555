// Network loop: the UDP name search socket, the TCP listener and the
// client circuits, all served from a single ppoll() loop.
#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ca_proto.h"
#include "circuit.h"
#include "counters.h"
#include "pv_store.h"

namespace ca {

namespace {

int g_listen_fd = -1;
int g_udp_fd = -1;
uint16_t g_port = 0;
uint32_t g_server_ip = 0;  // host order; all ones when bound to every address

volatile sig_atomic_t g_stop = 0;
volatile sig_atomic_t g_drop_clients = 0;

void on_stop(int) { g_stop = 1; }
void on_usr1(int) { g_drop_clients = 1; }

void accept_client()
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = accept4(g_listen_fd, reinterpret_cast<sockaddr*>(&peer), &len,
                     SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    char addr[INET_ADDRSTRLEN + 8];
    inet_ntop(AF_INET, &peer.sin_addr, addr, INET_ADDRSTRLEN);
    snprintf(addr + strlen(addr), 8, ":%u", unsigned(ntohs(peer.sin_port)));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (circuit_open(fd, addr) < 0) {
        fprintf(stderr, "ca_server: connection from %s refused: already %zu clients\n", addr,
                kMaxClients);
        close(fd);
    }
}

// ---- UDP name search ------------------------------------------------------

void handle_datagram()
{
    uint8_t in[4096];
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(g_udp_fd, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n <= 0) return;
    char peer[INET_ADDRSTRLEN + 8];
    inet_ntop(AF_INET, &from.sin_addr, peer, INET_ADDRSTRLEN);
    snprintf(peer + strlen(peer), 8, ":%u", unsigned(ntohs(from.sin_port)));

    uint8_t out[4096];
    size_t out_len = answer_search(in, size_t(n), peer, out, sizeof out);
    if (out_len > 0)
        sendto(g_udp_fd, out, out_len, 0, reinterpret_cast<sockaddr*>(&from), from_len);
}

// ---- setup ------------------------------------------------------------------

bool bind_socket(int fd, in_addr_t addr, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(port);
    return bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

// Binds TCP and UDP to the same port; with port 0, tries free TCP ports
// until the UDP bind of the same number succeeds.
bool open_sockets(in_addr_t addr, uint16_t port)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        g_listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        g_udp_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (g_listen_fd < 0 || g_udp_fd < 0) {
            fprintf(stderr, "ca_server: cannot create socket: %s\n", strerror(errno));
            return false;
        }
        int one = 1;
        setsockopt(g_listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (!bind_socket(g_listen_fd, addr, port) || listen(g_listen_fd, 16) != 0) {
            fprintf(stderr, "ca_server: cannot bind TCP port %u: %s\n", unsigned(port),
                    strerror(errno));
            return false;
        }
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(g_listen_fd, reinterpret_cast<sockaddr*>(&sa), &len);
        g_port = ntohs(sa.sin_port);
        if (bind_socket(g_udp_fd, addr, g_port)) return true;
        int err = errno;
        close(g_listen_fd);
        close(g_udp_fd);
        if (port != 0) {
            fprintf(stderr, "ca_server: cannot bind UDP port %u: %s\n", unsigned(port),
                    strerror(err));
            return false;
        }
    }
    fprintf(stderr, "ca_server: found no port free for both TCP and UDP\n");
    return false;
}

void install_signals(sigset_t& wait_mask)
{
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // Signals are delivered only inside ppoll(), so none is missed.
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGUSR1);
}

}  // namespace

size_t answer_search(const uint8_t* in, size_t len, const char* peer, uint8_t* out, size_t cap)
{
    if (cap < kHeaderSize) return 0;
    size_t out_len = 0;
    bool answered = false;
    Header version{CMD_VERSION, 0, 0, kMinorVersion, 0, 0};
    out_len += encode_header(out, version);  // rewritten if the client sent one
    for (size_t pos = 0; pos + kHeaderSize <= len;) {
        Header h;
        size_t hlen = decode_header(in + pos, len - pos, h);
        if (hlen == 0 || pos + hlen + h.payload_size > len) break;
        const uint8_t* payload = in + pos + hlen;
        pos += hlen + h.payload_size;
        if (h.command == CMD_VERSION) {
            // Echo the sequence number so the client can time its searches.
            encode_header(out, Header{CMD_VERSION, 0, h.data_type, kMinorVersion, h.param1, 0});
            continue;
        }
        if (h.command != CMD_SEARCH) continue;
        if (out_len + kHeaderSize + 8 > cap) break;
        size_t name_len = strnlen(reinterpret_cast<const char*>(payload), h.payload_size);
        std::string_view name(reinterpret_cast<const char*>(payload), name_len);
        View view;
        int pv = find_channel(name, view);
        log_line("udp %s: SEARCH %.*s: %s", peer, int(name_len), name.data(),
                 pv >= 0 ? "found" : "not served");
        if (pv >= 0) {
            out_len += encode_header(out + out_len,
                                     Header{CMD_SEARCH, 8, g_port, 0, g_server_ip, h.param1});
            memset(out + out_len, 0, 8);
            put16(out + out_len, kMinorVersion);
            out_len += 8;
            answered = true;
        } else if (h.data_type == SEARCH_DOREPLY) {
            out_len += encode_header(out + out_len, Header{CMD_NOT_FOUND, 0, SEARCH_DOREPLY,
                                                           h.count, h.param1, h.param1});
            answered = true;
        }
    }
    return answered ? out_len : 0;
}

int run_server(const ServerConfig& config)
{
    set_verbose(config.verbose);
    circuit_set_linger(config.linger_ms);
    circuit_set_max_message(max_message_bytes());
    in_addr bind_addr{};
    if (inet_pton(AF_INET, config.bind_addr, &bind_addr) != 1) {
        fprintf(stderr, "ca_server: bad bind address '%s' (expected an IPv4 address)\n",
                config.bind_addr);
        return 2;
    }
    sigset_t wait_mask;
    install_signals(wait_mask);
    if (!open_sockets(bind_addr.s_addr, config.port)) return 1;
    // A wildcard bind tells clients to use the address they sent the search to.
    g_server_ip = bind_addr.s_addr == INADDR_ANY ? 0xffffffffu : ntohl(bind_addr.s_addr);
    printf("ca_server ready on %s:%u\n", config.bind_addr, unsigned(g_port));
    fflush(stdout);

    static pollfd fds[kMaxClients + 2];
    static size_t slot_of[kMaxClients + 2];
    while (!g_stop) {
        if (g_drop_clients) {
            g_drop_clients = 0;
            log_line("SIGUSR1: dropping every client");
            circuit_close_all();
        }
        size_t nfds = 0;
        fds[nfds++] = pollfd{g_listen_fd, POLLIN, 0};
        fds[nfds++] = pollfd{g_udp_fd, POLLIN, 0};
        int64_t wake_ms = -1;
        for (size_t k = 0; k < kMaxClients; ++k) {
            if (circuit_fd(k) < 0) continue;
            slot_of[nfds] = k;
            fds[nfds++] = pollfd{circuit_fd(k), circuit_events(k, wake_ms), 0};
        }
        // Microseconds from here: counting PVs are due that finely.
        int64_t now = now_us();
        int64_t wake = counters_wake(now);
        if (wake_ms >= 0 && (wake < 0 || wake_ms * 1000 < wake)) wake = wake_ms * 1000;
        timespec timeout{};
        if (wake >= 0) {
            int64_t us = wake > now ? wake - now : 0;
            timeout.tv_sec = us / 1000000;
            timeout.tv_nsec = long(us % 1000000) * 1000;
        }
        int ready = ppoll(fds, nfds, wake >= 0 ? &timeout : nullptr, &wait_mask);
        if (ready < 0 && errno != EINTR) {
            fprintf(stderr, "ca_server: poll failed: %s\n", strerror(errno));
            return 1;
        }
        if (ready > 0) {
            if (fds[0].revents & POLLIN) accept_client();
            if (fds[1].revents & POLLIN) handle_datagram();
            for (size_t k = 2; k < nfds; ++k)
                if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) circuit_readable(slot_of[k]);
        }
        counters_run(now_us());
        int64_t now_in_ms = now_ms();
        for (size_t k = 0; k < kMaxClients; ++k) circuit_service(k, now_in_ms);
    }
    circuit_close_all();
    close(g_listen_fd);
    close(g_udp_fd);
    return 0;
}

}  // namespace ca
