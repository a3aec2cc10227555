// Preloaded (LD_PRELOAD) into a tclsh by the no-context tests: while the
// file named by TESSALY_FAIL_CONTEXT exists, ca_context_create fails with
// ECA_ALLOCMEM, as it does when the library runs out of memory; otherwise it
// is libca's own. Tessaly calls ca_context_create through libca's dynamic
// symbol, so this definition, loaded first, is the one it reaches.
#include <cadef.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>

extern "C" __attribute__((visibility("default"))) int ca_context_create(
    ca_preemptive_callback_select select)
{
    const char* flag = getenv("TESSALY_FAIL_CONTEXT");
    if (flag && access(flag, F_OK) == 0) return ECA_ALLOCMEM;
    using Create = int (*)(ca_preemptive_callback_select);
    // libca is this object's own dependency, so it comes next in the search.
    static Create real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "ca_context_create"));
    return real ? real(select) : ECA_INTERNAL;
}
