#!/usr/bin/env bash
# Prints (and creates) the directory where this checkout's test runs keep
# their virtual environments, build trees and wheels: $KELVARIN_WORK, else
# one under ~/.cache/kelvarin named after the checkout's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=${KELVARIN_WORK:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvarin/work-$(printf '%s' "$root" | sha1sum | cut -c1-12)}
mkdir -p "$work"
cd "$work" && pwd
