#!/usr/bin/env bash
# Builds the benchmarks with optimisation and runs them; medians and the same-run baselines
# (memcpy, a plain socket reader) are printed side by side and kept in bench/results/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELTARO_TESTS=OFF -DVELTARO_BENCH=ON
cmake --build build-bench -j"$(nproc)" --target pipeline_bench raw_throughput_bench \
  telnet_throughput_bench ssh_throughput_bench serial_throughput_bench logged_tab_bench veltaro bare_webview
mkdir -p bench/results
build-bench/bench/pipeline_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  | tee bench/results/pipeline.txt
build-bench/bench/raw_throughput_bench --benchmark_report_aggregates_only=true \
  | tee bench/results/raw_throughput.txt
build-bench/bench/telnet_throughput_bench --benchmark_report_aggregates_only=true \
  | tee bench/results/telnet_throughput.txt
build-bench/bench/ssh_throughput_bench --benchmark_report_aggregates_only=true \
  | tee bench/results/ssh_throughput.txt
build-bench/bench/serial_throughput_bench | tee bench/results/serial_throughput.txt
# Repetitions interleaved, so that a busy stretch of the machine does not fall on one case only.
build-bench/bench/logged_tab_bench --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true | tee bench/results/logged_tab.txt
python3 bench/window_bench.py build-bench/launcher/veltaro 3 | tee bench/results/window.txt
python3 bench/window_burst_bench.py build-bench/launcher/veltaro 3 | tee bench/results/window_burst.txt
python3 bench/window_memory_bench.py build-bench/launcher/veltaro build-bench/bench/bare_webview 3 \
  | tee bench/results/window_memory.txt
