// EPICS's softIocPVA (through softiocpva_server.py) answering over PV Access:
// records through QSRV as normative types, and a QSRV group of two records
// read, written atomically and monitored as one PV.
//   SOFTIOCPVA_SERVER  softiocpva_server.py
//   PVA_TEST_DIR       this directory (records.db)
//   SOFTIOCPVA, SOFTIOCPVA_DBD  for softiocpva_server.py
#include <gtest/gtest.h>

#include <pv/pvData.h>
#include <pva/client.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "server_process.h"

namespace pvd = epics::pvData;
using Clock = std::chrono::steady_clock;

namespace {

ServerProcess g_ioc;
pvac::ClientProvider g_client;

double number(const pvd::PVStructure::const_shared_pointer& s, const char* field)
{
    return s->getSubFieldT<pvd::PVScalar>(field)->getAs<double>();
}

std::string text(const pvd::PVStructure::const_shared_pointer& s, const char* field)
{
    return s->getSubFieldT<pvd::PVScalar>(field)->getAs<std::string>();
}

class SoftIocPva : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const char* script = getenv("SOFTIOCPVA_SERVER");
        const char* dir = getenv("PVA_TEST_DIR");
        ASSERT_TRUE(script && dir) << "set SOFTIOCPVA_SERVER and PVA_TEST_DIR (ctest does)";
        std::string why;
        ASSERT_TRUE(start_server({script, "-m", "P=tst:", std::string(dir) + "/records.db"}, {}, g_ioc, why))
            << why;
        g_client = client_of(g_ioc);
    }
    static void TearDownTestSuite()
    {
        g_client.reset();
        EXPECT_EQ(stop_server(g_ioc), 0);
    }
};

TEST_F(SoftIocPva, RecordsAnswerAsNormativeTypes)
{
    pvac::ClientChannel ao = g_client.connect("tst:ao");
    auto v = ao.get(kTimeout);
    EXPECT_EQ(v->getStructure()->getID(), "epics:nt/NTScalar:1.0");
    EXPECT_EQ(number(v, "value"), 1.5);
    EXPECT_EQ(text(v, "display.units"), "mm");
    EXPECT_EQ(number(v, "display.limitHigh"), 10);
    EXPECT_EQ(number(v, "control.limitLow"), -10);
    ao.put().set("value", 2.25).exec(kTimeout);
    EXPECT_EQ(number(ao.get(kTimeout), "value"), 2.25);

    pvac::ClientChannel str = g_client.connect("tst:str");
    EXPECT_EQ(text(str.get(kTimeout), "value"), "hello");
    str.put().set("value", "world").exec(kTimeout);
    EXPECT_EQ(text(str.get(kTimeout), "value"), "world");

    pvac::ClientChannel wf = g_client.connect("tst:wf");
    pvd::shared_vector<double> put(3);
    put[0] = 1;
    put[1] = 2;
    put[2] = 3.5;
    wf.put().set("value", pvd::freeze(put)).exec(kTimeout);
    pvd::shared_vector<const double> got;
    wf.get(kTimeout)->getSubFieldT<pvd::PVScalarArray>("value")->getAs<double>(got);
    EXPECT_EQ(std::vector<double>(got.begin(), got.end()), (std::vector<double>{1, 2, 3.5}));

    pvac::ClientChannel mode = g_client.connect("tst:mode");
    auto m = mode.get(kTimeout);
    EXPECT_EQ(m->getStructure()->getID(), "epics:nt/NTEnum:1.0");
    EXPECT_EQ(number(m, "value.index"), 1);
    pvd::shared_vector<const std::string> choices;
    m->getSubFieldT<pvd::PVScalarArray>("value.choices")->getAs<std::string>(choices);
    ASSERT_GE(choices.size(), 3u);
    EXPECT_EQ(choices[2], "Auto");
    mode.put().set("value.index", 2).exec(kTimeout);
    EXPECT_EQ(number(mode.get(kTimeout), "value.index"), 2);
}

TEST_F(SoftIocPva, ServesOnLoopbackOnly)
{
    for (const std::string& a : bound_on("/proc/net/tcp", g_ioc.tcp_port))
        EXPECT_EQ(a, "127.0.0.1") << "TCP port " << g_ioc.tcp_port;
    std::vector<std::string> udp = bound_on("/proc/net/udp", g_ioc.udp_port);
    EXPECT_FALSE(udp.empty()) << "nothing bound on UDP port " << g_ioc.udp_port;
    for (const std::string& a : udp)
        EXPECT_TRUE(a == "127.0.0.1" || a == "224.0.0.128") << "UDP port " << g_ioc.udp_port << " bound on " << a;
}

TEST_F(SoftIocPva, GroupOfTwoRecordsIsOnePv)
{
    pvac::ClientChannel axis = g_client.connect("tst:axis");
    auto g = axis.get(kTimeout);
    EXPECT_EQ(number(g, "x.value"), 1);
    EXPECT_EQ(number(g, "y.value"), 2);

    // One put writes both records.
    axis.put().set("x.value", 10.0).set("y.value", 20.0).exec(kTimeout);
    EXPECT_EQ(number(g_client.connect("tst:x").get(kTimeout), "value"), 10);
    EXPECT_EQ(number(g_client.connect("tst:y").get(kTimeout), "value"), 20);

    // A record written on its own shows in the group's monitor.
    pvac::MonitorSync mon = axis.monitor();
    g_client.connect("tst:y").put().set("value", 7.0).exec(kTimeout);
    bool seen = false;
    auto end = Clock::now() + std::chrono::duration<double>(kTimeout);
    while (!seen && Clock::now() < end) {
        if (!mon.wait(std::chrono::duration<double>(end - Clock::now()).count())) break;
        while (mon.event.event == pvac::MonitorEvent::Data && mon.poll())
            if (number(mon.root, "y.value") == 7 && number(mon.root, "x.value") == 10) seen = true;
    }
    EXPECT_TRUE(seen) << "the group's monitor never showed y = 7 beside x = 10";
}

}  // namespace
