#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Plants each fault listed in scripts/mutants.txt, one at a time, in a
# scratch copy of the working tree, builds, runs the suite and reports which
# faults it catches and which survive. Not part of CI: it takes a while.
#
#   bash scripts/mutants.sh [pattern]     (only the faults whose name matches)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
scratch="${ZERAK_MUTANTS_DIR:-$root/build-mutants}"
pattern="${1:-}"
"$root/scripts/deps.sh"

# Extracted with the time of the copy: a file changed since the last run but
# older than its object there would not be rebuilt.
mkdir -p "$scratch/src"
(cd "$root" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) | tar -C "$scratch/src" -m -xf -
build="$scratch/build"
cmake -S "$scratch/src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DZERAK_TESTS=ON \
      -DZERAK_QT6="${ZERAK_QT6:-OFF}" >/dev/null
run_suite() {
    cmake --build "$build" --parallel "$(nproc)" >"$scratch/build.log" 2>&1 || return 2
    (cd "$build" && QT_QPA_PLATFORM=offscreen ctest --stop-on-failure --timeout 60 >"$scratch/ctest.log" 2>&1)
}
if ! run_suite; then
    echo "The suite does not pass as it stands; see $scratch/build.log and $scratch/ctest.log" >&2
    exit 1
fi

# Replaces the one place the text stands; \n in the list is a line break.
plant() {
    FIND="$2" REPLACE="$3" perl -0777 -i -pe '
        BEGIN { ($find, $replace) = map { s/\\n/\n/g; $_ } ($ENV{FIND}, $ENV{REPLACE}); }
        my $count = () = /\Q$find\E/g;
        die "stands $count times\n" if $count != 1;
        s/\Q$find\E/$replace/;' "$1"
}

caught=0
planted=0
survivors=()
while IFS= read -r line; do
    [[ -z "$line" || "$line" == \#* ]] && continue
    # Fields are separated by " | ", which code's "||" never contains.
    name="${line%% | *}"; rest="${line#* | }"
    file="${rest%% | *}"; rest="${rest#* | }"
    find="${rest%% | *}"; replace="${rest#* | }"
    [[ -n "$pattern" && "$name" != *$pattern* ]] && continue
    cp "$scratch/src/$file" "$scratch/original"
    if ! plant "$scratch/src/$file" "$find" "$replace" 2>"$scratch/plant.log"; then
        echo "NOT PLANTED  $name: the text $(cat "$scratch/plant.log")"
        continue
    fi
    planted=$((planted + 1))
    status=0
    run_suite || status=$?
    cp "$scratch/original" "$scratch/src/$file"
    touch "$scratch/src/$file"
    case $status in
    0)
        echo "SURVIVED     $name"
        survivors+=("$name")
        ;;
    2)
        echo "NOT BUILT    $name (see $scratch/build.log)"
        planted=$((planted - 1))
        ;;
    *)
        caught=$((caught + 1))
        by="$(grep -m1 -o -E '[a-z_]+ [.]+\**(Failed|Timeout|Exception|Subprocess aborted)' "$scratch/ctest.log" | cut -d' ' -f1)"
        echo "caught       $name (by ${by:-the suite})"
        ;;
    esac
done <"$root/scripts/mutants.txt"

cmake --build "$build" --parallel "$(nproc)" >/dev/null 2>&1 || true
echo "Score: $caught of $planted planted faults caught."
[ ${#survivors[@]} -eq 0 ]
