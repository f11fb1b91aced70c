#!/usr/bin/env bash
# Applies each deliberate fault of scripts/mutants.txt in turn, builds, runs the suite and records
# which tests failed, then puts the file back. A suite that catches real faults fails for each.
#
#   scripts/mutants.sh [--build DIR] [--out FILE] [--stop-on-failure] [ID...]
#
# The build directory must be configured already (RelWithDebInfo). One mutant at a time, niced:
# the machine is shared. Each result line is "id<TAB>failing tests" ("NONE" when the fault
# survived, "NOT FOUND" when its text is no longer in the file, "BUILD FAILED" when it does not
# compile).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
out="$top/build/mutants.tsv"
stop=()
ids=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --out) out="$2"; shift 2 ;;
    --stop-on-failure) stop=(--stop-on-failure); shift ;;
    *) ids+=("$1"); shift ;;
  esac
done
[ -f "$build/build.ninja" ] || { echo "mutants: configure $build first" >&2; exit 2; }
exclude='consumer_|inspector_page'

# apply FILE ORIGINAL REPLACEMENT: exactly one occurrence, or exit 3.
apply() {
  python3 - "$@" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path).read()
if text.count(old) != 1:
    sys.exit(3)
open(path, "w").write(text.replace(old, new))
PY
}

backup=""
target=""
# A plain copy: the restored file is newer than the mutant's objects, so the next build
# compiles the original again.
restore() { [ -n "$backup" ] && cp "$backup" "$target" && rm -f "$backup"; backup=""; }
trap restore EXIT
trap 'exit 130' INT TERM

: >"$out"
while IFS=$'\t' read -r id file original replacement what; do
  case "$id" in ''|'#'*) continue ;; esac
  if [ ${#ids[@]} -gt 0 ] && [[ " ${ids[*]} " != *" $id "* ]]; then continue; fi
  target="$top/$file"
  backup=$(mktemp)
  cp "$target" "$backup"
  if ! apply "$target" "$original" "$replacement"; then
    result="NOT FOUND"
  elif ! nice cmake --build "$build" -j2 >"$build/mutant-build.log" 2>&1; then
    result="BUILD FAILED"
  else
    (cd "$build" && nice ctest -j2 -E "$exclude" "${stop[@]}" >"$build/mutant-$id.log" 2>&1)
    result=$(sed -n '/The following tests FAILED/,$p' "$build/mutant-$id.log" |
      sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' | paste -sd, -)
    [ -n "$result" ] || result="NONE"
  fi
  restore
  printf '%s\t%s\n' "$id" "$result" | tee -a "$out"
done <"$top/scripts/mutants.txt"
# The build directory holds the last mutant's objects until the next build.
nice cmake --build "$build" -j2 >"$build/mutant-build.log" 2>&1
