// POSIX backend: shm_open/mmap for named memory, sem_open for named
// semaphores.  POSIX semaphores know no maximum, so the handle carries it and
// the release checks it.  Check and post are made one step for every process
// by a robust process-shared mutex kept in a small segment of the namespace's
// own, "Vantorq_Release_Lock": taking it costs no system call, and a process
// that dies holding it wedges nobody.  Events are semaphores of maximum 1.
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
#include <grp.h>
#include <pthread.h>
#include <pwd.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kNameSize = 256;
constexpr mode_t kDefaultMode = 0660;

// The segment that holds the release lock, one per namespace.
constexpr const char *kReleaseLockName = "Vantorq_Release_Lock";
constexpr uint32_t kReleaseLockReady = 0x52454c31;   // "REL1"

struct ReleaseLockPage {
    uint32_t ready;            // kReleaseLockReady once the mutex is set up
    pthread_mutex_t mutex;
};

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

// Maps the namespace's release lock, making and setting it up on first use.
// The set-up runs under an flock on the segment, so it happens once however
// many processes attach together, and again if its maker died half-way.
// Null on failure, with errno telling why.
pthread_mutex_t *MapReleaseLock()
{
    char sysName[kNameSize];
    if (!SystemName(kReleaseLockName, sysName))
        return nullptr;
    int fd;
    {
        ExactMode exact;
        fd = shm_open(sysName, O_RDWR | O_CREAT | O_CLOEXEC, ObjectMode());
    }
    if (fd < 0)
        return nullptr;
    void *view = MAP_FAILED;
    struct stat st;
    bool ok = flock(fd, LOCK_EX) == 0 && fstat(fd, &st) == 0 &&
              (static_cast<std::size_t>(st.st_size) >= sizeof(ReleaseLockPage) ||
               ftruncate(fd, sizeof(ReleaseLockPage)) == 0);
    if (ok)
        view = mmap(nullptr, sizeof(ReleaseLockPage), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    auto *page = view == MAP_FAILED ? nullptr : static_cast<ReleaseLockPage *>(view);
    if (page != nullptr && page->ready != kReleaseLockReady) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        int rc = pthread_mutex_init(&page->mutex, &attr);
        pthread_mutexattr_destroy(&attr);
        if (rc == 0) {
            page->ready = kReleaseLockReady;
        } else {
            munmap(view, sizeof(ReleaseLockPage));
            page = nullptr;
            errno = rc;
        }
    }
    // Unlock explicitly: the mapping keeps the open file, and with it the
    // flock, alive after close.
    int saved = errno;
    flock(fd, LOCK_UN);
    close(fd);
    errno = saved;
    return page == nullptr ? nullptr : &page->mutex;
}

// Completes a created or opened semaphore with the release lock.  On
// failure the semaphore is closed again and errno tells why.
bool AttachReleaseLock(SyncObject &obj, sem_t *sem, SyncKind kind, int32_t maximum)
{
    pthread_mutex_t *lock = MapReleaseLock();
    if (lock == nullptr) {
        int saved = errno;
        sem_close(sem);
        errno = saved;
        return false;
    }
    obj = SyncObject{sem, kind, maximum, lock};
    return true;
}

// An existing semaphore by its portable name; nullptr (errno set) when there is none.
sem_t *OpenExistingSem(const char *name)
{
    char sysName[kNameSize];
    if (!SystemName(name, sysName))
        return nullptr;
    sem_t *sem = sem_open(sysName, 0);
    return sem == SEM_FAILED ? nullptr : sem;
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
    return AttachReleaseLock(obj, sem, kind, maximum);
}

bool OpenSync(SyncObject &obj, const char *name, SyncKind kind, int32_t maximum)
{
    obj.handle = nullptr;
    sem_t *sem = OpenExistingSem(name);
    if (sem == nullptr)
        return false;
    return AttachReleaseLock(obj, sem, kind, maximum);
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
    // more and pass the maximum together.  Waits need no lock: they only
    // lower the count.
    auto *lock = static_cast<pthread_mutex_t *>(obj.guard);
    if (lock == nullptr) {
        // Opened for a query only: no release through it.
        errno = EBADF;
        return false;
    }
    int rc = pthread_mutex_lock(lock);
    if (rc == EOWNERDEAD) {
        // Its holder died between check and post: the count is whole either way.
        pthread_mutex_consistent(lock);
    } else if (rc != 0) {
        errno = rc;
        return false;
    }
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
    pthread_mutex_unlock(lock);
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

void RemovePlatformObjects()
{
    RemoveNamedMemory(kReleaseLockName);
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

// ---- Looking at named objects from outside ----------------------------------

namespace {

// Where glibc keeps the names: a mapping "/x" is /dev/shm/x, a semaphore
// "/x" is /dev/shm/sem.x.
constexpr const char *kShmDirectory = "/dev/shm";

bool ObjectPath(NamedObjectType type, const char *sysName, char *out, std::size_t outSize)
{
    int n = std::snprintf(out, outSize, "%s/%s%s", kShmDirectory, type == NamedObjectType::Sync ? "sem." : "",
                          sysName + 1);
    if (n < 0 || static_cast<std::size_t>(n) >= outSize) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

void UserName(uid_t uid, char *out, std::size_t outSize)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buf[1024];
    if (getpwuid_r(uid, &entry, buf, sizeof buf, &found) == 0 && found != nullptr)
        std::snprintf(out, outSize, "%s", found->pw_name);
    else
        std::snprintf(out, outSize, "%u", static_cast<unsigned>(uid));
}

void GroupName(gid_t gid, char *out, std::size_t outSize)
{
    struct group entry;
    struct group *found = nullptr;
    char buf[1024];
    if (getgrgid_r(gid, &entry, buf, sizeof buf, &found) == 0 && found != nullptr)
        std::snprintf(out, outSize, "%s", found->gr_name);
    else
        std::snprintf(out, outSize, "%u", static_cast<unsigned>(gid));
}

} // namespace

bool OpenNamedMemoryForReading(SharedMemory &mem, const char *name)
{
    char sysName[kNameSize];
    mem.handle = -1;
    mem.bytes = 0;
    if (!SystemName(name, sysName))
        return false;
    int fd = shm_open(sysName, O_RDONLY, 0);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    mem.handle = fd;
    mem.bytes = static_cast<std::size_t>(st.st_size);
    return true;
}

const void *MapNamedMemoryForReading(SharedMemory &mem)
{
    if (mem.handle < 0) {
        errno = EBADF;
        return nullptr;
    }
    if (mem.bytes == 0) {
        errno = EINVAL;   // nothing to map in an empty object
        return nullptr;
    }
    void *view = mmap(nullptr, mem.bytes, PROT_READ, MAP_SHARED, static_cast<int>(mem.handle), 0);
    return view == MAP_FAILED ? nullptr : view;
}

void CloseNamedMemory(SharedMemory &mem, const void *view)
{
    if (view != nullptr)
        munmap(const_cast<void *>(view), mem.bytes);
    if (mem.handle >= 0)
        close(static_cast<int>(mem.handle));
    mem.handle = -1;
    mem.bytes = 0;
}

bool OpenSyncForQuery(SyncObject &obj, const char *name, SyncKind kind, int32_t maximum)
{
    obj.handle = nullptr;
    sem_t *sem = OpenExistingSem(name);
    if (sem == nullptr)
        return false;
    obj = SyncObject{sem, kind, maximum};
    return true;
}

void CloseSync(SyncObject &obj)
{
    if (obj.handle != nullptr)
        sem_close(AsSem(obj));
    obj.handle = nullptr;
}

int32_t QuerySyncCount(SyncObject &obj) { return PeekSyncCount(obj); }

bool IsMissingObjectError(int code) { return code == ENOENT; }

bool QueryNamedObjectInfo(NamedObjectType type, const char *name, NamedObjectInfo &info)
{
    info = NamedObjectInfo{};
    char sysName[kNameSize];
    char path[kNameSize + 16];
    if (!SystemName(name, sysName) || !ObjectPath(type, sysName, path, sizeof path))
        return false;
    struct stat st;
    bool known = false;
    if (type == NamedObjectType::Memory) {
        // The mapping's own descriptor where this process may open it; its
        // file under /dev/shm where it may not.
        int fd = shm_open(sysName, O_RDONLY, 0);
        if (fd >= 0) {
            known = fstat(fd, &st) == 0;
            close(fd);
        }
        if (!known && stat(path, &st) != 0)
            return false;
        int rw = shm_open(sysName, O_RDWR, 0);
        info.accessible = rw >= 0;
        if (rw >= 0)
            close(rw);
    } else {
        if (stat(path, &st) != 0)
            return false;
        info.accessible = access(path, R_OK | W_OK) == 0;
    }
    info.uid = st.st_uid;
    info.gid = st.st_gid;
    info.mode = static_cast<uint32_t>(st.st_mode & 07777);
    info.bytes = static_cast<uint64_t>(st.st_size);
    UserName(st.st_uid, info.owner, sizeof info.owner);
    GroupName(st.st_gid, info.group, sizeof info.group);
    std::snprintf(info.where, sizeof info.where, "%s", path);
    return true;
}

bool StandardOutputIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void SleepMilliseconds(uint32_t ms)
{
    struct timespec left;
    left.tv_sec = static_cast<time_t>(ms / 1000);
    left.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
