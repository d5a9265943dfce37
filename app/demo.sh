#!/usr/bin/env bash
# Runs the batch program on the bundled sample sequence.
set -euo pipefail
build=${1:-build}
"$build/vantor" '?'
