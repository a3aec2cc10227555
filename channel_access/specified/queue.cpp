// The queue-and-wait path of the specified gets and puts.
#include "queue.h"
#include "../core/channel.h"
#include "../core/context.h"
#include "../core/text.h"
#include "../events/rejections.h"

namespace tessaly {
namespace {

int waitForAll(Tcl_Interp* interp, const char* command, Style style) {
    if (style == Style::Single) trace("%s calling ca_pend_io\n", command);
    int status = ca_pend_io(kWaitSeconds);
    if (style == Style::Single)
        trace("ca_pend_io returned with rc=0x%x\n", static_cast<unsigned>(status));
    else
        trace("%s: ca_pend_io returned with rc=0x%x\n", command, static_cast<unsigned>(status));
    if (status != ECA_NORMAL)
        return fail(interp, "ca_pend_io in %s failed %s", command, ca_message(status));
    return TCL_OK;
}

// The first request whose put the library would refuse, or -1.
int firstDoubtful(const uint32_t* slots, int count) {
    for (int i = 0; i < count; ++i) {
        chid channel = channelOf(slots[i]);
        if (ca_state(channel) != cs_conn || ca_write_access(channel) == 0) return i;
    }
    return -1;
}

// The index of the n-th request to make, the doubtful one first.
int requestOrder(int n, int doubtful) {
    if (doubtful < 0) return n;
    if (n == 0) return doubtful;
    return n <= doubtful ? n - 1 : n;
}

}  // namespace

int queueGets(Tcl_Interp* interp, const char* command, Form kind, const uint32_t* slots, int count,
              Style style) {
    for (int i = 0; i < count; ++i) {
        uint32_t slot = slots[i];
        if (style == Style::Single) trace("%s calling ca_get\n", command);
        int status = ca_array_get(readType(kind), 1, channelOf(slot), receiveBuffer(kind, valuesOf(slot)));
        if (style == Style::Single)
            trace("ca_get returned with rc=0x%x\n", static_cast<unsigned>(status));
        else
            trace("%s: ca_get on slot %u returned with rc=0x%x\n", command, slot,
                  static_cast<unsigned>(status));
        if (status != ECA_NORMAL) return resetAfterRefusal(interp, "ca_get", command, status);
    }
    return waitForAll(interp, command, style);
}

int queuePuts(Tcl_Interp* interp, const char* command, const uint32_t* slots, const PutValue* values,
              int count, Style style) {
    int doubtful = firstDoubtful(slots, count);
    for (int n = 0; n < count; ++n) {
        int i = requestOrder(n, doubtful);
        const PutValue& value = values[i];
        if (style == Style::Single)
            trace("%s calling ca_put with arg 0x%x\n", command, value.traced());
        if (value.kind == Form::Text40) noteSpecifiedStringPut(slots[i]);
        // ca_array_put copies the value into its send buffer before returning.
        int status = ca_array_put(putType(value.kind), 1, channelOf(slots[i]), value.data());
        if (style == Style::Single)
            trace("ca_put returned with rc=0x%x\n", static_cast<unsigned>(status));
        else
            trace("%s: ca_put on slot %u with arg 0x%x returned with rc=0x%x\n", command, slots[i],
                  value.traced(), static_cast<unsigned>(status));
        if (status != ECA_NORMAL) return resetAfterRefusal(interp, "ca_put", command, status);
    }
    return waitForAll(interp, command, style);
}

}  // namespace tessaly
