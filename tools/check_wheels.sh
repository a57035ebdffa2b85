#!/usr/bin/env bash
# Builds a wheel of the package with each interpreter given (paths to python
# executables), installs each wheel alone into a fresh virtual environment
# and runs the README's example with it, outside the source tree's package.
#
#   tools/check_wheels.sh /path/to/python3.11 /path/to/python3.12 ...
#
# Wheels go to dist/ (or $TAMSO_WHEEL_DIR), virtual environments under
# build/wheel-check/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dist=${TAMSO_WHEEL_DIR:-$root/dist}
work=$root/build/wheel-check

# The README's example, run from examples/ with the environment's bin first
# on PATH; its run report (JSON) goes to standard output. OUT is set per run.
EXAMPLE='python -m tamso run pipeline.reports --out "$OUT" --json --no-report'

[ $# -gt 0 ] || { echo "usage: $0 PYTHON [PYTHON ...]" >&2; exit 2; }
mkdir -p "$dist" "$work"
for python in "$@"; do
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  echo "-- $tag: wheel"
  rm -f "$dist"/tamso-*-"$tag"-*.whl
  "$python" -m pip wheel --quiet --no-deps "$root" -w "$dist"
  wheel=$(ls "$dist"/tamso-*-"$tag"-*.whl)
  echo "-- $tag: $(basename "$wheel") into a fresh environment"
  rm -rf "$work/$tag"
  "$python" -m venv "$work/$tag"
  "$work/$tag/bin/python" -m pip install --quiet "$wheel"
  (
    cd "$root/examples"
    export PATH="$work/$tag/bin:$PATH"
    export OUT="$work/$tag/tamso-out"
    out=$(bash -c "$EXAMPLE" 2>/dev/null)
    # The output is the example's run report; the schemas ship in the wheel.
    python - "$out" <<'PY'
import json, sys
from importlib import resources
import tamso
assert "site-packages" in tamso.__file__, tamso.__file__
for name in ("inspection.schema.json", "result.schema.json"):
    json.loads(resources.files("tamso").joinpath("schemas", name).read_text("utf-8"))
report = json.loads(sys.argv[1])
assert report["status"] == "ok" and report["jobs"], report
print(f"   {len(report['jobs'])} jobs of the example ok, schemas readable")
PY
  )
done
