#!/usr/bin/env bash
# Figures of a shot on the farm, measured on a one-node cluster of this machine
# (scripts/local-slurm.sh), each against its peer in the same run:
#
#  1. the overhead of a chunk: a 48-frame shot at 480x270 rendered as 48 chunks of one frame
#     against one chunk of 48 frames, one task at a time with every CPU (--cpus-per-task);
#     (difference) / 47 is what each further chunk costs: scheduling, kestrel's start, loading
#     the plug-ins and the script. The time kestrel farm submit itself takes is printed too.
#  2. a 48-frame 2048x1080 shot rendered on the cluster as 4 chunks of 12 frames with 2 tasks
#     at once (one CPU and one thread each), against one `kestrel render` process with a thread
#     per CPU.
#
# Both shots are analysed once beforehand (kestrel align --analyse-only). The 2K plate holds two
# distinct rendered frames, repeated: a frame costs the same to render whatever it shows.
#
#   bash bench/farm_figures.sh [BUILD]      (BUILD defaults to build/; needs kestrel built)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$here/build}" && pwd)
kestrel=$build/bin/kestrel
[[ -x $kestrel ]] || {
  echo "farm_figures: build kestrel first (scripts/build.sh)" >&2
  exit 1
}
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-farm-figures.XXXXXX")
cluster=$work/cluster
cleanup() {
  bash "$here/scripts/local-slurm.sh" stop "$cluster" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
eval "$(bash "$here/scripts/local-slurm.sh" start "$cluster")"

now() { date +%s.%N; }
seconds() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }

# A plate of `frames` frames at width x height: `distinct` rendered frames, repeated.
plate() {
  local name=$1 width=$2 height=$3 frames=$4 distinct=$5
  mkdir -p "$work/$name"
  cat >"$work/$name/plate.kscript" <<EOF
kestrel_script 1
views left right
frames 1 $distinct
node SyntheticStereo Plate
 knob width $width
 knob height $height
 knob lastFrame $distinct
 knob verticalShift {curve linear 1 2 linear $distinct 6}
 knob roll {curve linear 1 0.1 linear $distinct 0.4}
end
node Write Write1
 input 0 Plate
 knob file $work/$name/src_%V.####.png
 knob channels rgba
end
EOF
  "$kestrel" render "$work/$name/plate.kscript" >/dev/null 2>&1
  for ((f = 1; f <= frames; f++)); do
    local from=$(((f - 1) % distinct + 1))
    for v in left right; do
      ln -f "$(printf "%s/%s/src_%s.%04d.png" "$work" "$name" "$v" "$from")" \
        "$(printf "%s/%s/plate_%s.%04d.png" "$work" "$name" "$v" "$f")"
    done
  done
  "$kestrel" align "$work/$name/plate_left.####.png" "$work/$name/plate_right.####.png" \
    -o "$work/$name/out/shot_%V.####.exr" --analyse-only >/dev/null 2>&1
}

# Waits until the jobs have left the queue.
wait_jobs() {
  while [[ -n $(squeue --noheader --format=%i --jobs="$1" 2>/dev/null) ]]; do sleep 0.2; done
}

# Submits the shot's script in chunks and waits for the check; prints the wall time and the
# time kestrel farm submit took.
farm_render() {
  local name=$1 chunk=$2
  shift 2
  rm -f "$work/$name"/out/shot_*.exr
  local start end end_submit out ids
  start=$(now)
  out=$("$kestrel" farm submit "$work/$name/out/aligned.kscript" --chunk "$chunk" "$@")
  end_submit=$(now)
  ids=$(grep -o ' job [0-9]*' <<<"$out" | awk '{ print $2 }' | paste -sd,)
  wait_jobs "$ids"
  end=$(now)
  grep -q '"complete": true' "$work/$name/out/aligned.farm/report.json" || {
    echo "farm_figures: the shot $name did not complete: see $work/$name/out/aligned.farm" >&2
    exit 1
  }
  echo "$(seconds "$start" "$end") $(seconds "$start" "$end_submit")"
}

cpus=$(nproc)
echo "farm figures on $(hostname -s): $cpus CPUs; shots analysed once beforehand"

plate small 480 270 48 4
read -r many submit_many < <(farm_render small 1 --slurm-opt=--cpus-per-task="$cpus")
read -r one submit_one < <(farm_render small 48 --slurm-opt=--cpus-per-task="$cpus")
[[ -n $many && -n $one ]] || exit 1
echo "chunk overhead, 48 frames at 480x270, one task at a time:"
echo "  48 chunks of 1 frame: ${many} s (kestrel farm submit: ${submit_many} s)"
echo "  1 chunk of 48 frames: ${one} s (kestrel farm submit: ${submit_one} s)"
awk -v a="$many" -v b="$one" 'BEGIN { printf "  overhead per further chunk: %.2f s\n", (a - b) / 47 }'

plate 2k 2048 1080 48 2
start=$(now)
"$kestrel" render "$work/2k/out/aligned.kscript" >/dev/null 2>&1
single=$(seconds "$start" "$(now)")
read -r farm _ < <(farm_render 2k 12 --slurm-opt=--cpus-per-task=1)
[[ -n $farm ]] || exit 1
echo "48 frames at 2048x1080:"
echo "  one kestrel render process, $cpus threads: ${single} s"
echo "  cluster, 4 chunks of 12, 2 tasks at once with 1 thread each: ${farm} s"
awk -v a="$farm" -v b="$single" 'BEGIN { printf "  cluster / one process: %.2f\n", a / b }'
