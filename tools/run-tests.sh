#!/bin/sh
# Runs the whole suite under a virtual X display (some tests open windows).
set -eu
build_dir=${1:-build}
cd "$build_dir"
exec xvfb-run -a -s "-screen 0 1920x1200x24" ctest --output-on-failure -j2 --timeout 600
