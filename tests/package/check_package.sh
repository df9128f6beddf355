#!/usr/bin/env bash
# Checks the packages that scripts/package wrote into dist/, without installing anything:
#   - the .deb holds the tool, the simulator, its IFD handler and pcscd helper, the man pages
#     (lint-clean) and a machine-readable copyright, all owned by root; lintian finds no error;
#   - unpacked with dpkg -x into a scratch folder, its zarn-upgrade upgrades a reader of its own
#     zarn-reader-sim over a pty, and (with root or user namespaces) over PC/SC through its own
#     zarn-reader-sim-pcscd, which finds the packaged handler by itself;
#   - the zip holds zarn-upgrade.exe, README.txt and LICENSE; the exe carries the CMake version
#     in its version resource and an asInvoker manifest, and under Wine prints the same
#     transcript as the Linux tool for a port that does not exist and for a bad first argument,
#     and upgrades the packaged simulator over a pty (build/release's pty library needed).
set -uo pipefail
cd "$(dirname "$0")/../.."

version=$(sed -n 's/^project(zarn-upgrade VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=dist/zarn-upgrade_${version}_amd64.deb
zip=dist/zarn-upgrade-${version}-win64.zip
work=$(mktemp -d /tmp/zpk-XXXXXX)
pids=()
cleanup() {
  [ -f "$work/pcscd/pcscd.pid" ] && "$work/deb/usr/bin/zarn-reader-sim-pcscd" stop "$work/pcscd"
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
check() {  # check DESCRIPTION COMMAND...: runs the command, reports ok or FAIL
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}
mask_clock() { sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2} /HH:MM:SS /; s/\r$//'; }

# --- The Debian package ---------------------------------------------------------------------
[ -f "$deb" ] || { echo "FAIL: no $deb (run scripts/package)"; exit 1; }
dpkg-deb -c "$deb" >"$work/contents"
holds() {
  local path
  for path in "$@"; do
    grep -qE " \./${path}( -> .*)?\$" "$work/contents" || { echo "  missing: /$path"; return 1; }
  done
}
check ".deb holds the tool, the simulator, the handler, devcon, the man pages and the copyright" \
  holds usr/bin/zarn-upgrade usr/bin/zarn-reader-sim usr/bin/zarn-reader-sim-pcscd \
  usr/lib/x86_64-linux-gnu/zarn-upgrade/libzarn_sim_ifd.so usr/share/zarn-upgrade/devcon \
  usr/share/man/man1/zarn-upgrade.1.gz usr/share/man/man1/zarn-reader-sim.1.gz \
  usr/share/man/man1/zarn-reader-sim-pcscd.1.gz \
  usr/share/doc/zarn-upgrade/copyright usr/share/doc/zarn-upgrade/changelog.gz
check ".deb: every file owned by root" \
  awk '$2 != "root/root" { print "  not root: " $0; bad = 1 } END { exit bad }' "$work/contents"

lintian "$deb" >"$work/lintian" 2>&1
sed 's/^/  lintian: /' "$work/lintian"
check "lintian reports no error" bash -c '! grep -q "^E:" "$1"' _ "$work/lintian"

dpkg -x "$deb" "$work/deb"
check "copyright is machine-readable (DEP-5) and names the MIT (Expat) license" grep -qzE \
  '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/.*License: Expat' \
  "$work/deb/usr/share/doc/zarn-upgrade/copyright"
lint_clean() {
  local page out
  for page in "$@"; do
    out=$(mandoc -T lint "$page" 2>&1) || { echo "$out"; return 1; }
    [ -z "$out" ] || { echo "$out"; return 1; }
  done
}
check "man pages are gzipped and lint-clean" lint_clean \
  "$work/deb/usr/share/man/man1/zarn-upgrade.1.gz" "$work/deb/usr/share/man/man1/zarn-reader-sim.1.gz"

# The unpacked tool against the unpacked simulator. Each upgrade takes about 15 s, so the PC/SC
# run goes on beside the COM run.
bin=$work/deb/usr/bin
start_sim() {  # start_sim NAME READY_PATH OPTIONS...: waits for the simulator's "ready"
  local name=$1 ready=$2
  shift 2
  "$bin/zarn-reader-sim" --transcript "$work/$name.transcript" "$@" >"$work/$name.sim" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do grep -q '^ready' "$work/$name.sim" && [ -e "$ready" ] && return 0; sleep 0.05; done
  echo "  the simulator did not start:"; cat "$work/$name.sim"; return 1
}
upgraded() {  # upgraded NAME: the run's success line, its exit code and the reader's image check
  grep -qE '^[0-9:]{8} Zarn Reader is upgraded successfully$' "$work/$1.out" &&
    [ "$(cat "$work/$1.rc")" = 0 ] && grep -q '^image check: passed' "$work/$1.transcript" ||
    { echo "  exit code $(cat "$work/$1.rc"); transcript:"; cat "$work/$1.out"; return 1; }
}
export PCSCLITE_CSOCK_NAME=$work/no-pcscd ZARN_DEVICE_INTERFACES=$work/no-usb

start_sim com "$work/com7" --link "$work/com7"
(echo | ZARN_COM7="$work/com7" timeout 90 "$bin/zarn-upgrade" COM7 9600 0 115200 >"$work/com.out" 2>&1
 echo $? >"$work/com.rc") &
com_run=$!

pcsc_run=""
if [ "$(id -u)" = 0 ] || unshare --user --map-root-user --mount true 2>/dev/null; then
  echo 1 >"$work/pcsc.rc"
  # No IFD_LIBRARY argument: the packaged helper must find the packaged handler itself.
  if start_sim pcsc "$work/sim.sock" --pcsc-socket "$work/sim.sock" &&
    csock=$("$bin/zarn-reader-sim-pcscd" start "$work/pcscd" "$work/sim.sock"); then
    (echo | env "$csock" timeout 90 "$bin/zarn-upgrade" >"$work/pcsc.out" 2>&1
     echo $? >"$work/pcsc.rc") &
    pcsc_run=$!
  else
    touch "$work/pcsc.out"
    pcsc_run=none
  fi
else
  echo "skipped: PC/SC upgrade (needs root or unprivileged user namespaces)"
fi

# --- The Windows zip (while the upgrades run) -----------------------------------------------
[ -f "$zip" ] || { echo "FAIL: no $zip (run scripts/package)"; failures=$((failures + 1)); }
folder=zarn-upgrade-${version}-win64
if [ -f "$zip" ]; then
  unzip -q "$zip" -d "$work/zip"
  check "zip holds zarn-upgrade.exe, README.txt and LICENSE" test -f "$work/zip/$folder/zarn-upgrade.exe" \
    -a -f "$work/zip/$folder/README.txt" -a -f "$work/zip/$folder/LICENSE"
  tests/package/pe_resources.py "$work/zip/$folder/zarn-upgrade.exe" >"$work/resources"
  sed 's/^manifest=\(.\{60\}\).*/manifest=\1.../; s/^/  resource: /' "$work/resources"
  check "exe version resource: product zarn-upgrade, version $version" bash -c '
    for line in "ProductName=zarn-upgrade" "ProductVersion=$1" "FileVersion=$1" \
                "fixed.FileVersion=$1.0" "fixed.ProductVersion=$1.0"; do
      grep -qxF "$line" "$2" || { echo "  no $line"; exit 1; }
    done' _ "$version" "$work/resources"
  check "exe manifest asks for asInvoker" grep -q '^manifest=.*level="asInvoker"' "$work/resources"

  # The same transcripts from the Linux tool (COM250 mapped to a path that cannot exist).
  ZARN_COM250=$work/no-such-dir/port "$bin/zarn-upgrade" COM250 </dev/null | mask_clock >"$work/linux-com250"
  "$bin/zarn-upgrade" com1 </dev/null | mask_clock >"$work/linux-usage"
  # with-wine runs from the source tree: the commands change to the unzipped folder themselves.
  scripts/with-wine sh -c 'cd "$1" && wine zarn-upgrade.exe COM250 </dev/null >wine-com250 2>/dev/null
    echo $? >wine-com250.rc; wine zarn-upgrade.exe com1 </dev/null >wine-usage 2>/dev/null' \
    _ "$work/zip/$folder" >/dev/null 2>&1
  same_transcript() {
    mask_clock <"$work/zip/$folder/wine-$1" | diff -u "$work/linux-$1" - &&
      grep -q '^HH:MM:SS Zarn Reader Upgrade$' "$work/linux-$1"
  }
  check "exe under Wine: banner and \"is not opened\" for COM250, exit code 0" bash -c \
    '[ "$(cat "$1")" = 0 ]' _ "$work/zip/$folder/wine-com250.rc"
  check "exe under Wine: COM250 transcript as on Linux" same_transcript com250
  check "exe under Wine: usage transcript as on Linux" same_transcript usage
  # A whole COM upgrade by the zipped exe, against the packaged simulator (the pty library that
  # makes a pty answer as a UART under Wine is the release build's test library).
  uart_pty=build/release/tests/serial/libzarn_wine_uart_pty.so
  check "exe under Wine: a full COM upgrade of the packaged simulator" scripts/with-wine \
    python3 tests/e2e/e2e.py --wine --tool "$work/zip/$folder/zarn-upgrade.exe" \
    --sim "$bin/zarn-reader-sim" --uart-pty "$uart_pty" com_full_upgrade
fi

wait "$com_run"
check "unpacked .deb: zarn-upgrade upgrades zarn-reader-sim over a pty" upgraded com
if [ -n "$pcsc_run" ]; then
  [ "$pcsc_run" = none ] || wait "$pcsc_run"
  check "unpacked .deb: zarn-upgrade upgrades zarn-reader-sim over PC/SC" upgraded pcsc
fi

if [ "$failures" -gt 0 ]; then echo "package checks: $failures FAILED"; exit 1; fi
echo "package checks: all passed"
