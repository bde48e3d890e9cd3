#!/usr/bin/env bash
# The program tests under ThreadSanitizer: builds the program and its tools
# in build-tsan/ (TAVRIN_TSAN=ON), runs every test that starts the real
# program there, and counts the reports. A report whose stack holds a frame
# of our own code (platform/, sockets/, engine/, admin/, tools/) counts as
# ours; tests/tsan.supp names the known reports of libraries we do not build.
# Exits non-zero when any report is ours.
#
#   bash scripts/tsan.sh [ctest -R regex]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-tsan"
# program_limits is left out: its shim that refuses threads cannot come
# between the program and ThreadSanitizer's own pthread_create.
regex=${1:-'^(held_flush_|readme_first_message|descriptor_limit)'}
cmake -S "$root" -B "$build" -DTAVRIN_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_BENCH=OFF >/dev/null
cmake --build "$build" -j "${TAVRIN_JOBS:-3}" --target tavrin tavrin-send fsync_gate
logs="$build/tsan-logs"
rm -rf "$logs"
mkdir -p "$logs"
# Reports do not change the exit code: the tests judge the program as usual,
# and the reports are counted here.
export TSAN_OPTIONS="log_path=$logs/tsan suppressions=$root/tests/tsan.supp exitcode=0 halt_on_error=0 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
set +e
(cd "$build" && ctest -R "$regex" --output-on-failure --timeout 600 -j "${TAVRIN_JOBS:-3}")
tests=$?
set -e
python3 - "$logs" <<'PY'
import glob, re, sys
ours = theirs = 0
own = re.compile(r"/(platform|sockets|engine|admin|tools)/[^ /]+\.(cpp|h):\d+")


def first_frames(report):
    """The first frame of each stack of the accesses, past the sanitizer's own."""
    frames = []
    for section in re.split(r"\n\s*\n", report):
        head = section.lstrip().split("\n", 1)[0]
        if not re.match(r"(Previous )?(Atomic )?(read|write|Read|Write)", head):
            continue
        for line in section.split("\n")[1:]:
            if re.match(r"\s+#\d+ ", line) and not re.search(r"libtsan|sanitizer_common|/tsan/", line):
                frames.append(line)
                break
    return frames


for path in sorted(glob.glob(sys.argv[1] + "/tsan*")):
    text = open(path, errors="replace").read()
    for report in re.split(r"(?m)^={18}\n", text):
        if "WARNING: ThreadSanitizer" not in report:
            continue
        # Ours when one of the racing accesses is made by our code, or when
        # the report is not a race (a lock order, a signal) and names it.
        frames = first_frames(report) if "data race" in report else [report]
        if any(own.search(f) for f in frames):
            ours += 1
            print("---- %s\n%s" % (path, report[:6000]))
        else:
            theirs += 1
print("ThreadSanitizer reports: %d from our code, %d from libraries alone" % (ours, theirs))
sys.exit(1 if ours else 0)
PY
reports=$?
exit $(( tests != 0 ? tests : reports ))
