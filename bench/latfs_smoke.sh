#!/usr/bin/env bash
# A smoke test of the latfs stand-in: mounts a tiny generated tree with a short
# delay, checks that walks through the mount see the source tree exactly (names,
# inode numbers, sizes, modes, link counts, times, link targets; the listing of
# a directory of 400 entries spans several replies), once plain and once with
# an in-flight cap of 2, readdirplus and attribute caching, and that the daemon
# ends cleanly on unmount. Exits 77 (skipped) without a usable /dev/fuse or
# fusermount3. Nothing is left mounted, whatever fails.
#
# Usage: latfs_smoke.sh LATFS GEN_TREE FLOOR WORKDIR
set -uo pipefail

if [ $# -ne 4 ]; then echo "usage: latfs_smoke.sh LATFS GEN_TREE FLOOR WORKDIR" >&2; exit 2; fi
latfs=$1 gen_tree=$2 floor=$3 work=$4

if [ ! -r /dev/fuse ] || [ ! -w /dev/fuse ]; then echo "SKIP: /dev/fuse is missing or not usable here"; exit 77; fi
if ! command -v fusermount3 >/dev/null; then echo "SKIP: no fusermount3 (Debian package fuse3)"; exit 77; fi

mkdir -p "$work" || exit 1
tree=$work/tiny
mnt=$work/mnt
pid=""
cleanup() {
  if mountpoint -q "$mnt" 2>/dev/null; then fusermount3 -u "$mnt" 2>/dev/null || umount -l "$mnt"; fi
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill "$pid"; wait "$pid" 2>/dev/null; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
cleanup  # a mount left by an earlier run that was killed

fail() { echo "FAIL: $*"; exit 1; }

"$gen_tree" tiny "$tree" > /dev/null || fail "gen_tree"
expected=$(sed -n 's/^entries=//p' "$tree.manifest")
mkdir -p "$mnt"

mount_latfs() {
  "$latfs" -f "$@" "$tree" "$mnt" 2> "$work/latfs.err" &
  pid=$!
  for _ in $(seq 300); do
    mountpoint -q "$mnt" && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/latfs.err"
  fail "latfs $* did not mount"
}

unmount_latfs() {
  fusermount3 -u "$mnt" || fail "fusermount3 -u"
  local rc
  wait "$pid"
  rc=$?
  pid=""
  [ "$rc" -eq 0 ] || { cat "$work/latfs.err"; fail "latfs exited with $rc after the unmount"; }
}

listing() { (cd "$1" && LC_ALL=C find . -printf '%p|%i|%s|%b|%m|%n|%y|%U|%G|%T@|%C@|%l\n' | LC_ALL=C sort); }
listing "$tree" > "$work/source.txt"

check_walks() {  # what the mount must show, whatever its options
  listing "$mnt" > "$work/mount.txt"
  diff "$work/source.txt" "$work/mount.txt" > "$work/diff.txt" || { head -20 "$work/diff.txt"; fail "the mount ($1) differs from the source"; }
  local n
  n=$(wc -l < "$work/mount.txt")
  [ "$n" -eq "$expected" ] || fail "find saw $n entries ($1), the manifest says $expected"
  n=$("$floor" --mode ring --threads 16 "$mnt" | sed -n 's/.* entries=\([0-9]*\).*/\1/p')
  [ "$n" = "$expected" ] || fail "the ring floor saw $n entries ($1), expected $expected"
  n=$("$floor" --mode sync --threads 8 "$mnt" | sed -n 's/.* entries=\([0-9]*\).*/\1/p')
  [ "$n" = "$expected" ] || fail "the sync floor saw $n entries ($1), expected $expected"
}

# Plain: every request answered 200 us after it arrived.
mount_latfs --delay-us 200
check_walks plain
grep -q 'parallel directory operations on' "$work/latfs.err" || { cat "$work/latfs.err"; fail "parallel directory operations not negotiated"; }
stat "$mnt/no such name" > /dev/null 2>&1 && fail "a missing name was found"
file=$(cd "$tree" && find . -type f -size +1k -print -quit)
[ -n "$file" ] || fail "no regular file of over 1 KiB in the tiny tree"
[ "$(wc -c < "$mnt/$file")" -eq "$(stat -c %s "$tree/$file")" ] || fail "reading $file did not give its size in bytes"
touch "$mnt/new" 2>/dev/null && fail "the mount accepted a new file"
unmount_latfs
grep -q '^latfs: requests: lookup [0-9]' "$work/latfs.err" || { cat "$work/latfs.err"; fail "no request report on unmount"; }

# A filer that serves two requests at a time, and a client that caches what
# readdirplus gives it.
mount_latfs --delay-us 200 --max-inflight 2 --readdirplus --attr-timeout 5 --entry-timeout 5 --threads 2
check_walks "capped, cached"
grep -q 'readdirplus on' "$work/latfs.err" || fail "readdirplus not negotiated"
unmount_latfs
inflight=$(sed -n 's/.*at most \([0-9]*\) in flight, \([0-9]*\) waiting.*/\1 \2/p' "$work/latfs.err")
set -- $inflight
[ "${1:-}" = 2 ] || { cat "$work/latfs.err"; fail "at most ${1:-?} requests in flight, the cap was 2"; }
[ "${2:-0}" -gt 0 ] || fail "no request ever waited for the cap of 2 under a 16-thread walk"
mountpoint -q "$mnt" && fail "still mounted"
echo "latfs smoke: $expected entries seen through the mount, plain and capped/cached"
exit 0
