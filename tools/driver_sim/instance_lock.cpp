// The claim is a write lock (fcntl) on the whole control block segment, which
// the kernel drops when the process ends.  Clients never lock the segment, so
// only another simulator meets the lock.
#include "instance_lock.h"

#include <cerrno>
#include <fcntl.h>

Claim ClaimNamespace(const SharedMemory &block, long &holder)
{
    holder = 0;
    auto fd = static_cast<int>(block.handle);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;   // from the start, l_len 0: the whole segment
    if (fcntl(fd, F_SETLK, &lock) == 0)
        return Claim::Claimed;
    if (errno != EACCES && errno != EAGAIN)
        return Claim::Failed;
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK)
        holder = static_cast<long>(probe.l_pid);
    return Claim::HeldByOther;
}
