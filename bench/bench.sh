#!/usr/bin/env bash
# Whole-process cost of hwaddr beside the exec floor and what users would run
# instead: median wall time (hyperfine), user-space instructions (callgrind)
# and peak RSS (GNU time).
#
#   bench/bench.sh [path/to/hwaddr]     default: build/hwaddr, built or brought up to date
#
# Needs hyperfine and valgrind: apt-get install -y hyperfine valgrind
set -euo pipefail
cd "$(dirname "$0")/.."

for tool in hyperfine valgrind /usr/bin/time gcc; do
	command -v "$tool" >/dev/null || {
		echo "bench: $tool is missing; apt-get install -y hyperfine valgrind time gcc" >&2
		exit 1
	}
done

# cat and ip fail without an eth0, and hwaddr would take its short path.
ip link show eth0 >/dev/null 2>&1 || {
	echo "bench: this machine has no interface named eth0 to measure against" >&2
	exit 1
}

hwaddr=${1:-build/hwaddr}
if [ $# -eq 0 ]; then
	cmake -S . -B build -G Ninja >/dev/null
	cmake --build build --target hwaddr >/dev/null
fi

# Both binaries are copied alike into one folder and written back before
# measuring, so that the page cache holds them alike: how many pages of a file
# one fault maps in, and so the peak RSS, depends on that.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'int main(void) { return 0; }\n' >"$work/floor.c"
gcc -O2 -static -o "$work/floor.out" "$work/floor.c"
cp "$work/floor.out" "$work/floor"
cp "$hwaddr" "$work/hwaddr"
hwaddr=$work/hwaddr
sync

names=(floor hwaddr cat ip)
commands=("$work/floor" "$hwaddr" "cat /sys/class/net/eth0/address" "ip -br link show eth0")

# Median wall time in microseconds, without a shell in between: five rounds
# of 400 runs taken in turn with the other programs, so that drift in the
# machine's speed falls on all of them alike; the median of the round medians.
wall_rounds() {
	for _ in 1 2 3 4 5; do
		for i in "${!names[@]}"; do
			hyperfine -N --style none --warmup 50 --runs 400 --export-csv "$work/t.csv" \
				"${commands[$i]}" >/dev/null 2>&1
			awk -F, -v n="${names[$i]}" 'NR == 2 { printf "%s %.0f\n", n, $4 * 1e6 }' "$work/t.csv"
		done
	done
}

# User-space instructions of the whole process, loader and start-up included.
instructions() {
	# shellcheck disable=SC2086
	valgrind --tool=callgrind --callgrind-out-file=/dev/null $1 2>&1 >/dev/null |
		awk '/Collected :/ { print $NF }'
}

# Peak resident set in KiB: the median of 21 runs.
rss() {
	for _ in $(seq 21); do
		# shellcheck disable=SC2086
		/usr/bin/time -f %M $1 2>&1 >/dev/null | tail -n 1
	done | sort -n | sed -n 11p
}

declare -A W I R
wall_rounds >"$work/wall"
for i in "${!names[@]}"; do
	n=${names[$i]}
	W[$n]=$(awk -v n="$n" '$1 == n { print $2 }' "$work/wall" | sort -n | sed -n 3p)
	I[$n]=$(instructions "${commands[$i]}")
	R[$n]=$(rss "${commands[$i]}")
done

echo "$(date -u +%Y-%m-%d), $(nproc) cores, $(uname -srm), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "command: bench/bench.sh${*:+ $*}"
echo
echo "| program | median wall (µs) | instructions | peak RSS (KiB) |"
echo "|---|---:|---:|---:|"
for i in "${!names[@]}"; do
	n=${names[$i]}
	c=${commands[$i]}
	[ "$n" = floor ] && c="static C, main returns 0"
	[ "$n" = hwaddr ] && c="hwaddr"
	printf '| %s | %s | %s | %s |\n' "$c" "${W[$n]}" "${I[$n]}" "${R[$n]}"
done
echo

# ratio WHAT VALUE BASE [LIMIT]: the ratio, and whether it meets the target if there is one.
ratio() {
	awk -v what="$1" -v v="$2" -v b="$3" -v lim="${4:-}" 'BEGIN {
		r = v / b
		printf "%-36s %6.2f", what, r
		if (lim != "")
			printf "  target <= %.2f: %s", lim, (r <= lim ? "met" : "MISSED")
		printf "\n"
	}'
}
ratio "instructions, hwaddr / floor" "${I[hwaddr]}" "${I[floor]}" 1.15
ratio "instructions, hwaddr / cat" "${I[hwaddr]}" "${I[cat]}"
ratio "instructions, hwaddr / ip" "${I[hwaddr]}" "${I[ip]}"
ratio "wall time, hwaddr / floor" "${W[hwaddr]}" "${W[floor]}" 1.25
ratio "wall time, hwaddr / cat" "${W[hwaddr]}" "${W[cat]}" 0.75
ratio "wall time, hwaddr / ip" "${W[hwaddr]}" "${W[ip]}"
d=$((R[hwaddr] - R[floor]))
printf '%-36s %6d  target <= 64: %s\n' "peak RSS, hwaddr - floor (KiB)" "$d" \
	"$([ "$d" -le 64 ] && echo met || echo MISSED)"
