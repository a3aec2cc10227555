// Windows test glue: plays a process that has set up the control block but
// holds only some of its synchronisation objects.  Windows removes a named
// object with its last handle, so this is how the tests make one "missing".
//   vantorq_blockholder [NAME...]
// Maps "SHM_Statics" and "SHM_Queue", creates the objects named on the
// command line ("/Data_Sem" ...), writes 1 to SyncReady as a process that had
// attached would, prints "held" and keeps everything until stdin closes.
#include <cstdio>
#include <cstring>

#include "vantorq.h"

namespace {

int Fail(const char *what, const char *name)
{
    char text[256];
    int code = LastSystemErrorText(text, sizeof text);
    std::fprintf(stderr, "vantorq_blockholder: %s %s: %d - %s\n", what, name, code, text);
    return 1;
}

const SyncSpec *FindSpec(const char *name)
{
    for (const SyncSpec &spec : kSyncObjects)
        if (std::strcmp(spec.name, name) == 0)
            return &spec;
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    SharedMemory statics;
    SharedMemory queue;
    if (!CreateNamedMemory(statics, kStaticsName, kStaticsSize + 1))
        return Fail("cannot create", kStaticsName);
    if (!CreateNamedMemory(queue, kQueueName, kQueueSize + 1) || MapNamedMemory(queue) == nullptr)
        return Fail("cannot create", kQueueName);
    auto *block = static_cast<Statics *>(MapNamedMemory(statics));
    if (block == nullptr)
        return Fail("cannot map", kStaticsName);

    SyncObject held[SYNC_COUNT];
    for (int i = 1; i < argc && i <= SYNC_COUNT; ++i) {
        const SyncSpec *spec = FindSpec(argv[i]);
        if (spec == nullptr) {
            std::fprintf(stderr, "vantorq_blockholder: %s is none of the five object names\n", argv[i]);
            return 2;
        }
        if (!CreateSync(held[i - 1], spec->name, spec->kind, spec->initial, spec->maximum))
            return Fail("cannot create", spec->name);
    }
    block->SyncReady = 1;
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
