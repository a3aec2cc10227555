// Run control: the run-request state machine.  Requests are posted into the
// block and then decided under the state lock "/State_Sem"; the driver is
// woken with a command code when it has to act at once.  Requests it honours
// at the end of a scan stay pending in RunRequest.
//
// Lock order: "/Ctrl_Sem" (held by the caller) first, then "/State_Sem";
// nothing here waits for "/Ctrl_Sem".  The driver is woken after the request
// and state fields are written, while the state lock is still held.
#include "scan_control.h"

int LookupName(const NamedValue *table, std::string_view name)
{
    if (name.empty())
        return -1;
    for (const NamedValue *entry = table; entry->name != nullptr; ++entry)
        if (name == entry->name)
            return entry->value;
    return -1;
}

int PostRunRequest(int32_t request)
{
    Statics &s = *g_statics;
    WaitOrReport(SYNC_STATE);
    s.SavedRequest = request == RUN_PAUSE_NOW ? s.RunRequest : RUN_NO_REQUEST;
    s.RunRequest = request;
    ReleaseOrReport(SYNC_STATE);
    return kOk;
}

namespace {

// Decides the pending request; called with "/State_Sem" held.
int Decide(Statics &s)
{
    switch (s.RunRequest) {
    case RUN_START:
        if (s.RunState != RUN_HALTED) {
            s.RunRequest = RUN_NO_REQUEST;
            return kOk;
        }
        if (static_cast<int16_t>(s.RampEndDac) < 0 || s.DwellTime == 0) {
            s.RunRequest = RUN_NO_REQUEST;
            return kFail;
        }
        s.RunState = RUN_GOING;
        s.RunRequest = RUN_NO_REQUEST;
        WakeDriver(DRIVER_START);
        return kOk;
    case RUN_RESUME:
        if (s.RunState == RUN_PAUSED) {
            s.RunState = RUN_GOING;
            s.RunRequest = s.SavedRequest;
            WakeDriver(DRIVER_RESUME);
            return kOk;
        }
        break;
    case RUN_STOP_NOW:
        if (s.RunState == RUN_GOING || s.RunState == RUN_PAUSED) {
            s.RunState = RUN_HALTED;
            s.RunRequest = RUN_NO_REQUEST;
            WakeDriver(DRIVER_STOP);
            return kOk;
        }
        break;
    case RUN_STOP_AT_END:
    case RUN_PAUSE_AT_END:
        return kOk;   // left pending for the driver
    case RUN_PAUSE_NOW:
        if (s.RunState == RUN_GOING) {
            s.RunState = RUN_PAUSED;
            s.RunRequest = RUN_NO_REQUEST;
            return kOk;
        }
        break;
    case RUN_WAKE_UP:
        s.RunRequest = RUN_NO_REQUEST;
        WakeDriver(DRIVER_WAKE_UP);
        return kOk;
    case RUN_FORCE_STATE:
        s.RunState = s.ForcedState;
        s.RunRequest = RUN_NO_REQUEST;
        WakeDriver(DRIVER_WAKE_UP);
        return kOk;
    default:
        break;
    }
    // Not granted in this state, or not a request at all: drop it.
    s.RunRequest = RUN_NO_REQUEST;
    return kOk;
}

} // namespace

int ApplyRunRequest()
{
    WaitOrReport(SYNC_STATE);
    int result = Decide(*g_statics);
    ReleaseOrReport(SYNC_STATE);
    return result;
}

int RunRequestCommand(std::string_view name)
{
    int request = LookupName(kRunRequests, name);
    if (request == -1)
        return kFail;
    PostRunRequest(request);
    return ApplyRunRequest();
}

int RunStateCommand(std::string_view name)
{
    int state = LookupName(kRunStates, name);
    if (state == -1)
        return kFail;
    Statics &s = *g_statics;
    s.ForcedState = state;
    WaitOrReport(SYNC_STATE);
    s.SavedRequest = RUN_NO_REQUEST;
    s.RunRequest = RUN_FORCE_STATE;
    ReleaseOrReport(SYNC_STATE);
    return ApplyRunRequest();
}
