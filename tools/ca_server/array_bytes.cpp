// The message size limit of the circuits, from the variables an IOC reads
// (caservertask.c): EPICS_CA_AUTO_ARRAY_BYTES (default YES: buffers grow
// as needed) and EPICS_CA_MAX_ARRAY_BYTES (used when it is NO; default
// 16384). Where an IOC grows without bound, this server grows to what its
// PVs need: every DBR type of the longest PV's whole element count.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "circuit.h"
#include "pv_store.h"

namespace ca {

namespace {

size_t largest_pv_message()
{
    uint32_t nelm = 1;
    for (size_t k = 0; k < pv_count(); ++k) {
        const Pv& pv = pv_at(k);
        uint32_t n = pv.record == REC_STRINGIN ? uint32_t(kMaxString) : pv.nelm;
        if (n > nelm) nelm = n;
    }
    size_t largest = 0;
    for (uint16_t type = 0; type <= kLastType; ++type) {
        size_t size = dbr_size_n(type, nelm);
        if (size > largest) largest = size;
    }
    return kExtHeaderSize + pad8(largest);
}

}  // namespace

size_t max_message_bytes()
{
    const char* automatic = getenv("EPICS_CA_AUTO_ARRAY_BYTES");
    size_t bytes;
    if (!automatic || strcasecmp(automatic, "no") != 0) {
        bytes = largest_pv_message();
    } else {
        const char* text = getenv("EPICS_CA_MAX_ARRAY_BYTES");
        char* end = nullptr;
        errno = 0;
        long long max = text ? strtoll(text, &end, 10) : 16384;
        if (text && (end == text || *end != '\0' || errno == ERANGE || max < 0)) {
            fprintf(stderr, "ca_server: EPICS_CA_MAX_ARRAY_BYTES was not a positive integer\n");
            max = 0;
        }
        // Room for the header, so that a client gets the array size it asked for.
        bytes = size_t(max) + kExtHeaderSize;
    }
    return bytes < kMaxTcp ? kMaxTcp : bytes;
}

}  // namespace ca
