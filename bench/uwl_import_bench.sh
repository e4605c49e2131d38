#!/bin/bash
# Converts a squidGuard "domains" file of LINES entries (default one
# million) with uwl_build --squidguard and reports the time it takes.
# No peer converts into this format, so the figure stands alone (the goal
# is under 5 s on the 2-core test machine).
#
# Environment: BUILD_DIR (default build-bench in the checkout).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-bench}
LINES=${1:-1000000}
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" --target uwl_build -j2 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/adult"
# Realistic names: two to four labels, some with a leading "www.".
awk -v n="$LINES" 'BEGIN {
    srand(7); split("com net org de co.uk info ru", tld, " ");
    for (i = 0; i < n; i++) {
        name = sprintf("site%d-%x", i, int(rand() * 1000000));
        if (i % 3 == 0) name = "www." name;
        if (i % 5 == 0) name = "shop." name;
        print name "." tld[i % 7 + 1];
    }
}' >"$work/adult/domains"

start=$(date +%s%N)
"$BUILD/tools/uwl_build" -k "$ROOT/keys/uwl_private.pem" -o "$work/porno.uwl" --type porno \
    --squidguard "$work/adult"
end=$(date +%s%N)
ms=$(( (end - start) / 1000000 ))
echo "RESULT uwl_import lines=$LINES ms=$ms bytes=$(stat -c %s "$work/porno.uwl")"
