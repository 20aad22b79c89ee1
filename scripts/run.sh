#!/usr/bin/env bash
# Builds dottrack in Release and runs it in DIR (default: demo/ in the repository),
# writing the sample video there as test.avi when DIR has none.
# Usage: scripts/run.sh [DIR]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

case "${1:-}" in
    -h | --help)
        sed -n '2,4p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
esac

ensure_packages "${build_packages[@]}" "${window_packages[@]}"
build="$repo_root/build/release"
build_tree "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF

dir=${1:-$repo_root/demo}
mkdir -p "$dir"
if [ ! -e "$dir/test.avi" ]; then
    say "writing the sample video to $dir/test.avi"
    "$build/tools/sample/dottrack-sample" "$dir/test.avi"
fi

# Qt complains on standard error when this is unset (common for root); give it a folder.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=$(mktemp -d /tmp/dottrack-runtime-XXXXXX)
fi

say "running in $dir; press any key in one of its windows to end the run"
cd "$dir"
exec "$build/app/dottrack"
