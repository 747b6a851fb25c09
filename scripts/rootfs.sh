#!/usr/bin/env bash
# Makes a Debian root file system of one architecture and release (Debian 12,
# bookworm, unless --suite names another, such as sid) with the given Debian
# packages and prints its path. It is made once (debootstrap, minbase variant)
# and kept in a cache; later calls with the same suite, architecture, packages
# and recipe print the cached one. An entry is made under a temporary
# name and renamed only when complete, so an interrupted run leaves nothing a
# later one would use. Foreign architectures (arm64 on x86-64) run through
# qemu-user-static and binfmt_misc. Runs as root.
#
#   ROOT=$(bash scripts/rootfs.sh [--suite SUITE] ARCH [PACKAGE...])   ARCH e.g. amd64, i386, arm64
#
# The Debian mirror is taken from the machine's apt sources (deb822 .sources
# files and sources.list), or from KELVARIN_DEBIAN_MIRROR where the machine has
# none. Environment: KELVARIN_ROOTFS_CACHE (default ~/.cache/kelvarin/rootfs).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
suite=bookworm
if [ "${1:-}" = --suite ]; then
  suite=${2:?}
  shift 2
fi
[ $# -ge 1 ] || { sed -n '11p' "$0" >&2; exit 2; }
arch=$1
shift
cache=${KELVARIN_ROOTFS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kelvarin/rootfs}

packages=$(printf '%s\n' "$@" | sort -u | tr '\n' ' ')
# Raise the recipe number whenever a change below alters what an entry holds.
recipe=1
key=$(printf 'recipe %s: %s %s %s\n' "$recipe" "$suite" "$arch" "$packages" | sha1sum | cut -c1-12)
entry=$cache/$suite-$arch-$key
if [ -x "$entry/bin/sh" ]; then
  echo "$entry"
  exit 0
fi

bash "$here/install-debs.sh" debootstrap debian-archive-keyring >&2
host_arch=$(dpkg --print-architecture)
if [ "$arch" != "$host_arch" ] && ! { [ "$host_arch" = amd64 ] && [ "$arch" = i386 ]; }; then
  # Foreign binaries run through qemu; the handlers are registered with the F
  # flag, so the emulator needs no copy inside the root file system.
  bash "$here/install-debs.sh" qemu-user-static binfmt-support >&2
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  fi
  qemu=$(case "$arch" in arm64) echo aarch64 ;; armhf|armel) echo arm ;; ppc64el) echo ppc64le ;;
         *) echo "$arch" ;; esac)
  [ -e "/proc/sys/fs/binfmt_misc/qemu-$qemu" ] || update-binfmts --enable "qemu-$qemu" >&2
  grep -qx enabled "/proc/sys/fs/binfmt_misc/qemu-$qemu"
fi

# Debian entries of the machine's apt sources, as "URI SUITE COMPONENTS" lines
# for the machine's own release and its -updates and -security suites, which
# unstable (sid) does not have.
host_suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
apt_entries() {
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    awk 'BEGIN { RS = ""; FS = "\n" }
         { types = uris = suites = comps = ""; enabled = "yes"
           for (i = 1; i <= NF; i++) {
             line = $i; sub(/#.*/, "", line)
             if (match(line, /^[A-Za-z-]+:/)) {
               name = tolower(substr(line, 1, RLENGTH - 1)); value = substr(line, RLENGTH + 1)
               gsub(/^[ \t]+|[ \t]+$/, "", value)
               if (name == "types") types = value; else if (name == "uris") uris = value
               else if (name == "suites") suites = value
               else if (name == "components") comps = value
               else if (name == "enabled") enabled = tolower(value)
             } }
           if (enabled == "no" || types !~ /(^| )deb( |$)/) next
           n = split(uris, u, " "); m = split(suites, s, " ")
           for (a = 1; a <= n; a++) for (b = 1; b <= m; b++) print u[a], s[b], comps }' "$file"
  done
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$file" | awk '$1 == "deb" { $1 = ""; print }'
  done
}
updates=yes
case "$suite" in sid | unstable) updates=no ;; esac
sources=$(apt_entries | awk -v host="$host_suite" -v want="$suite" -v updates="$updates" '
  $2 == host || (updates == "yes" && ($2 == host "-updates" || $2 == host "-security")) {
    sub("^" host, want, $2); print $1, $2, "main" }' | awk '!seen[$0]++')
mirror=$(awk -v want="$suite" '$2 == want { print $1; exit }' <<<"$sources")
if [ -z "$mirror" ]; then
  mirror=${KELVARIN_DEBIAN_MIRROR:-}
  [ -n "$mirror" ] || { echo "rootfs.sh: no Debian mirror in this machine's apt sources;" \
                             "set KELVARIN_DEBIAN_MIRROR" >&2; exit 1; }
  sources="$mirror $suite main"
fi

mkdir -p "$cache"
exec 9>"$entry.lock"
flock 9
if [ -x "$entry/bin/sh" ]; then  # made meanwhile by another run
  echo "$entry"
  exit 0
fi
tmp=$entry.partial
rm -rf --one-file-system "$tmp"
trap 'rm -rf --one-file-system "$tmp"' EXIT
echo "rootfs.sh: making $suite $arch with: $packages" >&2
# debootstrap mounts /proc and /sys inside while it works: a private mount
# namespace takes them away with it even if it is interrupted.
unshare --mount --propagation private -- \
  debootstrap --variant=minbase --arch="$arch" "$suite" "$tmp" "$mirror" >"$tmp.log" 2>&1 \
  || { tail -n 30 "$tmp.log" >&2; exit 1; }
sed 's/^/deb /' <<<"$sources" >"$tmp/etc/apt/sources.list"
if [ $# -gt 0 ]; then
  bash "$here/rootfs-run.sh" --in-place "$tmp" sh -c \
    'apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@" && apt-get clean' \
    sh "$@" >>"$tmp.log" 2>&1 || { tail -n 30 "$tmp.log" >&2; exit 1; }
fi
rm -rf --one-file-system "$tmp/var/lib/apt/lists"/*_* "$tmp/var/cache/apt"/*.bin
mv "$tmp.log" "$tmp/var/log/kelvarin-rootfs.log"
mv "$tmp" "$entry"
trap - EXIT
echo "$entry"
