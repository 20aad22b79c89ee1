# Shared by run.sh and test.sh: where things are, and the Debian packages they need.
# Sourced, not run.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

say() { printf 'dottrack: %s\n' "$*"; }
fail() { printf 'dottrack: %s\n' "$*" >&2; exit 1; }

# Packages to build the tool and its tests.
build_packages=(cmake make g++ pkg-config libopencv-dev libgtest-dev libcli11-dev nlohmann-json3-dev)
# Checks that every C++ file is laid out as .clang-format says.
format_packages=(clang-format)
# The window toolkit draws the windows' toolbar text with these; without any font it
# complains on standard error.
window_packages=(fonts-dejavu-core)
# The Python module (python/) and its tests; without them the build leaves the module out.
python_packages=(pybind11-dev python3-dev python3-numpy)

# Installs the Debian packages that are missing (as root), or says how to (otherwise).
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        fail "missing Debian packages; install them with: sudo apt-get install -y --no-install-recommends ${missing[*]}"
    fi
    say "installing missing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null || fail "apt-get update failed"
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
        fail "apt-get install failed for: ${missing[*]}"
}

# The C++ files of the repository, relative to its root: those git knows, or every one
# outside build/ in a copy without git.
cpp_files() {
    (cd "$repo_root" && { git ls-files '*.cpp' '*.h' 2>/dev/null ||
        find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sed 's|^\./||'; })
}

# build_tree DIR [cmake options...]: configures (once) and builds the project in DIR.
build_tree() {
    local dir=$1
    shift
    local log="$dir/build.log"
    mkdir -p "$dir"
    if ! { cmake -S "$repo_root" -B "$dir" "$@" && cmake --build "$dir" -j "$(nproc)"; } >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        fail "build failed in $dir (full log: $log)"
    fi
}
