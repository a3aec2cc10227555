// Object names, shared by every backend.
#include "platform.h"

#include <cstdio>
#include <cstdlib>

const char *ObjectNamespace()
{
    const char *ns = std::getenv("VANTORQ_NAMESPACE");
    return ns != nullptr ? ns : "";
}

bool QualifyObjectName(const char *name, char *out, std::size_t outSize)
{
    const char *ns = ObjectNamespace();
    int n;
    if (name[0] == '/')
        n = std::snprintf(out, outSize, "/%s%s", ns, name + 1);
    else
        n = std::snprintf(out, outSize, "%s%s", ns, name);
    if (n < 0 || static_cast<std::size_t>(n) >= outSize) {
        if (outSize > 0)
            out[0] = '\0';
        return false;
    }
    return true;
}
