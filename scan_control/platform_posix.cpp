// POSIX backend: shm_open/mmap for named memory, sem_open for named
// semaphores.  POSIX semaphores know no maximum, so the handle carries it and
// the release checks it, under an flock on the semaphore's own file so that
// the check and the post are one step for every process.  Events are
// semaphores of maximum 1.
//
// Objects are created with an explicit mode, whatever the umask: read-write
// for the owner and the owner's group (0660) unless VANTORQ_MODE says
// otherwise, so that a driver account and the script users of one group
// share the block.
#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kNameSize = 256;
constexpr mode_t kDefaultMode = 0660;

// Where glibc keeps a named semaphore: "/dev/shm/sem." and the name without
// its leading slash.  The release locks this file.
constexpr const char *kSemaphoreFilePrefix = "/dev/shm/sem.";

// VANTORQ_MODE: an octal mode with read-write for the owner and no execute
// bits ("0666", "0600").  Anything else is reported once and the default used.
mode_t ObjectMode()
{
    static bool decided = false;
    static mode_t mode = kDefaultMode;
    if (decided)
        return mode;
    decided = true;
    const char *text = std::getenv("VANTORQ_MODE");
    if (text == nullptr || text[0] == '\0')
        return mode;
    char *end = nullptr;
    errno = 0;
    long value = std::strtol(text, &end, 8);
    bool valid = errno == 0 && *end == '\0' && text[0] >= '0' && text[0] <= '7' &&
                 value >= 0 && value <= 0777 && (value & 0600) == 0600 && (value & 0111) == 0;
    if (valid) {
        mode = static_cast<mode_t>(value);
    } else {
        std::printf("VANTORQ_MODE \"%s\" is not an octal mode with read-write for the owner "
                    "and no execute bits: using %04o\n", text, static_cast<unsigned>(kDefaultMode));
        std::fflush(stdout);
    }
    errno = 0;
    return mode;
}

// Creating with the umask cleared gives the object exactly the mode asked
// for; the umask is put back at once.
class ExactMode {
public:
    ExactMode() : saved_(umask(0)) {}
    ~ExactMode() { umask(saved_); }
    ExactMode(const ExactMode &) = delete;
    ExactMode &operator=(const ExactMode &) = delete;

private:
    mode_t saved_;
};

// shm_open wants a leading slash; the Windows names have none.
bool SystemName(const char *name, char *out)
{
    char qualified[kNameSize];
    if (!QualifyObjectName(name, qualified, sizeof qualified)) {
        errno = ENAMETOOLONG;
        return false;
    }
    int n = std::snprintf(out, kNameSize, "%s%s", qualified[0] == '/' ? "" : "/", qualified);
    if (n < 0 || static_cast<std::size_t>(n) >= kNameSize) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

sem_t *AsSem(const SyncObject &obj) { return static_cast<sem_t *>(obj.handle); }

// strerror_r comes in two flavours; these overloads take either.
[[maybe_unused]] const char *ErrorTextOf(int ret, const char *buf) { return ret == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char *ErrorTextOf(const char *text, const char *) { return text; }

} // namespace

bool CreateNamedMemory(SharedMemory &mem, const char *name, std::size_t bytes)
{
    char sysName[kNameSize];
    if (!SystemName(name, sysName))
        return false;
    mode_t mode = ObjectMode();
    int fd;
    {
        ExactMode exact;
        fd = shm_open(sysName, O_RDWR | O_CREAT, mode);
    }
    if (fd < 0)
        return false;
    // A fresh object is empty: give it its size, which reads as zeros.
    struct stat st;
    if (fstat(fd, &st) != 0 ||
        (static_cast<std::size_t>(st.st_size) < bytes && ftruncate(fd, static_cast<off_t>(bytes)) != 0)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    mem.handle = fd;
    mem.bytes = bytes;
    return true;
}

void *MapNamedMemory(SharedMemory &mem)
{
    if (mem.handle < 0) {
        errno = EBADF;
        return nullptr;
    }
    void *view = mmap(nullptr, mem.bytes, PROT_READ | PROT_WRITE, MAP_SHARED, static_cast<int>(mem.handle), 0);
    return view == MAP_FAILED ? nullptr : view;
}

namespace {

// Opens the semaphore's own file for the release lock.  On failure the
// semaphore is closed again and errno tells why.
bool AttachReleaseLock(SyncObject &obj, sem_t *sem, const char *sysName, SyncKind kind, int32_t maximum)
{
    char path[kNameSize + 16];
    int n = std::snprintf(path, sizeof path, "%s%s", kSemaphoreFilePrefix, sysName + 1);
    int fd = -1;
    if (n > 0 && static_cast<std::size_t>(n) < sizeof path)
        fd = open(path, O_RDONLY | O_CLOEXEC);
    else
        errno = ENAMETOOLONG;
    if (fd < 0) {
        int saved = errno;
        sem_close(sem);
        errno = saved;
        return false;
    }
    obj = SyncObject{sem, kind, maximum, fd};
    return true;
}

} // namespace

bool CreateSync(SyncObject &obj, const char *name, SyncKind kind, int32_t initial, int32_t maximum)
{
    char sysName[kNameSize];
    obj.handle = nullptr;
    if (!SystemName(name, sysName))
        return false;
    mode_t mode = ObjectMode();
    sem_t *sem;
    {
        ExactMode exact;
        sem = sem_open(sysName, O_CREAT, mode, static_cast<unsigned>(initial));
    }
    if (sem == SEM_FAILED)
        return false;
    return AttachReleaseLock(obj, sem, sysName, kind, maximum);
}

bool OpenSync(SyncObject &obj, const char *name, SyncKind kind, int32_t maximum)
{
    char sysName[kNameSize];
    obj.handle = nullptr;
    if (!SystemName(name, sysName))
        return false;
    sem_t *sem = sem_open(sysName, 0);
    if (sem == SEM_FAILED)
        return false;
    return AttachReleaseLock(obj, sem, sysName, kind, maximum);
}

WaitStatus WaitSync(SyncObject &obj, uint32_t timeoutMs)
{
    if (obj.handle == nullptr) {
        errno = EBADF;
        return WaitStatus::Failed;
    }
    if (timeoutMs == kWaitForever) {
        while (sem_wait(AsSem(obj)) != 0)
            if (errno != EINTR)
                return WaitStatus::Failed;
        return WaitStatus::Taken;
    }
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (sem_clockwait(AsSem(obj), CLOCK_MONOTONIC, &deadline) != 0) {
        if (errno == ETIMEDOUT)
            return WaitStatus::TimedOut;
        if (errno != EINTR)
            return WaitStatus::Failed;
    }
    return WaitStatus::Taken;
}

bool ReleaseSync(SyncObject &obj)
{
    if (obj.handle == nullptr) {
        errno = EBADF;
        return false;
    }
    // Releases are not only made by holders: a waiter whose time ran out
    // gives back a count it never took.  Check and post must therefore be one
    // step among all processes, or two releases could both see room for one
    // more and pass the maximum together.  The flock on the semaphore's file
    // makes them one; the kernel drops it with a process that dies holding
    // it, so nobody is wedged.  Waits need no lock: they only lower the count.
    while (flock(static_cast<int>(obj.guard), LOCK_EX) != 0)
        if (errno != EINTR)
            return false;
    int value = 0;
    bool ok = false;
    if (sem_getvalue(AsSem(obj), &value) != 0) {
        // errno set by sem_getvalue
    } else if (value >= obj.maximum) {
        errno = EOVERFLOW;
    } else {
        ok = sem_post(AsSem(obj)) == 0;
    }
    int saved = errno;
    flock(static_cast<int>(obj.guard), LOCK_UN);
    errno = saved;
    return ok;
}

int32_t PeekSyncCount(SyncObject &obj)
{
    int value = 0;
    if (obj.handle == nullptr || sem_getvalue(AsSem(obj), &value) != 0)
        return -1;
    return value < 0 ? 0 : value;
}

void RemoveNamedMemory(const char *name)
{
    char sysName[kNameSize];
    if (SystemName(name, sysName))
        shm_unlink(sysName);
}

void RemoveNamedSync(const char *name)
{
    char sysName[kNameSize];
    if (SystemName(name, sysName))
        sem_unlink(sysName);
}

int LastSystemError() { return errno; }

void SystemErrorText(int code, char *out, std::size_t outSize)
{
    char buf[256];
    std::snprintf(out, outSize, "%s", ErrorTextOf(strerror_r(code, buf, sizeof buf), buf));
}

void ExitProcessNow(int code)
{
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
}
