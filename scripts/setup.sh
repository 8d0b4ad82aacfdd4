#!/usr/bin/env bash
# Installs what fsrake2 needs to build and test on Debian 12, then builds it.
# Usage: scripts/setup.sh [BUILD_DIR]   (default: build)
#        scripts/setup.sh --packages-only
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ cmake ninja-build pkg-config        # the build
  libgtest-dev libbenchmark-dev           # unit tests, micro benchmarks
  e2fsprogs util-linux mount strace       # loop images, setpriv, mounts, syscall counts
  fuse3 libfuse3-dev                      # the hanging FUSE file system of the tests
  sqlite3 libsqlite3-dev                  # loading scans; the report tool
  libzstd-dev zstd                        # compressed output, and reading it back
  clang libclang-rt-14-dev                # fuzz targets
  valgrind                                # memcheck runs
  chromium fonts-dejavu-core              # the report page, rendered in a real browser
  groff-base man-db dpkg-dev file bash-completion  # manual page, Debian package, completion
  bfs gdu time gnuplot-nox                # benchmark peers and plots
  libopenmpi-dev openmpi-bin              # fsrake2-mpi and its tests under mpirun
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y --no-install-recommends "${missing[@]}"
fi

[ "${1:-}" != "--packages-only" ] || exit 0
build_dir="${1:-build}"
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build_dir"
