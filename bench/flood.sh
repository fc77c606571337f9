#!/bin/sh
# Builds zorvel-server and the flood benchmark optimised (-O2: g++ 12 at -O3
# warns falsely in the test harness) with the test
# harness, which reads the server's syslog, and runs it. Needs root.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${ZORVEL_BENCH_BUILD:-$src/build-flood}
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZORVEL_BENCH=ON \
    -DZORVEL_TESTS=ON -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
ninja -C "$build" -j2 zorvel-server bench_flood
exec "$build/bench/bench_flood"
