#!/bin/sh
# Builds zorvel-server and its load benchmark as a release and runs it; the
# arguments go to the benchmark (e.g. --benchmark_filter=ReceiveLoops).
# ZORVEL_BENCH_LOAD_ACCOUNTS (default 100,10000,100000) sets the table sizes
# of the receive loops, ZORVEL_BENCH_RELOAD_ACCOUNTS (default 100000) those of
# the reload with and without carried presence, ZORVEL_BENCH_LOAD_FAMILIES
# (default 4,6) the families of the receive loops, and ZORVEL_BENCH_ACCOUNTS=100000
# measures the configuration load at 100,000 accounts.
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${ZORVEL_BENCH_BUILD:-$src/build-bench}
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZORVEL_BENCH=ON \
    -DZORVEL_TESTS=OFF >/dev/null
ninja -C "$build" -j2 zorvel-server bench_server_load
ZORVEL_SERVER="$build/server/zorvel-server" exec "$build/bench/bench_server_load" "$@"
