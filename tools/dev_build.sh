#!/usr/bin/env bash
# Builds the extension with CMake into BUILD_DIR (default: build/dev) and lays
# out an importable copy of the package in BUILD_DIR/pkg, printed on the last
# line. Use it with PYTHONPATH=BUILD_DIR/pkg for quick edit-build-test loops.
# Extra CMake arguments come from TAMSO_CMAKE_ARGS (e.g. -DTAMSO_SANITIZE=ON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/dev}
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
# shellcheck disable=SC2086
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=${TAMSO_BUILD_TYPE:-Release} \
  -DPython_EXECUTABLE="$(command -v python3)" ${TAMSO_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" --target _tamso -- ${TAMSO_BUILD_FLAGS:-} >&2
rm -rf "$build/pkg"
mkdir -p "$build/pkg/tamso"
# The whole package, its data (stubs, schemas) included, beside the new build.
cp -r "$root"/python/tamso/. "$build/pkg/tamso/"
rm -rf "$build/pkg/tamso/__pycache__" "$build"/pkg/tamso/_tamso*.so
cp "$build"/_tamso*.so "$build/pkg/tamso/"
echo "$build/pkg"
