#!/bin/sh
# vantle-sweep on three small traces and two families: through GNU parallel
# here, each trace's rows must be those of vantle-sim run alone on it with
# each family; its Slurm script must parse, and its array body, run for one
# index without Slurm, must give that trace's rows again.
# Usage: sweep_check.sh <vantle-sim> <vantle-sweep>
set -eu
sim=$1 sweep=$2
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for i in 1 2 3; do
  awk -v seed="$i" 'BEGIN { srand(seed); for (k = 0; k < 3000; k++)
    printf "%d %x\n", int(rand() * 3), int(rand() * 8000) * 4 }' \
    >"$dir/t$i.din"
done
printf '%s\n' "$dir/t1.din" "$dir/t2.din" "$dir/t3.din" >"$dir/traces.txt"
printf '%s\n' '-Csa -Rlru -a2 -b5 -n1' 'data: -Cfa -Ropt -M2048 -i256' \
  >"$dir/families.txt"
sweep() {
  python3 "$sweep" --vantle-sim "$sim" -t "$dir/traces.txt" \
    -f "$dir/families.txt" -d "$dir/work" "$@"
}

sweep -j 2 -o "$dir/merged.csv"
{
  echo "trace,family,organisation,policy,line_size,sets,associativity,cache_size,references,hits,miss_ratio"
  while read -r trace; do
    while read -r family; do
      case $family in
        *:*) kinds=${family%%:*} words=${family#*: } ;;
        *) kinds=all words=$family ;;
      esac
      "$sim" -trace:refs "$kinds" -cache:opts "$words" -out:csv "$dir/one.csv" \
        "$trace" 2>/dev/null
      tail -n +2 "$dir/one.csv" | sed "s|^|$trace,$family,|"
    done <"$dir/families.txt"
  done <"$dir/traces.txt"
} >"$dir/expected.csv"
diff "$dir/expected.csv" "$dir/merged.csv"

# A trace whose name holds a comma and a quote stays one field of the CSV.
odd="$dir/a,\"b\".din"
cp "$dir/t1.din" "$odd"
printf '%s\n' "$odd" >"$dir/odd.txt"
python3 "$sweep" --vantle-sim "$sim" -t "$dir/odd.txt" -f "$dir/families.txt" \
  -d "$dir/odd" -j 1 -o "$dir/odd.csv"
python3 - "$dir/odd.csv" "$odd" <<'EOF'
import csv, sys
with open(sys.argv[1], newline='') as f:
    rows = list(csv.DictReader(f))
assert rows and all(r['trace'] == sys.argv[2] and None not in r
                    for r in rows), rows[:2]
EOF

sweep --slurm "$dir/job.sh" >/dev/null
bash -n "$dir/job.sh"
rm "$dir/work/2.json"
SLURM_ARRAY_TASK_ID=2 bash "$dir/job.sh"
sweep --merge -o "$dir/again.csv"
diff "$dir/merged.csv" "$dir/again.csv"
# Without --vantle-sim it finds the program beside itself (an install's
# bin/) or in its source tree's build/, with no vantle-sim on PATH; where
# there is none, it says so before a single run starts.
bare=/usr/bin:/bin
for layout in inst/bin:inst/bin tree/scripts:tree/build; do
  mkdir -p "$dir/${layout%%:*}" "$dir/${layout#*:}"
  cp "$sweep" "$dir/${layout%%:*}/vantle-sweep"
  ln -s "$(cd "$(dirname "$sim")" && pwd)/$(basename "$sim")" \
    "$dir/${layout#*:}/vantle-sim"
  PATH=$bare "$dir/${layout%%:*}/vantle-sweep" -t "$dir/traces.txt" \
    -f "$dir/families.txt" -d "$dir/found" -j 2 -o "$dir/found.csv"
  diff "$dir/merged.csv" "$dir/found.csv"
  rm -r "$dir/found"
done
mkdir -p "$dir/lone/scripts"
cp "$sweep" "$dir/lone/scripts/vantle-sweep"
for named in "" "--vantle-sim $dir/lone/no-such-sim"; do
  # shellcheck disable=SC2086
  if PATH=$bare "$dir/lone/scripts/vantle-sweep" $named -t "$dir/traces.txt" \
      -f "$dir/families.txt" -d "$dir/lone/work" -j 2 -o "$dir/lone.csv" \
      2>"$dir/lone.err"; then
    echo "vantle-sweep ran without a vantle-sim" >&2; exit 1
  fi
  grep -q "no run was started" "$dir/lone.err" || { cat "$dir/lone.err"; exit 1; }
  [ ! -e "$dir/lone/work" ] && [ ! -e "$dir/lone.csv" ] || {
    echo "vantle-sweep started runs without a vantle-sim" >&2; exit 1; }
done
echo "vantle-sweep: merged rows match single runs; Slurm body ran for index 2;"
echo "vantle-sim found beside the script and in the source tree, or refused"
