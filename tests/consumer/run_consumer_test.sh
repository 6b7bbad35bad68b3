#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, configures and builds a
# consumer project that calls only find_package(orvane-fanuc-driver), and
# runs it against the simulator installed with the package.
#
#   run_consumer_test.sh CMAKE BUILD_DIR SOURCE
set -euo pipefail
cmake=$1 build=$2 source=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
sim_pid=
cleanup() {
    [[ -n $sim_pid ]] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

"$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.log"
# Only the prefix is known: nothing points into the source or build tree.
"$cmake" -S "$here/project" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$work/prefix" -DORVANE_CONSUMER_SOURCE="$source" >"$work/configure.log" ||
    { cat "$work/configure.log"; exit 1; }
"$cmake" --build "$work/consumer" >"$work/build.log" || { cat "$work/build.log"; exit 1; }

# A loopback address of its own (the control port is fixed).
address=127.$((RANDOM % 254 + 1)).$((RANDOM % 256)).$((RANDOM % 254 + 1))
"$work/prefix/bin/fanuc-rmi-sim" --address "$address" --data-port 0 >"$work/sim.log" 2>&1 &
sim_pid=$!
for _ in $(seq 300); do
    grep -q "listening on" "$work/sim.log" && break
    kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.log"; exit 1; }
    sleep 0.1
done
grep -q "listening on" "$work/sim.log" || { echo "the simulator did not start"; exit 1; }

"$work/consumer/consumer" "$address" | tee "$work/run.log"
grep -q "^move_to: Finished successfully" "$work/run.log"
grep -q "^move_to_async home: Finished successfully" "$work/run.log"
