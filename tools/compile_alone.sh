#!/bin/sh
# Every source compiled on its own with g++ (syntax and warnings only): the
# builds are unity builds, where a source that forgets an include borrows
# it from the one before. A build directory configured without unity gives
# each source's own command; each is run with -fsyntax-only -Werror, two at
# a time.
# Usage: tools/compile_alone.sh BUILD_DIR [JOBS]
set -eu
dir=$1
jobs=${2:-2}
mkdir -p "$dir"
cmake -S "$(dirname "$0")/.." -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=gcc \
    -DCMAKE_CXX_COMPILER=g++ -DCMAKE_UNITY_BUILD=OFF -DPLOTANIX_TESTS=ON -DPLOTANIX_BENCH=ON \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log" >&2; exit 1; }
# The sources rpcgen makes are the build's: made first.
cmake --build "$dir" --target plotanix_vxi11_generated >/dev/null
python3 - "$dir/compile_commands.json" "$jobs" <<'PY'
import json, shlex, subprocess, sys
from concurrent.futures import ThreadPoolExecutor

entries = [e for e in json.load(open(sys.argv[1]))
           if e["file"].endswith((".cpp", ".cc")) and "/_deps/" not in e["file"]]

def check(entry):
    words = shlex.split(entry["command"])
    out = []
    skip = False
    for word in words:
        if skip:
            skip = False
            continue
        if word == "-o":
            skip = True
            continue
        out.append(word)
    out += ["-fsyntax-only", "-Werror"]
    done = subprocess.run(out, cwd=entry["directory"], capture_output=True, text=True)
    return entry["file"], done.returncode, done.stderr

failed = 0
with ThreadPoolExecutor(int(sys.argv[2])) as pool:
    for name, code, errors in pool.map(check, entries):
        if code != 0:
            failed += 1
            sys.stderr.write(errors)
print(f"compiled alone with g++: {len(entries) - failed} of {len(entries)} sources clean")
sys.exit(1 if failed else 0)
PY
