#!/bin/sh
# SPDX-License-Identifier: MIT
# Install what building and running need, build the program alone, start it.
# Arguments are passed on to the program.
set -eu
# shellcheck source=tools/setup.sh
. "$(dirname "$0")/setup.sh"
# shellcheck disable=SC2086
install_missing $PACKAGES_RUN
# shellcheck disable=SC2086
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPHONE_HOME_BUILD_TESTS=OFF -DPHONE_HOME_BUILD_BENCHMARKS=OFF ${PHONE_HOME_CMAKE_ARGS:-}
cmake --build "$build" --target rs232-phone-home -j"$(nproc)"
exec "$build/rs232-phone-home" "$@"
