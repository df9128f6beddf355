#!/bin/sh
# Runs the Windows serial-port tests under Wine with COM5 mapped to a fresh pty, so that the
# Windows backend meets a real terminal device as far as Wine allows (see docs/serial-link.md).
# Usage: tests/serial/wine_pty_check.sh <windows build dir> [wine prefix]
set -eu
build=${1:?usage: $0 <windows build dir> [wine prefix]}
prefix=${2:-$build/../wineprefix}
mkdir -p "$prefix"
export WINEPREFIX="$(cd "$prefix" && pwd)" WINEDEBUG=-all
exe=$build/tests/serial/serial_port_win32_tests.exe
python3 - "$exe" <<'PY'
import os, pty, subprocess, sys
master, slave = pty.openpty()
path = os.ttyname(slave)
os.close(slave)
subprocess.run(['wine', 'reg', 'add', r'HKLM\Software\Wine\Ports', '/v', 'COM5', '/t', 'REG_SZ',
                '/d', path, '/f'], check=True, capture_output=True)
result = subprocess.run(['wine', sys.argv[1]], env=dict(os.environ, ZARN_WINE_TEST_COM='5'))
subprocess.run(['wine', 'reg', 'delete', r'HKLM\Software\Wine\Ports', '/v', 'COM5', '/f'],
               capture_output=True)
sys.exit(result.returncode)
PY
