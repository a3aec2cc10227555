// Delayed put completions (putdelay=MS): the value is stored at once and
// the circuit goes on answering; the WRITE_NOTIFY answer comes when the
// PV's processing ends, as an IOC answers a put to a record whose
// processing waits on a delay.
#include "circuit_internal.h"

namespace ca {

void start_put(Client& c, Channel& ch, const Header& request, int64_t due_ms)
{
    ch.put_busy = true;
    ch.put_due_ms = due_ms;
    ch.put_reply = Header{CMD_WRITE_NOTIFY, 0, request.data_type, request.count, ECA_NORMAL,
                          request.param2};
    if (c.puts_busy == 0 || due_ms < c.next_put_ms) c.next_put_ms = due_ms;
    ++c.puts_busy;
}

void complete_due_puts(int index, int64_t now)
{
    Client& c = g_clients[index];
    if (c.puts_busy == 0 || now < c.next_put_ms) return;
    int64_t next = -1;
    for (Channel& ch : g_channels) {
        if (!ch.used || ch.client != index || !ch.put_busy) continue;
        if (ch.put_due_ms <= now) {
            ch.put_busy = false;
            --c.puts_busy;
            log_line("client %u: WRITE_NOTIFY %s completes", c.id, pv_at(size_t(ch.pv)).name);
            reply(c, ch.put_reply, nullptr, 0);
        } else if (next < 0 || ch.put_due_ms < next) {
            next = ch.put_due_ms;
        }
    }
    c.next_put_ms = next;
}

}  // namespace ca
