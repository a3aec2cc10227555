#include "server_process.h"

#include <pv/configuration.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

constexpr int kStartSeconds = 60;

double now_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// Spawns argv with stdin/stdout/stderr the descriptors given (-1: this
// process's own); the pid, or -1 with errno.
pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, int in,
            int out, int err)
{
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) env_text.emplace_back(*e);
    for (const std::string& e : env) env_text.push_back(e);
    std::vector<char*> envp;
    for (const std::string& e : env_text) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    pid_t pid;
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

// Waits for pid up to seconds; its exit status, -2 if still running.
int wait_for(pid_t pid, double seconds)
{
    double end = now_seconds() + seconds;
    for (;;) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0) return -1;
        if (now_seconds() > end) return -2;
        usleep(20000);
    }
}

}  // namespace

bool start_server(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  ServerProcess& server, std::string& why)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        why = std::string("pipe: ") + strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        why = std::string("pipe: ") + strerror(errno);
        close(in[0]);
        close(in[1]);
        return false;
    }
    server = ServerProcess();
    server.pid = spawn(argv, env, in[0], out[1], -1);
    int spawn_errno = errno;
    close(in[0]);
    close(out[1]);
    server.stdin_fd = in[1];
    server.stdout_fd = out[0];
    if (server.pid < 0) {
        why = "cannot start " + argv[0] + ": " + strerror(spawn_errno);
        stop_server(server);
        return false;
    }

    // The first line, within the time a loaded machine may need.
    char line[512];
    size_t len = 0;
    double end = now_seconds() + kStartSeconds;
    while (len + 1 < sizeof line && (len == 0 || line[len - 1] != '\n')) {
        pollfd p = {server.stdout_fd, POLLIN, 0};
        int left_ms = int((end - now_seconds()) * 1000);
        if (left_ms <= 0 || poll(&p, 1, left_ms) <= 0) break;
        ssize_t n = read(server.stdout_fd, line + len, 1);
        if (n <= 0) break;
        len += size_t(n);
    }
    line[len] = '\0';
    const char* ready = strstr(line, " ready on 127.0.0.1:");
    if (!ready || sscanf(ready, " ready on 127.0.0.1:%d udp %d", &server.tcp_port, &server.udp_port) != 2) {
        why = argv[0] + " did not start: first line '" + line + "'";
        stop_server(server);
        return false;
    }
    return true;
}

int stop_server(ServerProcess& server)
{
    int status = -1;
    if (server.stdin_fd >= 0) close(server.stdin_fd);
    if (server.pid > 0) {
        kill(server.pid, SIGTERM);
        status = wait_for(server.pid, 10);
        if (status == -2) {
            kill(server.pid, SIGKILL);
            wait_for(server.pid, 10);
            status = -1;
        }
    }
    if (server.stdout_fd >= 0) close(server.stdout_fd);
    server = ServerProcess();
    return status;
}

int run_program(const std::vector<std::string>& argv, std::string& err)
{
    char path[] = "/tmp/pva_test_stderr.XXXXXX";
    int fd = mkostemp(path, O_CLOEXEC);
    if (fd < 0) return -1;
    unlink(path);
    pid_t pid = spawn(argv, {}, -1, -1, fd);
    int status = pid < 0 ? -1 : wait_for(pid, kStartSeconds);
    if (status == -2) {
        kill(pid, SIGKILL);
        wait_for(pid, 10);
    }
    err.clear();
    char buf[4096];
    ssize_t n;
    lseek(fd, 0, SEEK_SET);
    while ((n = read(fd, buf, sizeof buf)) > 0) err.append(buf, size_t(n));
    close(fd);
    return status;
}

pvac::ClientProvider client_of(const ServerProcess& server)
{
    char list[64];
    snprintf(list, sizeof list, "127.0.0.1:%d", server.udp_port);
    return pvac::ClientProvider("pva", epics::pvAccess::ConfigurationBuilder()
                                           .add("EPICS_PVA_ADDR_LIST", list)
                                           .add("EPICS_PVA_AUTO_ADDR_LIST", "NO")
                                           .push_map()
                                           .build());
}

// The local addresses of this host's sockets of a protocol (/proc/net/tcp or
// udp) on port, as dotted quads.
std::vector<std::string> bound_on(const char* table, int port)
{
    std::vector<std::string> found;
    FILE* f = fopen(table, "r");
    if (!f) return found;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        unsigned addr, p;
        if (sscanf(line, " %*u: %8x:%4x", &addr, &p) != 2 || int(p) != port) continue;
        char text[32];
        snprintf(text, sizeof text, "%u.%u.%u.%u", addr & 0xff, (addr >> 8) & 0xff, (addr >> 16) & 0xff, addr >> 24);
        found.emplace_back(text);
    }
    fclose(f);
    return found;
}
