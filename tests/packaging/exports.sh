#!/bin/sh
# Checks that each Tcl extension library exports exactly the symbols given
# and needs no Tcl library by name (an extension linked against one Tcl
# breaks, or crashes, in another: it takes Tcl from the interpreter instead).
#   sh exports.sh LIBRARY "SYMBOL..." [LIBRARY "SYMBOL..."]...
set -eu
failed=0
while [ $# -ge 2 ]; do
    lib=$1
    want=$(printf '%s\n' $2 | sort | tr '\n' ' ')
    shift 2
    [ -f "$lib" ] || { echo "FAIL $lib: no such file"; failed=1; continue; }
    bad=0
    have=$(nm -D --defined-only "$lib" | awk 'NF == 3 { print $3 }' | sort | tr '\n' ' ')
    if [ "$have" != "$want" ]; then
        echo "FAIL $lib exports: $have"
        echo "     want exactly: $want"
        bad=1
    fi
    tcl=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(libtcl[^]]*\)\].*/\1/p')
    if [ -n "$tcl" ]; then
        echo "FAIL $lib needs $tcl: it must take Tcl from the loading interpreter (stubs)"
        bad=1
    fi
    if [ $bad = 1 ]; then failed=1; else echo "ok   $lib: $have"; fi
done
[ $# -eq 0 ] || { echo "exports.sh: LIBRARY without its symbol list"; exit 2; }
exit $failed
