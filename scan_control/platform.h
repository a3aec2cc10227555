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

// The namespace of every object name: the text of VANTORQ_NAMESPACE, or the
// empty text when it is unset.
const char *ObjectNamespace();

// Qualifies a logical object name ("/Ctrl_Sem", "SHM_Statics") with the
// namespace: the text goes right after a leading slash, or in front of a name
// without one.  Empty namespace: the name as is.  Returns false (and an empty
// `out`) when the result does not fit.
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

// Both at once (system_error.cpp): the code, with its text in `text`.
int LastSystemErrorText(char *text, std::size_t size);

// The line a failed command or step reports: "Error N - text\n", with the
// system's text as it gives it.
void SystemErrorLine(char *out, std::size_t size);

// Ends the process at once with the exit code, after flushing standard output
// and standard error.
[[noreturn]] void ExitProcessNow(int code);

// ---- Looking at named objects from outside (operator tools) ----------------
// None of these creates an object, takes a count or writes to a mapping.

// Opens an existing named mapping for reading only; never creates one.
// `mem.bytes` becomes the mapping's size where the system tells it (0 where
// it does not).  False with the last system error set on failure; see
// IsMissingObjectError.
bool OpenNamedMemoryForReading(SharedMemory &mem, const char *name);

// Maps a read-only view of a mapping opened by OpenNamedMemoryForReading.
// Null on failure, with the last system error set.
const void *MapNamedMemoryForReading(SharedMemory &mem);

// Unmaps a view from MapNamedMemoryForReading and closes the mapping.
void CloseNamedMemory(SharedMemory &mem, const void *view);

// Opens an existing named object only to read its count with
// QuerySyncCount; never creates one.  False with the last system error set.
bool OpenSyncForQuery(SyncObject &obj, const char *name, SyncKind kind, int32_t maximum);

// Closes an object opened with OpenSyncForQuery.
void CloseSync(SyncObject &obj);

// The current count read without taking the object; -1 when the system
// cannot tell.
int32_t QuerySyncCount(SyncObject &obj);

// True when a system error code means that the named object does not exist.
bool IsMissingObjectError(int code);

enum class NamedObjectType { Memory, Sync };

// Owner, group and permissions of a named object, as far as the system has
// them.
struct NamedObjectInfo {
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t mode = 0;             // permission bits, e.g. 0660
    uint64_t bytes = 0;            // size of a mapping
    bool accessible = false;       // this process may open it for reading and writing
    char owner[32] = {};           // user name, or the number as text
    char group[32] = {};           // group name, or the number as text
    char where[288] = {};          // the file that holds it, where there is one
};

// Fills `info` for the object of the logical name (e.g. "SHM_Statics",
// "/Ctrl_Sem").  False with the last system error set when the object does
// not exist, cannot be examined, or the system keeps no such information.
bool QueryNamedObjectInfo(NamedObjectType type, const char *name, NamedObjectInfo &info);

// Whether standard output is a terminal.
bool StandardOutputIsTerminal();

// Sleeps for about `ms` milliseconds.
void SleepMilliseconds(uint32_t ms);
