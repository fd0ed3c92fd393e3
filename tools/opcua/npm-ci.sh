#!/usr/bin/env bash
# Installs tools/opcua's locked packages (npm ci) unless they are installed from this very lock file
# already. Exit 77 with the reason when npm cannot get them (no registry, nothing cached).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cd "$here"
major=$(node -p 'process.versions.node.split(".")[0]')
if [ "$major" -lt 18 ]; then
  echo "duzevod-opcua needs Node.js 18 or later (tested on 20); this is $(node --version)" >&2
  exit 1
fi
stamp=node_modules/.duzevod-lock.sha256
want=$(sha256sum package-lock.json | cut -d' ' -f1)
# Installed from this lock, and still there (npm's own record of the tree lies beside the stamp).
installed() { [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && [ -f node_modules/.package-lock.json ]; }
! installed || exit 0
# Serialised: two builds may test at once, and npm ci empties node_modules first.
exec 9>"$here/.npm-ci.lock"
flock 9
! installed || exit 0
echo "=== npm ci (tools/opcua)" >&2
if ! nice -n 10 npm ci --prefer-offline --no-audit --no-fund >&2; then
  echo "npm ci could not install tools/opcua's locked packages: is the npm registry" \
    "(registry.npmjs.org) reachable from here, or its cache filled?" >&2
  exit 77
fi
echo "$want" >"$stamp"
