#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The long form of the soak test: 1,000 capture starts and stops under traffic in a network namespace of
# its own (root). Prints the longest stop and the thread, descriptor and memory figures.
#   bench/soak.sh [BUILD_DIR] [CYCLES]     (defaults: build/dev, 1000)
set -eu
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/dev}"
FLOWSENTRY_SOAK_CYCLES="${2:-1000}" exec "$build/tests/soak_tests" --gtest_filter='Soak.*'
