#!/usr/bin/env bash
# Tries the README as a newcomer would, on a bare Debian release: makes a
# minimal root file system of RELEASE with debootstrap, clones the committed
# project into it (HEAD, not the working tree), then runs there, each under
# `env -i` with only HOME and PATH set, the README's apt-get line,
# `make demo` and `make test`. It ends with a summary: each step's exit
# status, wall time, CPU time and load, what it printed, and the disk used.
# Not part of CI: it needs root, Debian's package mirror and a package index,
# and takes several minutes.
#
#   scripts/check-release.sh RELEASE [ROOT]        e.g. bookworm, trixie
#
# ROOT (made afresh; by default /var/tmp/tidemark-release/RELEASE) keeps the
# root file system afterwards, with each step's log in ROOT.logs/, each line
# prefixed by the seconds since the step began. CPUS=0,1 runs the steps on
# those processors only (taskset); MIRROR names another Debian mirror.
# CA_CERTS names the certificates (PEM, *.crt) of a proxy that re-signs TLS,
# added to the root's CA store after the apt-get line, as the README says to;
# by default this machine's own additions to its store, if any (CA_CERTS=""
# for none).
set -euo pipefail

release=${1:?usage: scripts/check-release.sh RELEASE [ROOT]}
root=${2:-/var/tmp/tidemark-release/$release}
mirror=${MIRROR:-http://deb.debian.org/debian}
project=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "check-release: needs root (debootstrap, chroot, mount)" >&2; exit 2; }
command -v debootstrap >/dev/null || { echo "check-release: needs debootstrap (apt-get install debootstrap)" >&2; exit 2; }
commit=$(git -C "$project" rev-parse HEAD)
[ -z "$(git -C "$project" status --porcelain --untracked-files=no)" ] ||
  echo "check-release: the working tree has uncommitted changes; checking the committed $commit"
pin=()
ca_certs=${CA_CERTS-$(find /usr/local/share/ca-certificates -name '*.crt' 2>/dev/null | sort | tr '\n' ' ')}
[ -z "${CPUS:-}" ] || pin=(taskset -c "$CPUS")

logs=$root.logs
summary=()
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[$i]}" 2>/dev/null || umount -l "${mounted[$i]}" || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_at() {
  mount "$@"
  mounted+=("${*: -1}")
}
disk() { du -sxm "$root" 2>/dev/null | cut -f1; }

# Each line of standard input, prefixed with the seconds since $1 (an
# EPOCHREALTIME with its point removed).
stamp() {
  local line tenths
  while IFS= read -r line; do
    tenths=$(((${EPOCHREALTIME/./} - $1) / 100000))
    printf '%5d.%d %s\n' $((tenths / 10)) $((tenths % 10)) "$line"
  done
}

# The highest one-minute load average seen every 5 s, written to $1 until killed.
sample_load() {
  local peak=0 now
  while :; do
    now=$(cut -d' ' -f1 /proc/loadavg)
    peak=$(awk -v a="$peak" -v b="$now" 'BEGIN { print (b > a ? b : a) }')
    echo "$peak" >"$1"
    sleep 5
  done
}

# Runs one step (a command), its output saved to $logs/NAME.log with each line
# stamped, and adds a line to the summary.
step() {
  local name=$1 started load_before sampler status wall cpu
  shift
  echo "check-release: $release: $name"
  started=${EPOCHREALTIME/./}
  load_before=$(cut -d' ' -f1 /proc/loadavg)
  sample_load "$logs/$name.load" &
  sampler=$!
  set +e
  /usr/bin/time -f '%e %U %S' -o "$logs/$name.time" "${pin[@]}" "$@" </dev/null 2>&1 | stamp "$started" >"$logs/$name.log"
  status=${PIPESTATUS[0]}
  set -e
  kill "$sampler"
  wait "$sampler" 2>/dev/null || true
  read -r wall cpu < <(tail -1 "$logs/$name.time" | awk '{ print $1, $2 + $3 }')
  summary+=("$(printf '%-11s exit %-3s %6.0f s wall %6.0f s CPU  load %5s at start, %5s at most, %5s at end  %5s lines  root %5s MiB' \
    "$name" "$status" "$wall" "$cpu" "$load_before" "$(cat "$logs/$name.load")" "$(cut -d' ' -f1 /proc/loadavg)" \
    "$(wc -l <"$logs/$name.log")" "$(disk)")")
  return "$status"
}

# The chroot's own processes see what a booted system gives them: /proc,
# /dev (with its pseudo-terminals and shared memory), /sys, a tmpfs /tmp
# (as Debian 13 has), and a root that is a mount point of its own, so that
# `unshare --mount --propagation private` works in it as on a real system.
# Each command runs as root's login would, with only HOME and PATH set.
in_root=(env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin chroot "$root" /bin/sh -c)

if [ -e "$root" ]; then
  findmnt -rn -o TARGET | grep -q "^$root/" && { echo "check-release: something is mounted under $root" >&2; exit 1; }
  rm -rf "$root"
fi
mkdir -p "$root"
rm -rf "$logs"
mkdir -p "$logs"
started=$SECONDS
status=0
step debootstrap debootstrap --variant=minbase "$release" "$root" "$mirror" || status=$?
if [ "$status" -eq 0 ]; then
  mount_at --bind "$root" "$root"
  mount_at -t proc proc "$root/proc"
  mount_at --bind /dev "$root/dev"
  mount_at --bind /dev/pts "$root/dev/pts"
  mount_at -t tmpfs -o mode=1777 shm "$root/dev/shm"
  mount_at -t sysfs sysfs "$root/sys"
  mount_at -t tmpfs -o mode=1777 tmpfs "$root/tmp"
  git clone -q --no-checkout "$project" "$root/root/tidemark"
  git -C "$root/root/tidemark" checkout -q -b check "$commit"
  apt_line=$(grep -m1 '^apt-get update && apt-get install' "$root/root/tidemark/README.md")
  step apt "${in_root[@]}" "$apt_line" || status=$?
  # Behind a proxy that re-signs TLS, what the README says to do: its CA
  # certificate into the system's CA store, which pip reads.
  if [ "$status" -eq 0 ] && [ -n "$ca_certs" ]; then
    # shellcheck disable=SC2086 # a list of file names
    cp $ca_certs "$root/usr/local/share/ca-certificates/"
    step ca-store "${in_root[@]}" update-ca-certificates || status=$?
  fi
fi
for target in demo test; do
  [ "$status" -eq 0 ] || break
  step "make-$target" "${in_root[@]}" "cd /root/tidemark && make $target" || status=$?
done

echo
echo "check-release: $release ($(git -C "$project" log -1 --format='%h %s' "$commit" | cut -c1-60)...)" \
  "on $(nproc) processors${CPUS:+, run on $CPUS}; exit $status after $((SECONDS - started)) s"
printf '  %s\n' "${summary[@]}"
if [ -d "$root/root/tidemark" ]; then
  echo "  disk (MiB): $(du -sxm "$root/root/tidemark/build" "$root/root/tidemark/.venv" "$root/root/.cache/pip" \
    "$root/usr" "$root/var/cache/apt" 2>/dev/null | awk '{sub(".*/tidemark/", "", $2); sub(".*/root/", "", $2); printf "%s %s, ", $2, $1}' | sed 's/, $//')"
fi
[ -z "$ca_certs" ] || echo "  CA certificates added to the root's store: $ca_certs"
echo "  logs: $logs"
exit "$status"
