// Win32 backend: named file mappings on the paging file, named events and
// semaphores.  Mapping names have no leading slash; the objects keep theirs
// ("/Ctrl_Sem"), which Windows takes as an ordinary character.  The system
// removes a name with its last handle, so there is nothing to unlink.
#include "platform.h"

#include <cstdio>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

constexpr std::size_t kNameSize = 256;

// The qualified name, or false with ERROR_FILENAME_EXCED_RANGE when it does
// not fit.
bool SystemName(const char *name, char *out)
{
    if (QualifyObjectName(name, out, kNameSize))
        return true;
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
}

HANDLE AsHandle(const SyncObject &obj) { return static_cast<HANDLE>(obj.handle); }

bool Usable(const SyncObject &obj)
{
    if (obj.handle != nullptr)
        return true;
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

} // namespace

bool CreateNamedMemory(SharedMemory &mem, const char *name, std::size_t bytes)
{
    char sysName[kNameSize];
    if (!SystemName(name, sysName))
        return false;
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  static_cast<DWORD>(bytes), sysName);
    if (h == nullptr)
        return false;
    mem.handle = reinterpret_cast<intptr_t>(h);
    mem.bytes = bytes;
    return true;
}

void *MapNamedMemory(SharedMemory &mem)
{
    if (mem.handle == -1 || mem.handle == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return MapViewOfFile(reinterpret_cast<HANDLE>(mem.handle), FILE_MAP_ALL_ACCESS, 0, 0, 0);
}

bool CreateSync(SyncObject &obj, const char *name, SyncKind kind, int32_t initial, int32_t maximum)
{
    char sysName[kNameSize];
    obj.handle = nullptr;
    if (!SystemName(name, sysName))
        return false;
    // Events are auto-reset; a positive initial count starts them signalled.
    HANDLE h = kind == SyncKind::Event ? CreateEventA(nullptr, FALSE, initial > 0, sysName)
                                       : CreateSemaphoreA(nullptr, initial, maximum, sysName);
    if (h == nullptr)
        return false;
    obj = SyncObject{h, kind, maximum};
    return true;
}

namespace {

// Opens an existing event or semaphore with the access rights given for its kind.
bool OpenExistingSync(SyncObject &obj, const char *name, SyncKind kind, int32_t maximum, DWORD eventRights,
                      DWORD semaphoreRights)
{
    char sysName[kNameSize];
    obj.handle = nullptr;
    if (!SystemName(name, sysName))
        return false;
    HANDLE h = kind == SyncKind::Event ? OpenEventA(eventRights, FALSE, sysName)
                                       : OpenSemaphoreA(semaphoreRights, FALSE, sysName);
    if (h == nullptr)
        return false;
    obj = SyncObject{h, kind, maximum};
    return true;
}

} // namespace

bool OpenSync(SyncObject &obj, const char *name, SyncKind kind, int32_t maximum)
{
    return OpenExistingSync(obj, name, kind, maximum, EVENT_ALL_ACCESS, SEMAPHORE_ALL_ACCESS);
}

WaitStatus WaitSync(SyncObject &obj, uint32_t timeoutMs)
{
    if (!Usable(obj))
        return WaitStatus::Failed;
    DWORD ms = timeoutMs == kWaitForever ? INFINITE : static_cast<DWORD>(timeoutMs);
    switch (WaitForSingleObject(AsHandle(obj), ms)) {
    case WAIT_OBJECT_0:
        return WaitStatus::Taken;
    case WAIT_TIMEOUT:
        // The wait does not set the last error; say why it ended.
        SetLastError(WAIT_TIMEOUT);
        return WaitStatus::TimedOut;
    default:
        return WaitStatus::Failed;
    }
}

bool ReleaseSync(SyncObject &obj)
{
    if (!Usable(obj))
        return false;
    if (obj.kind == SyncKind::Event)
        return SetEvent(AsHandle(obj)) != 0;
    // The system refuses to pass the maximum (ERROR_TOO_MANY_POSTS).
    return ReleaseSemaphore(AsHandle(obj), 1, nullptr) != 0;
}

int32_t PeekSyncCount(SyncObject &obj)
{
    if (obj.handle == nullptr)
        return -1;
    switch (WaitForSingleObject(AsHandle(obj), 0)) {
    case WAIT_TIMEOUT:
        return 0;
    case WAIT_OBJECT_0:
        break;
    default:
        return -1;
    }
    // Taken one: give it back, learning the count from before the release.
    if (obj.kind == SyncKind::Event)
        return SetEvent(AsHandle(obj)) != 0 ? 1 : -1;
    LONG previous = 0;
    if (ReleaseSemaphore(AsHandle(obj), 1, &previous) == 0)
        return -1;
    return static_cast<int32_t>(previous) + 1;
}

void RemoveNamedMemory(const char *) {}

void RemoveNamedSync(const char *) {}

void RemovePlatformObjects() {}

int LastSystemError() { return static_cast<int>(GetLastError()); }

void SystemErrorText(int code, char *out, std::size_t outSize)
{
    char *text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
                             static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                             reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::snprintf(out, outSize, "%s", n != 0 && text != nullptr ? text : "");
    if (text != nullptr)
        LocalFree(text);
}

void ExitProcessNow(int code)
{
    std::fflush(stdout);
    std::fflush(stderr);
    ExitProcess(static_cast<UINT>(code));
}

// ---- Looking at named objects from outside ----------------------------------

namespace {

// The counts come from ntdll's query calls, which read an object without
// waiting on it (a wait would take the object, if only for a moment).
struct SemaphoreBasicInformation {
    LONG CurrentCount;
    LONG MaximumCount;
};
struct EventBasicInformation {
    int EventType;   // 0 notification, 1 synchronisation (auto-reset)
    LONG EventState; // 1 signalled
};
using NtQueryFunction = LONG(WINAPI *)(HANDLE, int, PVOID, ULONG, PULONG);

NtQueryFunction NtQuery(const char *name)
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr)
        return nullptr;
    return reinterpret_cast<NtQueryFunction>(reinterpret_cast<void *>(GetProcAddress(ntdll, name)));
}

} // namespace

bool OpenNamedMemoryForReading(SharedMemory &mem, const char *name)
{
    char sysName[kNameSize];
    mem.handle = -1;
    mem.bytes = 0;   // the system does not tell a mapping's size by name
    if (!SystemName(name, sysName))
        return false;
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, sysName);
    if (h == nullptr)
        return false;
    mem.handle = reinterpret_cast<intptr_t>(h);
    return true;
}

const void *MapNamedMemoryForReading(SharedMemory &mem)
{
    if (mem.handle == -1 || mem.handle == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const void *view = MapViewOfFile(reinterpret_cast<HANDLE>(mem.handle), FILE_MAP_READ, 0, 0, 0);
    MEMORY_BASIC_INFORMATION region;
    if (view != nullptr && VirtualQuery(view, &region, sizeof region) != 0)
        mem.bytes = region.RegionSize;   // whole pages: at least the size asked for
    return view;
}

void CloseNamedMemory(SharedMemory &mem, const void *view)
{
    if (view != nullptr)
        UnmapViewOfFile(view);
    if (mem.handle != -1 && mem.handle != 0)
        CloseHandle(reinterpret_cast<HANDLE>(mem.handle));
    mem.handle = -1;
    mem.bytes = 0;
}

bool OpenSyncForQuery(SyncObject &obj, const char *name, SyncKind kind, int32_t maximum)
{
    // The query rights only (EVENT_QUERY_STATE, SEMAPHORE_QUERY_STATE).
    constexpr DWORD kQueryState = 0x0001;
    return OpenExistingSync(obj, name, kind, maximum, kQueryState, kQueryState);
}

void CloseSync(SyncObject &obj)
{
    if (obj.handle != nullptr)
        CloseHandle(AsHandle(obj));
    obj.handle = nullptr;
}

int32_t QuerySyncCount(SyncObject &obj)
{
    if (obj.handle == nullptr)
        return -1;
    ULONG got = 0;
    if (obj.kind == SyncKind::Event) {
        static NtQueryFunction query = NtQuery("NtQueryEvent");
        EventBasicInformation info{};
        if (query == nullptr || query(AsHandle(obj), 0, &info, sizeof info, &got) != 0)
            return -1;
        return info.EventState != 0 ? 1 : 0;
    }
    static NtQueryFunction query = NtQuery("NtQuerySemaphore");
    SemaphoreBasicInformation info{};
    if (query == nullptr || query(AsHandle(obj), 0, &info, sizeof info, &got) != 0)
        return -1;
    return static_cast<int32_t>(info.CurrentCount);
}

bool IsMissingObjectError(int code) { return code == ERROR_FILE_NOT_FOUND; }

bool QueryNamedObjectInfo(NamedObjectType, const char *, NamedObjectInfo &info)
{
    info = NamedObjectInfo{};
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool StandardOutputIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void SleepMilliseconds(uint32_t ms) { Sleep(ms); }
