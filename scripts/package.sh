#!/usr/bin/env bash
# Builds the Debian package from the checkout (committed and uncommitted
# files alike) in a scratch copy, so the checkout stays clean, and leaves
# vorex-icapd_<version>_<arch>.deb in OUT_DIR (default: build/). Set
# UWL_PUBLIC_KEY=/path/to/public.pem to build in a list key of your own.
set -euo pipefail
cd "$(dirname "$0")/.."
out_dir=$(realpath -m "${OUT_DIR:-build}")
mkdir -p "$out_dir"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/src"
git ls-files -z --cached --others --exclude-standard |
  (while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done) |
  tar --null -T - -cf - | tar -xf - -C "$scratch/src"

key_arg=()
if [ -n "${UWL_PUBLIC_KEY:-}" ]; then
  key_arg=("UWL_PUBLIC_KEY=$(realpath "$UWL_PUBLIC_KEY")")
fi
(cd "$scratch/src" && env "${key_arg[@]}" DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
  dpkg-buildpackage -b -us -uc --no-pre-clean >"$scratch/build.log" 2>&1) || {
  tail -n 60 "$scratch/build.log" >&2
  exit 1
}
deb=$(ls "$scratch"/vorex-icapd_*.deb)
cp "$deb" "$out_dir/"
echo "$out_dir/$(basename "$deb")"
