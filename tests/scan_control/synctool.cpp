// A small tool for the Tcl tests: plays a foreign client of the block.
//   peek NAME          prints the count of a named semaphore
//   take NAME          takes it and exits without giving it back
//   hold NAME          takes it, prints "held", keeps it until stdin closes
//   release NAME       releases it once (prints "refused" when it cannot)
//   remove NAME        removes the name where names outlive their users
//   get OFFSET         prints the 32-bit field of the block at OFFSET
//   set OFFSET VALUE   writes the 32-bit field of the block at OFFSET
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vantorq.h"

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: vantorq_synctool peek|take|hold|release|remove NAME | get OFFSET | set OFFSET VALUE\n");
    return 2;
}

int32_t *Field(const char *offsetText)
{
    long offset = std::strtol(offsetText, nullptr, 0);
    if (offset < 0 || offset + 4 > static_cast<long>(kStaticsSize) || offset % 4 != 0)
        return nullptr;
    SharedMemory mem;
    if (!CreateNamedMemory(mem, kStaticsName, kStaticsSize + 1))
        return nullptr;
    auto *block = static_cast<unsigned char *>(MapNamedMemory(mem));
    return block == nullptr ? nullptr : reinterpret_cast<int32_t *>(block + offset);
}

int Fail(const char *what)
{
    char text[256];
    int code = LastSystemErrorText(text, sizeof text);
    std::fprintf(stderr, "vantorq_synctool: %s: %d - %s\n", what, code, text);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return Usage();
    const char *verb = argv[1];
    const char *arg = argv[2];
    if (std::strcmp(verb, "get") == 0 || std::strcmp(verb, "set") == 0) {
        int32_t *field = Field(arg);
        if (field == nullptr)
            return Fail("cannot map the block at that offset");
        if (verb[0] == 'g')
            std::printf("%d\n", *field);
        else if (argc == 4)
            *field = static_cast<int32_t>(std::strtol(argv[3], nullptr, 0));
        else
            return Usage();
        return 0;
    }
    if (std::strcmp(verb, "remove") == 0) {
        RemoveNamedSync(arg);
        return 0;
    }
    SyncObject obj;
    if (!OpenSync(obj, arg, SyncKind::Semaphore, 1))
        return Fail("cannot open");
    if (std::strcmp(verb, "peek") == 0) {
        std::printf("%d\n", PeekSyncCount(obj));
    } else if (std::strcmp(verb, "take") == 0 || std::strcmp(verb, "hold") == 0) {
        if (WaitSync(obj, kWaitForever) != WaitStatus::Taken)
            return Fail("cannot take");
        if (verb[0] == 'h') {
            std::printf("held\n");
            std::fflush(stdout);
            while (std::getchar() != EOF) {
            }
        }
    } else if (std::strcmp(verb, "release") == 0) {
        std::printf("%s\n", ReleaseSync(obj) ? "released" : "refused");
    } else {
        return Usage();
    }
    return 0;
}
