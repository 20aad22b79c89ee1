#!/usr/bin/env bash
# Runs the documented command for spreading a batch over several machines exactly as written,
# here on this machine alone, on two generated videos, and checks that both are exported.
# Usage: run_recipe.sh PAGE SAMPLE_EXE EXPORT_DIR WORK_DIR   (exit 77: GNU parallel missing)
set -euo pipefail
page=$1 sample=$2 export_dir=$3 work=$4
command -v parallel >/dev/null || { echo "GNU parallel is not installed"; exit 77; }
# The first sh block after the marker line.
recipe=$(awk '/<!-- the cluster test runs the next block as written -->/ { marked = 1; next }
              marked && /^```sh/ { inside = 1; next }
              inside && /^```/ { exit }
              inside' "$page")
[ -n "$recipe" ] || { echo "no marked command in $page"; exit 1; }
rm -rf "$work"
mkdir -p "$work/videos"
cd "$work"
"$sample" videos/a.avi --frames 80
"$sample" videos/b.avi --frames 80 --seed 2
unset DOTTRACK_NODES
PATH="$export_dir:$PATH" bash -euo pipefail -c "$recipe"
for name in a b; do
    [ -s "results/$name.csv" ] && [ -s "results/$name.motion.csv" ] ||
        { echo "results/$name.csv or results/$name.motion.csv is missing"; exit 1; }
done
