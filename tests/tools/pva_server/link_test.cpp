// What linking Epics::pva into a loadable module (as Tessaly will) gives: the
// module works when loaded into a process that has pvAccess of its own, keeps
// its copy of pvAccess to itself, and shares the process's one libCom.
//   PVA_LINK_MODULE  the module (link_module.cpp)
//   PVA_SERVER, PVA_TEST_DIR  as for pva_server_test
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "server_process.h"

namespace {

// The files mapped into this process whose name contains part.
std::set<std::string> mapped(const char* part)
{
    std::set<std::string> files;
    FILE* maps = fopen("/proc/self/maps", "r");
    if (!maps) return files;
    char line[4096];
    while (fgets(line, sizeof line, maps)) {
        const char* path = strchr(line, '/');
        if (!path || !strstr(path, part)) continue;
        std::string p(path);
        while (!p.empty() && (p.back() == '\n' || p.back() == ' ')) p.pop_back();
        files.insert(p);
    }
    fclose(maps);
    return files;
}

TEST(PvaLink, ModuleHidesItsPvAccessAndSharesOneLibCom)
{
    const char* module = getenv("PVA_LINK_MODULE");
    const char* server_exe = getenv("PVA_SERVER");
    const char* dir = getenv("PVA_TEST_DIR");
    ASSERT_TRUE(module && server_exe && dir) << "set PVA_LINK_MODULE, PVA_SERVER and PVA_TEST_DIR (ctest does)";
    void* handle = dlopen(module, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(handle) << dlerror();

    // pvAccess and pvData are not exported: pvac::ClientProvider's
    // destructor, for one, is not found in the module's scope.
    EXPECT_EQ(dlsym(handle, "_ZN4pvac14ClientProviderD1Ev"), nullptr) << "the module exports pvAccess";
    EXPECT_EQ(dlsym(handle, "_ZN4pvac14ClientProviderD2Ev"), nullptr) << "the module exports pvAccess";
    // Nor the inline functions of pvAccess classes it compiled itself (hidden
    // visibility, inlines too, as Tessaly is built).
    EXPECT_EQ(dlsym(handle, "_ZN5epics8pvAccess20ConfigurationBuilderD1Ev"), nullptr) << "the module exports inline pvAccess code";

    // libCom is the shared library, one file, and the module defines none of it.
    void* com = dlsym(handle, "epicsThreadGetIdSelf");
    ASSERT_TRUE(com) << "libCom not reachable from the module";
    Dl_info info;
    ASSERT_TRUE(dladdr(com, &info));
    EXPECT_NE(strstr(info.dli_fname, "libCom.so"), nullptr) << "epicsThreadGetIdSelf comes from " << info.dli_fname;
    EXPECT_EQ(mapped("libCom").size(), 1u);
    EXPECT_EQ(mapped("libca.so").size(), 1u);

    auto ca_version = reinterpret_cast<const char* (*)()>(dlsym(handle, "pva_link_module_ca_version"));
    ASSERT_TRUE(ca_version);
    EXPECT_NE(std::string(ca_version()).find("4.13"), std::string::npos) << ca_version();

    // And it talks PV Access with its own copy.
    ServerProcess server;
    std::string why;
    ASSERT_TRUE(start_server({server_exe, "-e", "t:linked double 42.5"}, {}, server, why)) << why;
    auto get = reinterpret_cast<int (*)(const char*, int, double*, char*, size_t)>(dlsym(handle, "pva_link_module_get"));
    ASSERT_TRUE(get);
    double value = 0;
    char err[512] = "";
    EXPECT_EQ(get("t:linked", server.udp_port, &value, err, sizeof err), 0) << err;
    EXPECT_EQ(value, 42.5);
    EXPECT_EQ(stop_server(server), 0);
}

}  // namespace
