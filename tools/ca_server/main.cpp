// ca_server: a small Channel Access server for tests and demos.
//   ca_server [-p PORT] [-b ADDR] [-l MS] [-v] PVFILE
//   ca_server [-D DBFILE] [-A ACFFILE] [-I INITFILE] PVFILE   (the same PVs for a soft IOC)
#include <cerrno>
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
            "usage: ca_server [-p PORT] [-b ADDR] [-l MS] [-v] PVFILE\n"
            "       ca_server [-D DBFILE] [-A ACFFILE] [-I INITFILE] PVFILE\n"
            "  -p PORT     TCP and UDP port (0 or absent: pick a free one)\n"
            "  -b ADDR     IPv4 address to bind (default 127.0.0.1)\n"
            "  -l MS       close a circuit MS milliseconds after its client ended it\n"
            "  -v          log each request on stdout\n"
            "  -D DBFILE   write an EPICS database serving the same PVs and exit\n"
            "  -A ACFFILE  write its access security file (softIoc -a) and exit\n"
            "  -I INITFILE write the start values of arrays longer than a database\n"
            "              holds (200 elements), for softioc_server.py, and exit\n",
            why);
    return 2;
}

int write_ioc_files(const char* db_file, const char* acf_file, const char* init_file)
{
    FILE* files[3] = {nullptr, nullptr, nullptr};
    const char* paths[3] = {db_file, acf_file, init_file};
    for (int k = 0; k < 3; ++k) {
        if (!paths[k]) continue;
        files[k] = fopen(paths[k], "w");
        if (!files[k]) {
            fprintf(stderr, "ca_server: cannot write %s: %s\n", paths[k], strerror(errno));
            for (FILE* f : files)
                if (f) fclose(f);
            return 1;
        }
    }
    char err[512];
    bool ok = ca::write_ioc_files(files[0], files[1], files[2], err, sizeof err);
    for (FILE* f : files)
        if (f && fclose(f) != 0 && ok) {
            snprintf(err, sizeof err, "closing an output file failed: %s", strerror(errno));
            ok = false;
        }
    if (!ok) fprintf(stderr, "ca_server: %s\n", err);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    ca::ServerConfig config;
    const char* pv_file = nullptr;
    const char* db_file = nullptr;
    const char* acf_file = nullptr;
    const char* init_file = nullptr;
    for (int k = 1; k < argc; ++k) {
        const char* arg = argv[k];
        if (strcmp(arg, "-v") == 0) {
            config.verbose = true;
        } else if (strcmp(arg, "-D") == 0 || strcmp(arg, "-A") == 0 || strcmp(arg, "-I") == 0) {
            if (k + 1 >= argc) return usage("option needs a value");
            (arg[1] == 'D' ? db_file : arg[1] == 'A' ? acf_file : init_file) = argv[++k];
        } else if (strcmp(arg, "-l") == 0) {
            if (k + 1 >= argc) return usage("option needs a value");
            const char* val = argv[++k];
            char* end;
            long ms = strtol(val, &end, 10);
            if (*val == '\0' || *end != '\0' || ms < 0 || ms > 60000)
                return usage("linger must be a number of milliseconds from 0 to 60000");
            config.linger_ms = int(ms);
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
    if (db_file || acf_file || init_file) return write_ioc_files(db_file, acf_file, init_file);
    return ca::run_server(config);
}
