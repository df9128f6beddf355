#!/bin/sh
# Runs inside a scratch copy of a minimal Debian 12 root (tests/package/install_test.sh): installs
# the .deb with apt as a new user would, then upgrades the simulated reader with the installed
# programs alone, over a pty and over PC/SC through the installed pcscd helper.
#
#   install_check.sh DEB
set -u
deb=$1
work=/tmp/install-check
mkdir -p "$work"
failures=0
check() {  # check DESCRIPTION COMMAND...
  what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >"$work/apt.log" 2>&1 && apt-get install -y -qq "$deb" >>"$work/apt.log" 2>&1
status=$?
[ "$status" = 0 ] || sed 's/^/  apt: /' "$work/apt.log"
check "apt installs the .deb and what it depends on" [ "$status" = 0 ]
[ "$status" = 0 ] || exit 1

start_sim() {  # start_sim NAME READY_PATH OPTIONS...: waits for the simulator's "ready"
  name=$1 ready=$2
  shift 2
  zarn-reader-sim --transcript "$work/$name.transcript" "$@" >"$work/$name.sim" 2>&1 &
  for _ in $(seq 100); do
    grep -q '^ready' "$work/$name.sim" && [ -e "$ready" ] && return 0
    sleep 0.05
  done
  echo "  the simulator did not start:"
  cat "$work/$name.sim"
  return 1
}
upgraded() {  # upgraded NAME: the success line, exit code 0 and the reader's image check
  grep -qE '^[0-9:]{8} Zarn Reader is upgraded successfully$' "$work/$1.out" &&
    [ "$(cat "$work/$1.rc")" = 0 ] && grep -q '^image check: passed' "$work/$1.transcript" ||
    { echo "  exit code $(cat "$work/$1.rc"); transcript:"; cat "$work/$1.out"; return 1; }
}
export PCSCLITE_CSOCK_NAME="$work/no-pcscd" ZARN_DEVICE_INTERFACES="$work/no-usb"

# Both upgrades at once: each spends about 15 s in the reader's restart waits.
echo 1 >"$work/com.rc"
if start_sim com "$work/com7" --link "$work/com7"; then
  (echo | ZARN_COM7="$work/com7" timeout 90 zarn-upgrade COM7 9600 0 115200 >"$work/com.out" 2>&1
   echo $? >"$work/com.rc") &
  com_run=$!
fi
echo 1 >"$work/pcsc.rc"
touch "$work/com.out" "$work/pcsc.out"
pcsc_started=no
if start_sim pcsc "$work/sim.sock" --pcsc-socket "$work/sim.sock"; then
  if csock=$(zarn-reader-sim-pcscd start "$work/pcscd" "$work/sim.sock" 2>"$work/pcscd.err"); then
    pcsc_started=yes
    (echo | env "$csock" timeout 90 zarn-upgrade >"$work/pcsc.out" 2>&1
     echo $? >"$work/pcsc.rc") &
    pcsc_run=$!
  else
    sed 's/^/  zarn-reader-sim-pcscd: /' "$work/pcscd.err"
  fi
fi
check "the installed pcscd helper starts a private pcscd" [ "$pcsc_started" = yes ]
[ -z "${com_run:-}" ] || wait "$com_run"
check "installed zarn-upgrade upgrades zarn-reader-sim over a pty" upgraded com
[ -z "${pcsc_run:-}" ] || wait "$pcsc_run"
check "installed zarn-upgrade upgrades zarn-reader-sim over PC/SC" upgraded pcsc
[ "$pcsc_started" = no ] || zarn-reader-sim-pcscd stop "$work/pcscd"

[ "$failures" = 0 ] || { echo "install checks: $failures FAILED"; exit 1; }
echo "install checks: all passed"
