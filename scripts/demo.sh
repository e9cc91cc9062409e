#!/usr/bin/env bash
# The main job on the embedded plate: installs the packages, builds, and aligns the built-in
# synthetic stereo plate (its right camera rolled, tilted, zoomed and shifted by a known
# amount) into out/demo/, with a report and a contact sheet of anaglyphs before and after.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh
# Only what the job runs: the host program and the plug-in (tests and benchmarks build with
# scripts/test.sh and scripts/build.sh).
cmake -S . -B build -G Ninja
cmake --build build -j "$(nproc)" --target kestrel Q_VerticalAligner2_1
mkdir -p out/demo
build/bin/kestrel align --demo -o out/demo/aligned.%04d.exr \
  --report out/demo/report.json --contact-sheet out/demo/contact-sheet.png
