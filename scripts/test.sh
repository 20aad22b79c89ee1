#!/usr/bin/env bash
# Builds dottrack and runs every test: unit tests, end-to-end tests in a virtual X display,
# then the same again in a build with the address and undefined-behaviour sanitizers.
# Usage: scripts/test.sh [--quick]   (--quick skips the sanitizer build)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

sanitize=1
for argument in "$@"; do
    case "$argument" in
        --quick) sanitize=0 ;;
        -h | --help)
            sed -n '2,4p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
            exit 0
            ;;
        *) fail "unknown option: $argument (try --help)" ;;
    esac
done

# GStreamer's plugins bring OpenCV's GStreamer back-end into play on a file that is not a
# video: the end-to-end tests check that the programs stay quiet then too, and that the
# export reads pipelines. GNU parallel runs the documented recipe for many machines;
# ImageMagick's import reads what the tool's windows show.
ensure_packages "${build_packages[@]}" "${window_packages[@]}" xvfb xauth xdotool x11-utils \
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good parallel imagemagick
ensure_packages "${python_packages[@]}" "${format_packages[@]}"

# The tests' share of the C++, said last on every run: non-blank lines of *_test.cpp files
# and of everything under tests/, against those of every other *.cpp and *.h file.
share() {
    local tests=0 code=0 file lines
    while IFS= read -r file; do
        [ -f "$repo_root/$file" ] || continue
        lines=$(grep -cv '^[[:space:]]*$' "$repo_root/$file" || true)
        case "$file" in
            *_test.cpp | tests/*) tests=$((tests + lines)) ;;
            *) code=$((code + lines)) ;;
        esac
    done < <(cpp_files)
    say "test share: $tests test lines / $code code lines = $(awk "BEGIN { printf \"%.3f\", $tests / $code }")"
}

# Every C++ file stays as clang-format lays it out; one line names those that are not.
check_format() {
    local file unformatted=()
    while IFS= read -r file; do
        [ -f "$repo_root/$file" ] || continue
        clang-format --style=file "$repo_root/$file" | cmp -s - "$repo_root/$file" ||
            unformatted+=("$file")
    done < <(cpp_files)
    [ ${#unformatted[@]} -eq 0 ] ||
        fail "not formatted as .clang-format says (clang-format -i fixes them): ${unformatted[*]}"
}

scratch=$(mktemp -d /tmp/dottrack-test-XXXXXX)
xvfb_pid=
cleanup() {
    share
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
check_format

# A private virtual display for the end-to-end tests; Xvfb picks a free number itself.
Xvfb -displayfd 3 -noreset -screen 0 1600x1200x24 -nolisten tcp 3>"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$scratch/display" ] && break
    sleep 0.1
done
[ -s "$scratch/display" ] || fail "Xvfb did not start: $(cat "$scratch/xvfb.log")"
export DISPLAY=":$(cat "$scratch/display")"
xdpyinfo >/dev/null 2>&1 || fail "Xvfb on $DISPLAY does not answer"
export XDG_RUNTIME_DIR="$scratch/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

run_suite() {
    local name=$1 dir=$2
    shift 2
    say "building ($name)"
    build_tree "$dir" "$@"
    say "testing ($name)"
    (cd "$dir" && ctest --output-on-failure -j "$(nproc)") || fail "tests failed ($name)"
}

run_suite release "$repo_root/build/release" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON \
    -DDOTTRACK_WERROR=ON
if [ "$sanitize" -eq 1 ]; then
    export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$repo_root/scripts/lsan.supp:print_suppressions=0}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    run_suite sanitize "$repo_root/build/sanitize" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DBUILD_TESTING=ON -DDOTTRACK_SANITIZE=ON -DDOTTRACK_WERROR=ON
fi
say "all tests passed"

