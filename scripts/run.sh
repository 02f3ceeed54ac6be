#!/usr/bin/env bash
# Installs what is needed, builds the application and runs it (Ctrl+C ends it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target vantrel-pellan
exec build/release/src/app/vantrel-pellan
