#!/bin/sh
# SPDX-License-Identifier: MIT
# Set up, build and run every test (unit, integration, soak, package and
# end-to-end), then build again with AddressSanitizer and
# UndefinedBehaviorSanitizer in ./build-asan and run the unit, integration
# and end-to-end tests there. PHONE_HOME_SANITIZE_RUN=0 skips that second run.
set -eu
# shellcheck source=tools/setup.sh
. "$(dirname "$0")/setup.sh"
# shellcheck disable=SC2086
install_missing $PACKAGES_RUN $PACKAGES_TEST
# shellcheck disable=SC2086
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPHONE_HOME_BUILD_TESTS=ON -DPHONE_HOME_BUILD_BENCHMARKS=ON ${PHONE_HOME_CMAKE_ARGS:-}
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" ${PHONE_HOME_CTEST_ARGS:-}

if [ "${PHONE_HOME_SANITIZE_RUN:-1}" != 0 ]; then
    asan_build="${PHONE_HOME_ASAN_BUILD_DIR:-$top/build-asan}"
    cmake -S "$top" -B "$asan_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPHONE_HOME_SANITIZE=ON -DPHONE_HOME_BUILD_BENCHMARKS=OFF ${PHONE_HOME_CMAKE_ARGS:-}
    cmake --build "$asan_build" -j"$(nproc)"
    # Left out: the soak test (ASan holds freed memory back, so its memory
    # checks mean nothing there), the package (a sanitized program is not
    # one to ship) and the units under systemd (about the sandbox, not
    # memory). The sanitizer options come from the build tree
    # (tests/CMakeLists.txt).
    ctest --test-dir "$asan_build" --output-on-failure -j"$(nproc)" -LE 'soak|package|systemd' ${PHONE_HOME_CTEST_ARGS:-}
fi
