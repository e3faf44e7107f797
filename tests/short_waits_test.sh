#!/bin/bash
# The programs start with short waits for the OpenMP runtime's threads
# without starting themselves again: the runtime, asked to show its settings
# as it starts, shows them once, with a spin count of 1000. A policy the user
# set stands.
#
#     short_waits_test.sh PROGRAM ...
set -u
status=0
fail() {
    echo "FAIL: $*"
    status=1
}
for program in "$@"; do
    shown=$(env -u GOMP_SPINCOUNT -u OMP_WAIT_POLICY OMP_DISPLAY_ENV=verbose "$program" </dev/null 2>&1 >/dev/null)
    starts=$(grep -c 'OPENMP DISPLAY ENVIRONMENT BEGIN' <<<"$shown")
    [ "$starts" = 1 ] || fail "$program: the runtime started $starts times"
    grep -q "GOMP_SPINCOUNT = '1000'" <<<"$shown" || fail "$program: no short spins"
    shown=$(GOMP_SPINCOUNT=77 OMP_DISPLAY_ENV=verbose "$program" </dev/null 2>&1 >/dev/null)
    grep -q "GOMP_SPINCOUNT = '77'" <<<"$shown" || fail "$program: the user's spin count was not kept"
done
exit $status
