// Starting and stopping the PV Access servers of the tests (pva_server,
// softiocpva_server.py) as a test would: the server's standard input a pipe
// held here (softIocPVA stops when it closes), its first line on standard
// output "... ready on 127.0.0.1:TCP udp UDP".
#pragma once

#include <pva/client.h>

#include <sys/types.h>

#include <string>
#include <vector>

struct ServerProcess {
    pid_t pid = -1;
    int stdin_fd = -1;
    int stdout_fd = -1;
    int tcp_port = 0;
    int udp_port = 0;  // where searches go: EPICS_PVA_ADDR_LIST=127.0.0.1:udp_port
};

// Starts argv (argv[0] a path) with the environment given added to this
// process's; false with the reason (and the server's first line) in why.
bool start_server(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  ServerProcess& server, std::string& why);

// Closes its input, then SIGTERM, then SIGKILL after 10 s; the exit status
// (-1 when it had to be killed).
int stop_server(ServerProcess& server);

// Runs argv to its end; its exit status, and its standard error in err.
int run_program(const std::vector<std::string>& argv, std::string& err);

// The local addresses (dotted quads) of this host's sockets on port, from
// /proc/net/tcp or /proc/net/udp.
std::vector<std::string> bound_on(const char* table, int port);

// A PV Access client context of its own that searches the server only.
pvac::ClientProvider client_of(const ServerProcess& server);

// The time the tests give an operation that should succeed: generous, for a
// loaded 2-core machine.
constexpr double kTimeout = 20.0;
