// A loadable module linked against Epics::pva the way Tessaly's shared
// object is (a MODULE library, position-independent code, libca too), for
// link_test.cpp: it reads a PV's value with a client context of its own.
#include <cadef.h>
#include <pv/configuration.h>
#include <pv/pvData.h>
#include <pva/client.h>

#include <cstddef>
#include <cstdio>
#include <exception>

extern "C" __attribute__((visibility("default"))) int pva_link_module_get(const char* name, int udp_port,
                                                                          double* value, char* err, size_t errlen)
{
    try {
        char list[64];
        snprintf(list, sizeof list, "127.0.0.1:%d", udp_port);
        pvac::ClientProvider client("pva", epics::pvAccess::ConfigurationBuilder()
                                               .add("EPICS_PVA_ADDR_LIST", list)
                                               .add("EPICS_PVA_AUTO_ADDR_LIST", "NO")
                                               .push_map()
                                               .build());
        *value = client.connect(name).get(20.0)->getSubFieldT<epics::pvData::PVScalar>("value")->getAs<double>();
        return 0;
    } catch (std::exception& e) {
        snprintf(err, errlen, "%s", e.what());
        return 1;
    }
}

// Channel Access beside it, as in Tessaly: the libca of Epics::ca.
extern "C" __attribute__((visibility("default"))) const char* pva_link_module_ca_version()
{
    return ca_version();
}
