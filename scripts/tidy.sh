#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the sources of the
# library, the tool and the tests, headers of the repository included. The
# compile commands come from a clang++ tree configured (not built) in
# build-tidy/. Any finding fails the run; each is printed once, then a
# count per check. Each source's report is in build-tidy/tidy/.
# Usage: scripts/tidy.sh [source ...]   (default: every source compiled)
# Environment: TIDY_BUILD (default build-tidy), JOBS (default 2).
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${TIDY_BUILD:-$root/build-tidy}
jobs=${JOBS:-2}
tidy=$(command -v clang-tidy-14 || command -v clang-tidy) || {
  echo "tidy.sh: clang-tidy not found (scripts/deps.sh test installs it)" >&2
  exit 2
}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCOLLINEAR_BUILD_BENCH=OFF \
  -DBUILD_TESTING=ON >/dev/null || exit 2

# The sources of the compile database that belong to the library, the tool
# or the tests (absolute paths), or the ones given.
if [ $# -gt 0 ]; then
  sources=()
  for f in "$@"; do sources+=("$(cd "$(dirname "$f")" && pwd)/$(basename "$f")"); done
else
  mapfile -t sources < <(python3 - "$build/compile_commands.json" "$root" <<'EOF'
import json, os, sys
db, root = sys.argv[1], sys.argv[2]
dirs = tuple(os.path.join(root, d) + os.sep for d in ("collinear", "tools", "tests"))
files = {os.path.normpath(os.path.join(e["directory"], e["file"]))
         for e in json.load(open(db))}
print("\n".join(sorted(f for f in files if f.startswith(dirs))))
EOF
  )
fi
[ ${#sources[@]} -gt 0 ] || { echo "tidy.sh: no sources" >&2; exit 2; }

out=$build/tidy
rm -rf "$out" && mkdir -p "$out"
start=$(date +%s)
printf '%s\n' "${sources[@]}" |
  xargs -P "$jobs" -I{} sh -c '
    log="$2/$(echo "$3" | sed "s|^$4/||; s|/|_|g").log"
    "$0" -p "$1" --quiet --warnings-as-errors="*" "$3" >"$log" 2>&1 ||
      echo "exit $?" >>"$log"' "$tidy" "$build" "$out" {} "$root"
secs=$(($(date +%s) - start))

# One line per finding (a header's finding is reported by every source that
# includes it), then the count per check.
python3 - "$out" "$root" "${#sources[@]}" "$secs" <<'EOF'
import collections, glob, os, re, sys
out, root, n_sources, secs = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
# A message may run over several lines (the analyzer's padding report).
diag = re.compile(r"^(/[^:\n]+):(\d+):(\d+): (?:warning|error): "
                  r"((?:(?!\n/[^:\n]+:\d+:\d+: ).)*?) \[([\w.-]+)[^\]\n]*\]$",
                  re.M | re.S)
findings, failed = {}, []
for log in sorted(glob.glob(os.path.join(out, "*.log"))):
    text = open(log, errors="replace").read()
    found = diag.findall(text)
    for path, ln, col, msg, check in found:
        rel = os.path.relpath(path, root)
        findings[(rel, int(ln), int(col), check)] = msg.split("\n")[0]
    if "\nexit " in "\n" + text and not found:
        failed.append(os.path.basename(log))
for (rel, ln, col, check), text in sorted(findings.items()):
    print(f"{rel}:{ln}:{col}: {text} [{check}]")
counts = collections.Counter(k[3] for k in findings)
if counts:
    print("\nfindings per check:")
    for check, n in counts.most_common():
        print(f"{n:6}  {check}")
for f in failed:
    print(f"clang-tidy failed without a finding: {out}/{f}")
print(f"\ntidy: {len(findings)} findings in {n_sources} sources, {secs} s")
sys.exit(1 if findings or failed else 0)
EOF
