#!/usr/bin/env bash
# The install test: the .deb from dist/ (scripts/package) installed with apt into a minimal
# Debian 12 root, a bare machine as mmdebstrap makes it (scripts/debian-root's bookworm-minimal,
# seen through a scratch overlay so that the kept root stays bare), then the simulated reader
# upgraded with the installed programs alone (install_check.sh). apt fetches the dependencies
# from Debian's archive. Needs root.
set -euo pipefail
cd "$(dirname "$0")/../.."

version=$(sed -n 's/^project(zarn-upgrade VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$PWD/dist/zarn-upgrade_${version}_amd64.deb
[ -f "$deb" ] || { echo "FAIL: no $deb (run scripts/package)"; exit 1; }
exec scripts/debian-root run --scratch build/install-root bookworm-minimal -- \
  sh "$PWD/tests/package/install_check.sh" "$deb"
