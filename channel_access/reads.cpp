// Reads and waits of the newer commands.
#include "reads.h"
#include "text.h"

namespace tessaly {
namespace {

Buffer spare;  // the largest buffer freed, and not taken again yet

}  // namespace

Buffer::Buffer(std::size_t wanted) : size(wanted) {
    if (spare.capacity >= wanted && spare.bytes != nullptr) {
        bytes = std::move(spare.bytes);
        capacity = spare.capacity;
        spare.capacity = 0;
    } else {
        bytes.reset(new unsigned char[wanted]);
        capacity = wanted;
    }
}

Buffer::~Buffer() {
    if (bytes == nullptr || this == &spare || capacity <= spare.capacity) return;
    spare.bytes = std::move(bytes);
    spare.capacity = capacity;
}

Read readOf(const Subject& subject, chtype type, unsigned long count) {
    unsigned long room = count > 0 ? count : ca_element_count(subject.channel);
    return Read{&subject, type, count, Buffer(dbr_size_n(type, room)), 0};
}

int failLibrary(Tcl_Interp* interp, std::string_view call, const Subject& subject, int status) {
    return failWith(interp, "%.*s in %s failed %s (slot %u, %s)", static_cast<int>(call.size()),
                    call.data(), subject.command, ca_message(status), subject.slot,
                    ca_name(subject.channel));
}

void closeAll(std::vector<RequestId>& ids) {
    closeRequests(ids.data(), static_cast<int>(ids.size()));
    ids.clear();
}

int awaitAll(Tcl_Interp* interp, std::string_view call, std::vector<RequestId>& ids,
             const std::vector<const Subject*>& subjects, double timeout, const char* waiting,
             std::vector<long>* counts) {
    int late = awaitRequests(ids.data(), static_cast<int>(ids.size()), timeout);
    if (late >= 0) {
        const Subject& subject = *subjects[static_cast<std::size_t>(late)];
        closeAll(ids);
        return failWith(interp, "%s timed out after %g s waiting for %s slot %u (%s)", subject.command,
                        timeout, waiting, subject.slot, ca_name(subject.channel));
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        int status;
        long count;
        requestAnswered(ids[i], status, count);
        if (counts != nullptr) (*counts)[i] = count;
        if (status != ECA_NORMAL) {
            closeAll(ids);
            return failLibrary(interp, call, *subjects[i], status);
        }
    }
    closeAll(ids);
    return TCL_OK;
}

int readAll(Tcl_Interp* interp, std::vector<Read>& reads, double timeout) {
    std::vector<RequestId> ids;
    std::vector<const Subject*> subjects;
    for (Read& read : reads) {
        RequestId id = openRequest(read.buffer.bytes.get(), read.buffer.size);
        if (id < 0) {
            closeAll(ids);
            return failWith(interp, "Too many requests outstanding in %s", read.subject->command);
        }
        ids.push_back(id);
        subjects.push_back(read.subject);
        int status = ca_array_get_callback(read.type, read.count, read.subject->channel,
                                           onRequestAnswered, requestTag(id));
        if (status != ECA_NORMAL) {
            closeAll(ids);
            return failLibrary(interp, "ca_get_callback", *read.subject, status);
        }
    }
    std::vector<long> counts(reads.size());
    if (awaitAll(interp, "ca_get_callback", ids, subjects, timeout, "the value of", &counts) != TCL_OK)
        return TCL_ERROR;
    for (std::size_t i = 0; i < reads.size(); ++i) reads[i].received = counts[i];
    return TCL_OK;
}

}  // namespace tessaly
