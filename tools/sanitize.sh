#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs the test suite (or the pytest arguments given) against that build.
# The sanitizer runtimes are preloaded into the interpreter, the interpreter
# uses plain malloc so every allocation is checked, and leak reports about the
# interpreter's own allocations at exit are suppressed (tools/lsan.supp).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TAMSO_SANITIZE_BUILD:-$root/build/sanitize}
pkg=$(TAMSO_CMAKE_ARGS="-DTAMSO_SANITIZE=ON" TAMSO_BUILD_TYPE=RelWithDebInfo "$root/tools/dev_build.sh" "$build" | tail -n 1)

symbolizer=$(command -v llvm-symbolizer || true)
# The interpreter itself, not a wrapper script: the runtimes are preloaded
# into it alone.
python=$(python3 -c 'import sys; print(sys.executable)')
preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:halt_on_error=1:exitcode=99:detect_stack_use_after_return=0${symbolizer:+:external_symbolizer_path=$symbolizer}"
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=98"
export PYTHONPATH="$pkg${PYTHONPATH:+:$PYTHONPATH}"
cd "$root"
if [ $# -eq 0 ]; then set -- -q -p no:cacheprovider tests; fi
exec env LD_PRELOAD="$preload" "$python" -m pytest "$@"
