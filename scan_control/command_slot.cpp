// The driver's command slot, for the script layer.  A client hands the
// driver a command by writing DriverCommand and releasing "/Cmnd_Sem"; the
// semaphore counts to one, so until the driver has taken that command a
// second post is refused, and its code has already overwritten the first in
// DriverCommand.  LaserControl posts regardless (and reports the refusal);
// the script layer posts through PostWhenSlotFree, which runs a command only
// when the slot is free, with the check and the post under one hold of the
// control lock.  Every client posts under that lock, so a slot found free
// there stays free until the post.  The driver takes commands without the
// lock: it only ever empties the slot.
#include "scan_control.h"

namespace {

// The count of "/Cmnd_Sem": read without taking it where the system can, else
// taken and given back at once.
int32_t SlotCount()
{
    int32_t count = QuerySyncCount(g_sync[SYNC_CMND]);
    return count >= 0 ? count : PeekSyncCount(g_sync[SYNC_CMND]);
}

SlotLook g_seen;

// The admission check of PostWhenSlotFree, made with the control lock held.
bool SlotIsFree()
{
    g_seen = SlotLook{SlotCount(), g_statics->DriverCommand};
    return g_seen.count == 0;
}

void Attach()
{
    if (g_statics == nullptr)
        AttachSharedMemory();
}

} // namespace

SlotLook LookAtSlot()
{
    Attach();
    g_quietReports = true;
    LockControl();
    SlotLook look{SlotCount(), g_statics->DriverCommand};
    UnlockControl();
    g_quietReports = false;
    return look;
}

SlotOutcome PostWhenSlotFree(char *buffer, int32_t &posted, SlotLook &seen)
{
    Attach();   // before the reports go quiet: a failed attach ends the process, with its lines
    unsigned long postedBefore = g_wakesPosted;
    unsigned long refusedBefore = g_wakesRefused;
    g_quietReports = true;
    int result = ProcessCommandIf(buffer, SlotIsFree);
    g_quietReports = false;
    seen = g_seen;
    posted = g_wakesPosted != postedBefore ? g_lastWake : DRIVER_DROPPED;
    if (result == kNotAdmitted)
        return SlotOutcome::Busy;
    if (g_wakesRefused != refusedBefore)
        return SlotOutcome::Refused;
    return result == kOk ? SlotOutcome::Done : SlotOutcome::Failed;
}

bool WithdrawCommand(int32_t command)
{
    Attach();
    g_quietReports = true;
    LockControl();
    // The driver takes the count without the lock: whichever of the two
    // takes it first has it, so a command is either withdrawn or the
    // driver's, never both.
    bool withdrawn = g_statics->DriverCommand == command &&
                     WaitSync(g_sync[SYNC_CMND], 0) == WaitStatus::Taken;
    UnlockControl();
    g_quietReports = false;
    return withdrawn;
}
