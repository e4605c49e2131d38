#!/bin/bash
# cmake --install puts every file in its place under the prefix and keeps a
# configuration or template the administrator already has.
# Usage: install_check.sh BUILD_DIR
set -u
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
prefix=$dest/usr/local
install_tree() { cmake --install "$build" --prefix "$prefix" >/dev/null; }
install_tree || { echo "FAIL: cmake --install"; exit 1; }
status=0
for file in sbin/vorex-icapd bin/uwl_build etc/vorex/vorex-icapd.ini \
    etc/vorex/templates/icapd/ERR_ACCESS_DENIED etc/vorex/templates/icapd/email.templ \
    share/vorex-icapd/uwl_public.pem share/doc/vorex-icapd/examples/vorex-icapd.ini \
    share/man/man8/vorex-icapd.8 share/man/man5/vorex-icapd.ini.5 share/man/man1/uwl_build.1; do
    [ -s "$prefix/$file" ] || { echo "FAIL: $file not installed"; status=1; }
done
echo "# edited" >>"$prefix/etc/vorex/vorex-icapd.ini"
echo "edited" >"$prefix/etc/vorex/templates/icapd/ERR_ACCESS_DENIED"
install_tree
grep -q "# edited" "$prefix/etc/vorex/vorex-icapd.ini" || { echo "FAIL: configuration replaced"; status=1; }
grep -qx "edited" "$prefix/etc/vorex/templates/icapd/ERR_ACCESS_DENIED" || { echo "FAIL: template replaced"; status=1; }
exit $status
