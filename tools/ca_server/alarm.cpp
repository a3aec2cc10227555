// Alarm status and severity of a PV's value, as its record computes them
// when it processes (aiRecord.c and longinRecord.c checkAlarms, no
// hysteresis): UDF for an ai holding NaN, then HIHI and LOLO (MAJOR), then
// HIGH and LOW (MINOR), each only where its limit is set.
#include <cmath>

#include "pv_store.h"

namespace ca {

namespace {

struct Alarm { int16_t status, severity; };

Alarm against_limits(const Pv& pv, double v)
{
    if (!std::isnan(pv.hihi) && v >= pv.hihi) return {HIHI_ALARM, SEVERITY_MAJOR};
    if (!std::isnan(pv.lolo) && v <= pv.lolo) return {LOLO_ALARM, SEVERITY_MAJOR};
    if (!std::isnan(pv.high) && v >= pv.high) return {HIGH_ALARM, SEVERITY_MINOR};
    if (!std::isnan(pv.low) && v <= pv.low) return {LOW_ALARM, SEVERITY_MINOR};
    return {NO_ALARM, SEVERITY_NONE};
}

Alarm alarm_of(const Pv& pv)
{
    switch (pv.record) {
    case REC_AI:
        if (std::isnan(pv.value.d)) return {UDF_ALARM, SEVERITY_INVALID};
        return against_limits(pv, pv.value.d);
    case REC_LONGIN: return against_limits(pv, double(pv.value.i));
    default: return {NO_ALARM, SEVERITY_NONE};
    }
}

}  // namespace

void update_alarm(Pv& pv)
{
    Alarm now = alarm_of(pv);
    if (now.status != pv.alarm_status || now.severity != pv.alarm_severity)
        pv.post_mask |= DBE_ALARM;
    pv.alarm_status = now.status;
    pv.alarm_severity = now.severity;
    // ACKT is YES: the highest severity stays unacknowledged (nothing
    // acknowledges it).
    if (pv.alarm_severity > pv.unacked_severity) pv.unacked_severity = pv.alarm_severity;
}

}  // namespace ca
