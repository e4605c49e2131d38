#!/usr/bin/env bash
# Installs what is missing, builds, and runs vorex-icapd in the foreground on
# 127.0.0.1:1344 with the sample setup: the local configuration from conf/,
# the sample templates, the stand-in scanning daemon (a test and demo aid
# that knows the EICAR test string) and a demo URL category list that blocks
# the host malware.example. Everything it writes lives under run/.
# Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
scripts/bootstrap.sh
scripts/build.sh

run_dir=$top/run
mkdir -p "$run_dir/cache" "$run_dir/infected" "$run_dir/uwl"
sed -e "s|@RUN_DIR@|$run_dir|g" -e "s|@CONF_DIR@|$top/conf|g" -e "s|@USER@|$(id -un)|g" \
  conf/vorex-icapd.local.ini.in > "$run_dir/vorex-icapd.ini"

build/tools/uwl_build -k keys/uwl_private.pem -o "$run_dir/uwl/demo_malware.uwl" \
  --type malware --url malware.example

rm -f "$run_dir/vorexd.sock"
build/tools/vorexd_standin --local "$run_dir/vorexd.sock" &
scanner=$!
trap 'kill "$scanner" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -S "$run_dir/vorexd.sock" ] && break; sleep 0.1; done

build/vorex-icapd --check-only -f "$run_dir/vorex-icapd.ini"
echo "vorex-icapd: serving ICAP on 127.0.0.1:1344 (log: $run_dir/vorex-icapd.log); Ctrl-C stops it"
build/vorex-icapd -m -f "$run_dir/vorex-icapd.ini"
