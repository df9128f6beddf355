#!/bin/sh
# Runs a Windows test under the Wine its name says: `under_wine.sh 10 COMMAND...` fails at once
# when the `wine` on the path is another major version, so that a wine10.* test can never pass
# under Wine 8 (outside the Debian 13 root) or the other way round.
want=$1
shift
have=$(WINEDEBUG=-all wine --version 2>/dev/null | sed -n 's/^wine-\([0-9]*\).*/\1/p')
if [ "$have" != "$want" ]; then
  echo "this test runs under Wine $want, but wine here is ${have:-missing}" >&2
  exit 1
fi
exec "$@"
