#!/usr/bin/env bash
# The OPC UA server's CI step: the locked packages, the linter, then node's own test runner. Exit 77
# (a skip, with its reason) when the packages cannot be had.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
status=0
./npm-ci.sh || status=$?
if [ $status -eq 77 ]; then
  echo "SKIPPED: the OPC UA server is untested here." >&2
fi
[ $status -eq 0 ] || exit $status
echo "=== eslint"
nice -n 10 npx --no-install eslint .
echo "=== node --test"
exec nice -n 10 node --test --test-concurrency=1 test/*.test.js
