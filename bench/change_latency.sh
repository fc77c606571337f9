#!/bin/sh
# How long a new address takes from the interface to the server: the real
# zorvel-server in this script's own network namespace, the real
# zorvel-client with (interval 3600) and an interface sensor in a named one
# (carrying this script's PID), joined by a veth pair with documentation
# addresses. Each round moves the client's address (a second address added,
# the first removed so that the second takes over) and times from the end
# of the removal to the server's effector. Prints every latency, the median and the
# largest, against the goal of 1 s. Needs root (network namespaces).
# Usage: bench/change_latency.sh [BUILD_DIR [ROUNDS]]
set -eu
src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
rounds=${2:-20}
[ -n "${ZORVEL_LATENCY_INNER:-}" ] || ZORVEL_LATENCY_INNER=1 exec unshare -n "$0" "$build" "$rounds"

ns=zorvel-lat-$$
dir=$(mktemp -d)
cleanup() {
    [ -n "${client:-}" ] && kill "$client" 2>/dev/null
    [ -n "${server:-}" ] && kill "$server" 2>/dev/null
    wait 2>/dev/null || true
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
ip link set lo up
ip netns add "$ns"
ip link add zv0 type veth peer name zv1 netns "$ns"
ip addr add 198.51.100.1/24 dev zv0
ip link set zv0 up
ip netns exec "$ns" ip link set lo up
ip netns exec "$ns" ip addr add 198.51.100.2/24 dev zv1
ip netns exec "$ns" ip link set zv1 up
ip netns exec "$ns" sh -c 'echo 1 > /proc/sys/net/ipv4/conf/zv1/promote_secondaries'

key='|em9ydmVsIGJlbmNoIGtleSwgbm90IGEgc2VjcmV0|'
cat >"$dir/server.conf" <<CONF
(listen 8745 198.51.100.1)
(account (name roamer) (key $key) (effector (system "date +%s.%N >> $dir/effects")))
CONF
cat >"$dir/client.conf" <<CONF
(server 198.51.100.1 8745) (name roamer) (key $key)
(interval 3600) (sensor (interface zv1))
CONF
: >"$dir/effects"
"$build/server/zorvel-server" -c "$dir/server.conf" &
server=$!
sleep 0.5 # the server's sockets open before the client's first message
ip netns exec "$ns" "$build/client/zorvel-client" -c "$dir/client.conf" &
client=$!

# Waits (at most 5 s) until the effector has run n times.
wait_effects() {
    i=0
    while [ "$(wc -l <"$dir/effects")" -lt "$1" ] && [ $i -lt 500 ]; do
        sleep 0.01
        i=$((i + 1))
    done
    [ "$(wc -l <"$dir/effects")" -ge "$1" ]
}
wait_effects 1 || { echo "the client's first message never arrived" >&2; exit 1; }

old=2
: >"$dir/latencies"
r=1
while [ $r -le "$rounds" ]; do
    new=$((old == 2 ? 3 : 2))
    ip -n "$ns" addr add 198.51.100.$new/24 dev zv1
    # From just before the removal: the figure is an upper bound, which
    # includes the start of ip(8) itself (ip -n enters the namespace in
    # process, without the remount of ip netns exec).
    t0=$(date +%s.%N)
    ip -n "$ns" addr del 198.51.100.$old/24 dev zv1
    wait_effects $((r + 1)) || { echo "round $r: no change reached the server" >&2; exit 1; }
    t1=$(sed -n "$((r + 1))p" "$dir/effects")
    echo "$t0 $t1" | awk '{ printf "%.0f\n", ($2 - $1) * 1000 }' >>"$dir/latencies"
    old=$new
    r=$((r + 1))
    # Apart by more than the client's spacing of extra messages.
    sleep 1.1
done
sort -n "$dir/latencies" | awk -v n="$rounds" '
    { v[NR] = $1 }
    END {
        med = v[int((n + 1) / 2)]; max = v[n]
        printf "change to server, %d rounds: median %d ms, max %d ms; goal 1000 ms: %s\n",
            n, med, max, max <= 1000 ? "met" : "missed"
    }'
