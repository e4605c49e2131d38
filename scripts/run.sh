#!/usr/bin/env bash
# Installs what is missing, builds, and validates the sample configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh
scripts/build.sh
echo "vorex-icapd built in build/; the daemon does not serve yet."
