// Runs a fuzz target without libFuzzer over the inputs named on the command
// line (files, or directories of files): the ordinary build replays the
// committed corpus, and every fault found and fixed so far, through the same
// checks on every test run.
//   replay_TARGET PATH...
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

constexpr size_t kMaxInput = 1 << 20;
uint8_t g_input[kMaxInput];
unsigned g_count;

bool RunFile(const char *path)
{
    FILE *f = std::fopen(path, "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "replay: cannot open %s: %s\n", path, std::strerror(errno));
        return false;
    }
    size_t size = std::fread(g_input, 1, sizeof g_input, f);
    bool tooLong = size == sizeof g_input && std::fgetc(f) != EOF;
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (tooLong || failed) {
        std::fprintf(stderr, "replay: %s: %s\n", path, tooLong ? "longer than 1 MiB" : "read error");
        return false;
    }
    LLVMFuzzerTestOneInput(g_input, size);
    ++g_count;
    return true;
}

bool RunPath(const char *path)
{
    struct stat st;
    if (stat(path, &st) != 0) {
        std::fprintf(stderr, "replay: %s: %s\n", path, std::strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode))
        return RunFile(path);
    DIR *dir = opendir(path);
    if (dir == nullptr) {
        std::fprintf(stderr, "replay: cannot read directory %s: %s\n", path, std::strerror(errno));
        return false;
    }
    bool ok = true;
    while (const dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char file[4096];
        std::snprintf(file, sizeof file, "%s/%s", path, entry->d_name);
        ok = RunFile(file) && ok;
    }
    closedir(dir);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    bool ok = true;
    for (int k = 1; k < argc; ++k)
        ok = RunPath(argv[k]) && ok;
    std::fprintf(stderr, "replay: %u inputs run%s\n", g_count, ok ? "" : ", some could not be read");
    return ok && g_count > 0 ? 0 : 1;
}
