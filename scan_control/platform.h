// The operating-system services the scan-control extension and its driver
// simulator need: named shared memory, named counting semaphores with a
// maximum count (auto-reset events are semaphores of maximum 1), and the last
// system error with its text.  One backend per system implements this file;
// nothing else includes a system header for these services.
#pragma once

#include <cstddef>
#include <cstdint>

enum class SyncKind { Event, Semaphore };

enum class WaitStatus {
    Taken,     // the object was taken (count decremented)
    TimedOut,  // the time ran out first; the last system error tells why
    Failed,    // the wait itself failed; the last system error tells why
};

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// A named synchronisation object as held by one process.  Kept by value in
// the owner's state; `handle` is null while the object is not created or open.
struct SyncObject {
    void *handle = nullptr;
    SyncKind kind = SyncKind::Semaphore;
    int32_t maximum = 1;
    void *guard = nullptr;  // what the backend locks to release atomically, if anything
};

// Qualifies a logical object name ("/Ctrl_Sem", "SHM_Statics") with the
// namespace taken from VANTORQ_NAMESPACE: the text goes right after a leading
// slash, or in front of a name without one.  Unset or empty: the name as is.
// Returns false (and an empty `out`) when the result does not fit.
bool QualifyObjectName(const char *name, char *out, std::size_t outSize);

// A named mapping with no file behind it, as held by one process.
struct SharedMemory {
    intptr_t handle = -1;       // -1 while not created
    std::size_t bytes = 0;
};

// Where names are files (POSIX), a new mapping or semaphore gets its mode
// exactly, whatever the umask: 0660 (owner and group read-write), or the
// octal mode in VANTORQ_MODE.  An invalid VANTORQ_MODE is reported once on
// standard output and the default used.

// Creates the named mapping of `bytes` bytes, or opens it when it exists.
// `name` is the logical name, e.g. "SHM_Statics".  Returns false with the
// last system error set on failure.
bool CreateNamedMemory(SharedMemory &mem, const char *name, std::size_t bytes);

// Maps a view of the whole mapping, read-write.  Null on failure, with the
// last system error set.
void *MapNamedMemory(SharedMemory &mem);

// Creates the named object, or opens it when it exists (then `initial` is not
// applied).  Returns false with the last system error set on failure.
bool CreateSync(SyncObject &obj, const char *name, SyncKind kind, int32_t initial, int32_t maximum);

// Opens an existing named object.  `maximum` is the count the object was
// created with; the release refuses to pass it.
bool OpenSync(SyncObject &obj, const char *name, SyncKind kind, int32_t maximum);

// Waits at most `timeoutMs` milliseconds (kWaitForever: without limit).
WaitStatus WaitSync(SyncObject &obj, uint32_t timeoutMs);

// Adds one to the count.  Fails, leaving the count as it was, when that would
// raise it above the maximum, or when the object is not usable.  The check
// and the addition are one step for every process using this layer.
bool ReleaseSync(SyncObject &obj);

// The current count where the system can tell it without disturbing the
// object for long; -1 when it cannot.  For tools and tests.
int32_t PeekSyncCount(SyncObject &obj);

// Removes a name from the system where names outlive their users (POSIX);
// a no-op where the system removes them with the last handle (Windows).
void RemoveNamedMemory(const char *name);
void RemoveNamedSync(const char *name);
// Removes what the backend keeps beside the named objects of the namespace
// (POSIX: the segment of the release lock); a no-op on Windows.
void RemovePlatformObjects();

// The calling thread's last system error code and the system's text for it.
int LastSystemError();
void SystemErrorText(int code, char *out, std::size_t outSize);

// Ends the process at once with the exit code, after flushing standard output
// and standard error.
[[noreturn]] void ExitProcessNow(int code);
