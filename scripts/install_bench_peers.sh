#!/usr/bin/env bash
# install_bench_peers.sh VENV
# Installs the libraries the benchmark compares molvenar with. Each is
# optional: one that does not install is reported and the benchmark skips
# it. ta-lib-takt installs under the same module name as TA-Lib, so it goes
# into its own directory (VENV/takt), which the benchmark loads in a worker
# process.
set -uo pipefail
venv="$1"
pip=("$venv/bin/python" -m pip install --quiet)
for peer in 'ta-lib' 'bottleneck' 'pandas' 'numba'; do
    "${pip[@]}" "$peer" || echo "note: $peer did not install; the benchmark skips it" >&2
done
if [ ! -d "$venv/takt/talib" ]; then
    "${pip[@]}" --no-deps --target "$venv/takt" 'ta-lib-takt' ||
        echo "note: ta-lib-takt did not install; the benchmark skips it" >&2
fi
exit 0
