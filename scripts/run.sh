#!/usr/bin/env bash
# Installs the build dependencies, builds a release build and starts the window.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec build/release/app/velmorant
