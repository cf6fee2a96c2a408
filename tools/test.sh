#!/bin/sh
# Set up, build and run every test (unit, integration and end-to-end).
set -eu
. "$(dirname "$0")/setup.sh"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" ${PHONE_HOME_CTEST_ARGS:-}
