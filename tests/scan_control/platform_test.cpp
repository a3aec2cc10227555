// The POSIX platform layer between processes: a release with a maximum is
// one step for every process, and new objects get their mode whatever the
// umask.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform.h"

namespace {

constexpr int kProcesses = 4;
constexpr int kRounds = 3000;

// What the releasing processes share: a barrier that starts every round at
// once, and the count of releases that each saw succeed or refused.
struct Arena {
    pthread_barrier_t start;
    pthread_barrier_t done;
    int succeeded[kProcesses];
    int refusedOverflow[kProcesses];
    int otherFailures[kProcesses];
};

std::string FilePath(const char *logical)
{
    char name[256];
    EXPECT_TRUE(QualifyObjectName(logical, name, sizeof name));
    return logical[0] == '/' ? std::string("/dev/shm/sem.") + (name + 1) : std::string("/dev/shm/") + name;
}

TEST(PlatformPosix, ConcurrentReleasesNeverPassTheMaximum)
{
    const char *name = "/Race_Sem";
    RemoveNamedSync(name);
    SyncObject sem;
    ASSERT_TRUE(CreateSync(sem, name, SyncKind::Semaphore, 0, 1));

    auto *arena = static_cast<Arena *>(
        mmap(nullptr, sizeof(Arena), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(arena, MAP_FAILED);
    pthread_barrierattr_t attr;
    pthread_barrierattr_init(&attr);
    pthread_barrierattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_barrier_init(&arena->start, &attr, kProcesses + 1);
    pthread_barrier_init(&arena->done, &attr, kProcesses + 1);

    pid_t children[kProcesses];
    for (int p = 0; p < kProcesses; ++p) {
        children[p] = fork();
        ASSERT_GE(children[p], 0);
        if (children[p] == 0) {
            // Each child opens the object by name, as another client would.
            SyncObject mine;
            if (!OpenSync(mine, name, SyncKind::Semaphore, 1))
                _exit(3);
            for (int round = 0; round < kRounds; ++round) {
                pthread_barrier_wait(&arena->start);
                if (ReleaseSync(mine))
                    ++arena->succeeded[p];
                else if (errno == EOVERFLOW)
                    ++arena->refusedOverflow[p];
                else
                    ++arena->otherFailures[p];
                pthread_barrier_wait(&arena->done);
            }
            _exit(0);
        }
    }

    // Every round all children release a count of 0 at once: exactly one may
    // succeed.  The parent then takes the count back for the next round.
    int badRounds = 0;
    int highest = 0;
    for (int round = 0; round < kRounds; ++round) {
        pthread_barrier_wait(&arena->start);
        pthread_barrier_wait(&arena->done);
        int count = PeekSyncCount(sem);
        if (count != 1)
            ++badRounds;
        if (count > highest)
            highest = count;
        while (WaitSync(sem, 0) == WaitStatus::Taken) {
        }
    }
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    int succeeded = 0, refused = 0, other = 0;
    for (int p = 0; p < kProcesses; ++p) {
        succeeded += arena->succeeded[p];
        refused += arena->refusedOverflow[p];
        other += arena->otherFailures[p];
    }
    EXPECT_EQ(highest, 1);
    EXPECT_EQ(badRounds, 0);
    EXPECT_EQ(succeeded, kRounds);
    EXPECT_EQ(refused, kRounds * (kProcesses - 1));
    EXPECT_EQ(other, 0);

    munmap(arena, sizeof(Arena));
    RemoveNamedSync(name);
}

// A process killed while it holds the release lock must not wedge the
// others: the lock is a robust mutex, and the next releaser takes it over.
TEST(PlatformPosix, AReleaserKilledMidwayWedgesNobody)
{
    const char *name = "/Kill_Sem";
    RemoveNamedSync(name);
    SyncObject sem;
    ASSERT_TRUE(CreateSync(sem, name, SyncKind::Semaphore, 0, 1));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Take the lock the release uses, as a releaser does, and die holding it.
        SyncObject mine;
        if (!OpenSync(mine, name, SyncKind::Semaphore, 1) ||
            pthread_mutex_lock(static_cast<pthread_mutex_t *>(mine.guard)) != 0)
            _exit(3);
        if (write(ready[1], "x", 1) != 1)
            _exit(4);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(ReleaseSync(sem));
    EXPECT_EQ(PeekSyncCount(sem), 1);
    EXPECT_FALSE(ReleaseSync(sem));
    EXPECT_EQ(errno, EOVERFLOW);
    close(ready[0]);
    close(ready[1]);
    RemoveNamedSync(name);
}

TEST(PlatformPosix, NewObjectsGetTheirModeWhateverTheUmask)
{
    mode_t saved = umask(077);
    RemoveNamedMemory("SHM_Mode");
    RemoveNamedSync("/Mode_Sem");
    SharedMemory mem;
    SyncObject sem;
    bool made = CreateNamedMemory(mem, "SHM_Mode", 16) &&
                CreateSync(sem, "/Mode_Sem", SyncKind::Semaphore, 1, 1);
    umask(saved);
    ASSERT_TRUE(made);
    struct stat st {};
    ASSERT_EQ(stat(FilePath("SHM_Mode").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    ASSERT_EQ(stat(FilePath("/Mode_Sem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    // The umask is back as it was.
    mode_t now = umask(saved);
    EXPECT_EQ(now, saved);
    RemoveNamedMemory("SHM_Mode");
    RemoveNamedSync("/Mode_Sem");
}

} // namespace
