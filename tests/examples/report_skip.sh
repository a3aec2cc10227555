#!/bin/sh
# A test this machine cannot run: says so loudly, adds the line once to the
# skip report of tools/run-tests.sh (LABTCL_SKIP_REPORT, when set), and
# exits 77, which ctest counts as skipped (SKIP_RETURN_CODE).
#   report_skip.sh LINE
echo "!!!!!!!! SKIPPED $1 !!!!!!!!"
if [ -n "${LABTCL_SKIP_REPORT:-}" ] && ! grep -qxF -- "$1" "$LABTCL_SKIP_REPORT" 2>/dev/null; then
    echo "$1" >>"$LABTCL_SKIP_REPORT"
fi
exit 77
