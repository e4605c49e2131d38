#!/bin/bash
# The systemd unit passes systemd-analyze verify and its exposure score is
# at most 4.0. The unit is checked with ExecStart pointing at the built
# daemon and the man pages of the checkout, so no package is needed.
# Usage: unit_check.sh SOURCE_DIR DAEMON_BINARY
set -eu
src=$1 daemon=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/man/man5" "$work/man/man8"
cp "$src/man/vorex-icapd.8" "$work/man/man8/"
cp "$src/man/vorex-icapd.ini.5" "$work/man/man5/"
sed "s|/usr/sbin/vorex-icapd|$daemon|" "$src/debian/vorex-icapd.service" >"$work/vorex-icapd.service"

out=$(MANPATH=$work/man systemd-analyze verify "$work/vorex-icapd.service" 2>&1)
if [ -n "$out" ]; then
    echo "systemd-analyze verify:"; echo "$out"
    exit 1
fi
score=$(systemd-analyze security --offline=true "$work/vorex-icapd.service" 2>&1 |
    sed -n 's/.*Overall exposure level for vorex-icapd.service: \([0-9.]*\).*/\1/p')
echo "exposure score: ${score:-none}"
[ -n "$score" ] && awk -v s="$score" 'BEGIN { exit !(s <= 4.0) }'
