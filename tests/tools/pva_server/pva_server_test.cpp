// pva_server through pvAccess's own client (pvac): each kind of PV, puts,
// monitors, the PVs that refuse or delay puts, frames posted at a rate, two
// servers side by side, and the errors of a bad PV file.
//   PVA_SERVER   the pva_server executable
//   PVA_TEST_DIR this directory (test.pvs)
#include <gtest/gtest.h>

#include <pv/pvData.h>
#include <pva/client.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "server_process.h"

namespace pvd = epics::pvData;
using Clock = std::chrono::steady_clock;

namespace {

std::string env_or_die(const char* name)
{
    const char* v = getenv(name);
    if (!v || !*v) {
        fprintf(stderr, "set %s (ctest does)\n", name);
        exit(2);
    }
    return v;
}

ServerProcess g_server;
pvac::ClientProvider g_client;

pvd::PVStructure::const_shared_pointer get(const std::string& name)
{
    return g_client.connect(name).get(kTimeout);
}

double number(const pvd::PVStructure::const_shared_pointer& s, const char* field)
{
    return s->getSubFieldT<pvd::PVScalar>(field)->getAs<double>();
}

std::string text(const pvd::PVStructure::const_shared_pointer& s, const char* field)
{
    return s->getSubFieldT<pvd::PVScalar>(field)->getAs<std::string>();
}

template <typename T>
std::vector<T> array(const pvd::PVStructure::const_shared_pointer& s, const char* field)
{
    pvd::shared_vector<const T> v;
    s->getSubFieldT<pvd::PVScalarArray>(field)->getAs<T>(v);
    return std::vector<T>(v.begin(), v.end());
}

// Waits for a monitor update that satisfies ok; false after kTimeout.  The
// queue is emptied each time (pvac signals new data only after that).
template <typename F>
bool wait_update(pvac::MonitorSync& mon, F ok)
{
    auto end = Clock::now() + std::chrono::duration<double>(kTimeout);
    bool seen = false;
    while (!seen) {
        double left = std::chrono::duration<double>(end - Clock::now()).count();
        if (left <= 0 || !mon.wait(left)) return false;
        if (mon.event.event != pvac::MonitorEvent::Data) continue;
        while (mon.poll())
            if (!seen && ok(*mon.root)) seen = true;
    }
    return true;
}

class PvaServer : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why;
        ASSERT_TRUE(start_server({env_or_die("PVA_SERVER"), env_or_die("PVA_TEST_DIR") + "/test.pvs"}, {},
                                 g_server, why))
            << why;
        g_client = client_of(g_server);
    }
    static void TearDownTestSuite()
    {
        g_client.reset();
        EXPECT_EQ(stop_server(g_server), 0) << "pva_server did not end cleanly on SIGTERM";
    }
};

TEST_F(PvaServer, ScalarCarriesAlarmTimeDisplayAndControl)
{
    auto v = get("t:double");
    EXPECT_EQ(v->getStructure()->getID(), "epics:nt/NTScalar:1.0");
    EXPECT_EQ(number(v, "value"), 1.5);
    EXPECT_EQ(text(v, "display.units"), "mm");
    EXPECT_EQ(text(v, "display.description"), "Stage position");
    EXPECT_EQ(text(v, "display.format"), "%.3f");
    EXPECT_EQ(number(v, "display.limitLow"), -10);
    EXPECT_EQ(number(v, "display.limitHigh"), 10);
    EXPECT_EQ(number(v, "control.limitHigh"), 10);
    EXPECT_EQ(number(v, "control.minStep"), 0.5);
    EXPECT_EQ(number(v, "alarm.severity"), 1);
    EXPECT_EQ(number(v, "alarm.status"), 3);
    EXPECT_EQ(text(v, "alarm.message"), "HIGH");
    // A real time: after 2020-01-01 in POSIX seconds.
    EXPECT_GT(number(v, "timeStamp.secondsPastEpoch"), 1577836800.0);

    auto i = get("t:int");
    EXPECT_EQ(i->getSubFieldT<pvd::PVScalar>("value")->getScalar()->getScalarType(), pvd::pvInt);
    EXPECT_EQ(number(i, "value"), 5);
    auto s = get("t:str");
    EXPECT_EQ(text(s, "value"), "two words");
    EXPECT_FALSE(s->getSubField("control")) << "a string has no control limits";
}

TEST_F(PvaServer, PutUpdatesTheValueAndPostsAMonitorUpdate)
{
    pvac::ClientChannel ch = g_client.connect("t:put");
    pvac::MonitorSync mon = ch.monitor();
    ASSERT_TRUE(wait_update(mon, [](const pvd::PVStructure&) { return true; })) << "no first update";
    double before = number(ch.get(kTimeout), "timeStamp.secondsPastEpoch");

    ch.put().set("value", 7.25).exec(kTimeout);
    EXPECT_TRUE(wait_update(mon, [](const pvd::PVStructure& s) {
        return s.getSubFieldT<pvd::PVScalar>("value")->getAs<double>() == 7.25;
    })) << "the monitor never saw the put";
    auto after = ch.get(kTimeout);
    EXPECT_EQ(number(after, "value"), 7.25);
    EXPECT_GE(number(after, "timeStamp.secondsPastEpoch"), before);

    ch.put().set("value", "12.5").exec(kTimeout);  // text, converted by the client
    EXPECT_EQ(number(ch.get(kTimeout), "value"), 12.5);
    EXPECT_THROW(ch.put().set("value", "abc").exec(kTimeout), std::exception);
    EXPECT_EQ(number(ch.get(kTimeout), "value"), 12.5) << "a refused put changed the value";

    pvac::ClientChannel str = g_client.connect("t:str");
    str.put().set("value", "three short words").exec(kTimeout);
    EXPECT_EQ(text(str.get(kTimeout), "value"), "three short words");
}

TEST_F(PvaServer, ArraysAndEnums)
{
    EXPECT_EQ(array<double>(get("t:arr"), "value"), (std::vector<double>{1, 2, 3}));
    pvd::shared_vector<double> put(4);
    for (size_t k = 0; k < 4; ++k) put[k] = 4.5 + double(k);
    pvac::ClientChannel arr = g_client.connect("t:arr");
    arr.put().set("value", pvd::freeze(put)).exec(kTimeout);
    EXPECT_EQ(array<double>(arr.get(kTimeout), "value"), (std::vector<double>{4.5, 5.5, 6.5, 7.5}));

    pvac::ClientChannel en = g_client.connect("t:enum");
    auto e = en.get(kTimeout);
    EXPECT_EQ(e->getStructure()->getID(), "epics:nt/NTEnum:1.0");
    EXPECT_EQ(number(e, "value.index"), 1);
    EXPECT_EQ(array<std::string>(e, "value.choices"), (std::vector<std::string>{"Off", "On", "Auto"}));
    en.put().set("value.index", 2).exec(kTimeout);
    EXPECT_EQ(number(en.get(kTimeout), "value.index"), 2);
    try {
        en.put().set("value.index", 7).exec(kTimeout);
        ADD_FAILURE() << "index 7 of 3 choices was taken";
    } catch (std::exception& ex) {
        EXPECT_NE(std::string(ex.what()).find("index 7 is not one of the 3 choices"), std::string::npos)
            << ex.what();
    }
    EXPECT_EQ(number(en.get(kTimeout), "value.index"), 2);
}

TEST_F(PvaServer, TableAndPlainStructure)
{
    auto t = get("t:table");
    EXPECT_EQ(t->getStructure()->getID(), "epics:nt/NTTable:1.0");
    EXPECT_EQ(array<std::string>(t, "labels"), (std::vector<std::string>{"x", "count", "label"}));
    EXPECT_EQ(array<double>(t, "value.x"), (std::vector<double>{0.5, 1.5, 2.5}));
    EXPECT_EQ(t->getSubFieldT<pvd::PVScalarArray>("value.count")->getScalarArray()->getElementType(), pvd::pvInt);
    EXPECT_EQ(array<std::string>(t, "value.label"), (std::vector<std::string>{"a", "b", "c"}));

    pvac::ClientChannel ch = g_client.connect("t:point");
    auto p = ch.get(kTimeout);
    EXPECT_EQ(number(p, "x"), 1.5);
    EXPECT_EQ(number(p, "pos.x"), 2);
    EXPECT_EQ(number(p, "pos.y"), -1);
    EXPECT_EQ(number(p, "pos.limits.low"), -5);
    EXPECT_EQ(text(p, "name"), "axis");
    EXPECT_EQ(array<std::string>(p, "tags"), (std::vector<std::string>{"a", "b"}));
    ch.put().set("pos.x", 9.5).exec(kTimeout);
    p = ch.get(kTimeout);
    EXPECT_EQ(number(p, "pos.x"), 9.5);
    EXPECT_EQ(number(p, "pos.y"), -1) << "a put of one field changed another";
    EXPECT_EQ(text(p, "name"), "axis");
}

// Element i of a frame with unique id u is (i + u % 4) % 251.
template <typename T>
void expect_frame(const pvd::PVStructure::const_shared_pointer& img, const char* member, size_t count)
{
    pvd::int32 id = img->getSubFieldT<pvd::PVInt>("uniqueId")->get();
    pvd::PVUnion::const_shared_pointer u = img->getSubFieldT<pvd::PVUnion>("value");
    ASSERT_EQ(u->getSelectedFieldName(), member);
    pvd::shared_vector<const T> data;
    u->get<pvd::PVScalarArray>()->getAs<T>(data);
    ASSERT_EQ(data.size(), count);
    for (size_t i = 0; i < count; i += 1 + count / 1000)
        ASSERT_EQ(data[i], T((i + size_t(id) % 4) % 251)) << "element " << i << " of frame " << id;
}

TEST_F(PvaServer, ImagesCarryDimensionsCodecAndAttributes)
{
    auto img = get("t:image");
    EXPECT_EQ(img->getStructure()->getID(), "epics:nt/NTNDArray:1.0");
    expect_frame<pvd::uint16>(img, "ushortValue", 12);
    EXPECT_GE(number(img, "uniqueId"), 1);
    EXPECT_EQ(text(img, "codec.name"), "");
    EXPECT_EQ(number(img, "compressedSize"), 24);
    EXPECT_EQ(number(img, "uncompressedSize"), 24);
    pvd::PVStructureArray::const_svector dims = img->getSubFieldT<pvd::PVStructureArray>("dimension")->view();
    ASSERT_EQ(dims.size(), 2u);
    EXPECT_EQ(number(dims[0], "size"), 4);
    EXPECT_EQ(number(dims[1], "size"), 3);
    EXPECT_EQ(number(dims[1], "binning"), 1);
    std::vector<std::string> names;
    for (const auto& a : img->getSubFieldT<pvd::PVStructureArray>("attribute")->view()) names.push_back(text(a, "name"));
    EXPECT_EQ(names, (std::vector<std::string>{"ColorMode", "FrameRate", "Source"}));

    expect_frame<double>(get("t:float"), "doubleValue", 5);

    // 2048 x 2048 16-bit: an 8 MiB frame in one get.
    auto big = get("t:big");
    EXPECT_EQ(number(big, "uncompressedSize"), 8388608);
    expect_frame<pvd::uint16>(big, "ushortValue", 2048 * 2048);
}

TEST_F(PvaServer, RatePostsFramesWithRisingUniqueIds)
{
    pvac::MonitorSync mon = g_client.connect("t:frames").monitor();
    pvd::int32 last = -1;
    int frames = 0;
    EXPECT_TRUE(wait_update(mon, [&](const pvd::PVStructure& s) {
        pvd::int32 id = s.getSubFieldT<pvd::PVInt>("uniqueId")->get();
        EXPECT_GT(id, last);
        last = id;
        return ++frames == 5;
    })) << "only " << frames << " frames at 20 a second";
}

TEST_F(PvaServer, ReadOnlyPvRefusesPuts)
{
    pvac::ClientChannel ch = g_client.connect("t:ro");
    try {
        ch.put().set("value", 4.0).exec(kTimeout);
        ADD_FAILURE() << "the put was taken";
    } catch (std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("t:ro is read-only"), std::string::npos) << e.what();
    }
    EXPECT_EQ(number(ch.get(kTimeout), "value"), 3);
}

TEST_F(PvaServer, DelayedPutCompletesAfterItsDelay)
{
    pvac::ClientChannel ch = g_client.connect("t:slow");
    ASSERT_EQ(number(ch.get(kTimeout), "value"), 0);
    auto start = Clock::now();
    std::string failure;
    std::thread put([&] {
        try {
            ch.put().set("value", 5.0).exec(kTimeout);
        } catch (std::exception& e) {
            failure = e.what();
        }
    });
    // While the put waits, the value is the old one (when this get is
    // answered within the delay: a loaded machine may be slower).
    double during = number(ch.get(kTimeout), "value");
    bool within = Clock::now() - start < std::chrono::milliseconds(1200);
    put.join();
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(failure, "");
    if (within) {
        EXPECT_EQ(during, 0) << "the value changed before the put completed";
    }
    EXPECT_GE(took, 1.5) << "the put completed before its 1.5 s delay";
    EXPECT_EQ(number(ch.get(kTimeout), "value"), 5);
}

TEST_F(PvaServer, ListensOnLoopbackOnly)
{
    for (const std::string& a : bound_on("/proc/net/tcp", g_server.tcp_port))
        EXPECT_EQ(a, "127.0.0.1") << "TCP port " << g_server.tcp_port;
    std::vector<std::string> udp = bound_on("/proc/net/udp", g_server.udp_port);
    EXPECT_FALSE(udp.empty()) << "nothing bound on UDP port " << g_server.udp_port;
    for (const std::string& a : udp)
        EXPECT_TRUE(a == "127.0.0.1" || a == "224.0.0.128") << "UDP port " << g_server.udp_port << " bound on " << a;
}

TEST_F(PvaServer, TwoServersSideBySideAnswerForThemselves)
{
    ServerProcess second;
    std::string why;
    ASSERT_TRUE(start_server({env_or_die("PVA_SERVER"), "-e", "t:double double 99"}, {}, second, why)) << why;
    EXPECT_NE(second.udp_port, g_server.udp_port);
    {
        pvac::ClientProvider other = client_of(second);
        EXPECT_EQ(number(other.connect("t:double").get(kTimeout), "value"), 99);
        EXPECT_EQ(number(get("t:double"), "value"), 1.5);
        EXPECT_THROW(other.connect("t:int").get(3.0), pvac::Timeout) << "the second server answered for the first";
    }
    EXPECT_EQ(stop_server(second), 0);
}

// ---- the PV file ------------------------------------------------------------

TEST(PvaServerFile, BadLinesAreRefusedNamingFileAndLine)
{
    struct Case {
        const char* line;
        const char* says;
    };
    const Case cases[] = {
        {"t:a quux 1", "unknown kind 'quux'"},
        {"t:a double", "t:a has no start value"},
        {"t:a double abc", "t:a: bad start value"},
        {"t:a double 1 colour=red", "unknown option 'colour'"},
        {"t:a string x rate=5", "rate= is for numeric scalars and images"},
        {"t:a enum 3 choices=A,B", "start index '3' is not one of 0..1"},
        {"t:a table x:double=1,2 y:int=1", "column y has 1 values, column x 2"},
        {"t:a struct pos:double=1 pos.x:double=2", "field 'pos.x' clashes with 'pos'"},
        {"t:a image type=string", "an image's type is numeric"},
        {"t:a image dims=10x0", "dims is 1 to 3 sizes"},
        {"t:a double 1 \"open", "a quote is not closed"},
        {"t:ok double 2", "t:ok is given twice (first at"},
    };
    char path[] = "/tmp/pva_server_test.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    for (const Case& c : cases) {
        FILE* f = fopen(path, "w");
        ASSERT_TRUE(f);
        fprintf(f, "# a comment\nt:ok double 1\n%s\n", c.line);
        fclose(f);
        std::string err;
        int status = run_program({env_or_die("PVA_SERVER"), path}, err);
        EXPECT_EQ(status, 1) << c.line;
        EXPECT_NE(err.find(std::string(path) + ":3"), std::string::npos) << c.line << "\n" << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << c.line << "\n" << err;
    }
    unlink(path);

    std::string err;
    EXPECT_EQ(run_program({env_or_die("PVA_SERVER"), "/nonexistent/x.pvs"}, err), 1);
    EXPECT_NE(err.find("cannot read /nonexistent/x.pvs"), std::string::npos) << err;
    EXPECT_EQ(run_program({env_or_die("PVA_SERVER")}, err), 2);
    EXPECT_NE(err.find("no PVs"), std::string::npos) << err;
    EXPECT_EQ(run_program({env_or_die("PVA_SERVER"), "-e", "t:x double 1", "-p", "70000"}, err), 2);
}

}  // namespace
