#!/bin/bash
# Builds the Debian package, checks it with lintian, installs it with apt-get,
# checks files, owners, modes, the unit and the configuration, runs the
# installed daemon as its unit would (run_as_unit.py), then removes and
# purges it and checks that nothing is left. Needs root on a disposable
# machine; exits 77 (skipped) elsewhere.
# Usage: package_test.sh SOURCE_DIR BUILD_DIR
set -u
src=$1 build=$2
[ "$(id -u)" = 0 ] || { echo "skipped: needs root"; exit 77; }
for tool in dpkg-buildpackage lintian apt-get unshare setpriv python3 systemd-analyze logrotate; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool missing"; exit 77; }
done
if dpkg-query -W -f='${Status}' vorex-icapd 2>/dev/null | grep -qv not-installed; then
    echo "FAIL: vorex-icapd is already installed here; purge it before this test"
    exit 1
fi

work=$(mktemp -d)
apt_get() { DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=600 "$@"; }
cleanup() {
    dpkg-query -W -f='${Status}' vorex-icapd 2>/dev/null | grep -qv not-installed &&
        apt_get purge vorex-icapd >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if ! "$@"; then
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}

echo "== package build"
deb=$(OUT_DIR=$work "$src/scripts/package.sh") || { echo "FAIL: package build"; exit 1; }
echo "$deb"

echo "== lintian"
lintian --allow-root "$deb" | tee "$work/lintian.txt"
check "lintian reports no error" test -z "$(grep '^E:' "$work/lintian.txt")"

echo "== install"
apt_get install "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; echo "FAIL: install"; exit 1; }

echo "== files, owners and modes"
while read -r path owner mode; do
    actual=$(stat -c '%U:%G %a' "$path" 2>/dev/null)
    check "$path is $owner $mode (found: ${actual:-missing})" test "$actual" = "$owner $mode"
done <<'EOF_TABLE'
/usr/sbin/vorex-icapd root:root 755
/usr/bin/uwl_build root:root 755
/etc/vorex/vorex-icapd.ini root:root 644
/etc/vorex/templates/ERR_ACCESS_DENIED root:root 644
/etc/vorex/templates/email.templ root:root 644
/usr/share/vorex-icapd/uwl_public.pem root:root 644
/lib/systemd/system/vorex-icapd.service root:root 644
/etc/logrotate.d/vorex-icapd root:root 644
/usr/share/man/man8/vorex-icapd.8.gz root:root 644
/usr/share/man/man5/vorex-icapd.ini.5.gz root:root 644
/usr/share/man/man1/uwl_build.1.gz root:root 644
/usr/share/doc/vorex-icapd/examples/vorex-icapd.ini root:root 644
/var/lib/vorex-icapd root:vorex 750
/var/lib/vorex-icapd/cache vorex:vorex 750
/var/lib/vorex-icapd/quarantine vorex:vorex 750
/var/lib/vorex-icapd/uwl vorex:vorex 750
/var/log/vorex-icapd vorex:adm 2750
/var/log/vorex-icapd/vorex-icapd.log vorex:adm 640
/var/log/vorex-icapd/access.log vorex:adm 640
EOF_TABLE
check "the configuration is a conffile" \
    grep -q '/etc/vorex/vorex-icapd.ini' <(dpkg-query -W -f='${Conffiles}' vorex-icapd)
check "vorex is a system user" test "$(id -u vorex)" -lt 1000
if getent group clamav >/dev/null; then
    check "vorex is in group clamav" grep -qw clamav <(id -nG vorex)
fi

echo "== unit and configuration"
verify=$(systemd-analyze verify /lib/systemd/system/vorex-icapd.service 2>&1)
check "systemd-analyze verify is clean: $verify" test -z "$verify"
score=$(systemd-analyze security --offline=true /lib/systemd/system/vorex-icapd.service 2>&1 |
    sed -n 's/.*Overall exposure level for vorex-icapd.service: \([0-9.]*\).*/\1/p')
echo "exposure score: ${score:-none}"
check "exposure score ${score:-none} is at most 4.0" awk -v s="${score:-99}" 'BEGIN { exit !(s <= 4.0) }'
check "--check-only reads /etc/vorex/vorex-icapd.ini by default and says Options OK" \
    test "$(/usr/sbin/vorex-icapd --check-only)" = "Options OK"
check "logrotate accepts the rotation file" logrotate -d /etc/logrotate.d/vorex-icapd 2>/dev/null

echo "== run as the unit"
check "the daemon runs as its unit would" python3 "$src/tests/packaging/run_as_unit.py" \
    /lib/systemd/system/vorex-icapd.service "$build/tools/vorexd_standin"

echo "== remove and purge"
apt_get remove vorex-icapd >/dev/null 2>&1
check "remove takes the daemon away" test ! -e /usr/sbin/vorex-icapd
check "remove keeps the configuration" test -f /etc/vorex/vorex-icapd.ini
apt_get purge vorex-icapd >/dev/null 2>&1
for path in /etc/vorex /var/lib/vorex-icapd /var/log/vorex-icapd /run/vorex-icapd \
    /lib/systemd/system/vorex-icapd.service /etc/logrotate.d/vorex-icapd; do
    check "purge leaves no $path" test ! -e "$path"
done
check "purge removes the user vorex" test -z "$(getent passwd vorex)"
check "purge removes the group vorex" test -z "$(getent group vorex)"
check "dpkg forgets the package" test -z "$(dpkg-query -W -f='${Status}' vorex-icapd 2>/dev/null | grep -v not-installed)"

[ "$failures" = 0 ] && echo "package test passed" || echo "$failures checks failed"
exit $((failures != 0))
