#!/bin/sh
# Runs the network client benchmarks and prints their figures.
# Usage: bench/net/run_bench.sh BIN_DIR   (the build's bin folder holding net_bench)
set -e
BIN_DIR=${1:?usage: run_bench.sh BIN_DIR}
"$BIN_DIR/net_bench" lines 10000
echo
"$BIN_DIR/net_bench" encode 256
echo
"$BIN_DIR/net_bench" memory 1024
echo
"$BIN_DIR/net_bench" bigline 100
echo
"$BIN_DIR/net_bench" tls 50
