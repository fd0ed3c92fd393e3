#!/usr/bin/env bash
# The OPC UA server's CI step: the locked packages (npm ci, only when the lock file changed since the
# last install), the linter, then node's own test runner over test/. Exit 77 when the packages cannot be
# had (no npm registry and nothing cached): a skip with its reason, not a failure.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 18 ]; then
  echo "duzevod-opcua needs Node.js 18 or later (tested on 20); this is $(node --version)" >&2
  exit 1
fi
stamp=node_modules/.duzevod-lock.sha256
want=$(sha256sum package-lock.json | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  # Serialised: two builds may test at once, and npm ci empties node_modules first.
  exec 9>"$here/.npm-ci.lock"
  flock 9
  if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    echo "=== npm ci (tools/opcua)"
    if ! nice -n 10 npm ci --prefer-offline --no-audit --no-fund; then
      echo "SKIPPED: npm ci could not install tools/opcua's locked packages: is the npm registry" \
        "(registry.npmjs.org) reachable from here, or its cache filled? The OPC UA server is untested." >&2
      exit 77
    fi
    echo "$want" >"$stamp"
  fi
  exec 9>&-
fi
echo "=== eslint"
nice -n 10 npx --no-install eslint .
echo "=== node --test"
exec nice -n 10 node --test --test-concurrency=1 test/*.test.js
