#!/usr/bin/env bash
# Runs a command as root inside a Debian root file system made by rootfs.sh.
#
#   bash scripts/rootfs-run.sh --overlay RUN_DIR ROOT COMMAND...
#   bash scripts/rootfs-run.sh --in-place ROOT COMMAND...
#
# --overlay leaves ROOT untouched: the command sees ROOT under a writable
# overlay whose changes land in RUN_DIR/upper (files put there beforehand, such
# as a source tree, appear inside). --in-place changes ROOT itself (used while
# making it).
#
# Everything is mounted in a private mount namespace of its own: the mounts are
# gone when the command ends, however it ends, and are unmounted explicitly on
# the way out as well, so no later clean-up can reach the machine through them.
# The machine's apt settings, name resolution, pip configuration and CA
# certificates are copied in first, so that apt and pip inside reach what the
# machine reaches. Runs as root.
set -euo pipefail

usage() { sed -n '4,5p' "$0" >&2; exit 2; }
mode=${1:-}
case "$mode" in
  --overlay) [ $# -ge 4 ] || usage; run=$(realpath -m "$2"); root=$(realpath "$3"); shift 3 ;;
  --in-place) [ $# -ge 3 ] || usage; root=$(realpath "$2"); shift 2 ;;
  *) usage ;;
esac
[ -x "$root/bin/sh" ] || { echo "rootfs-run.sh: not a root file system: $root" >&2; exit 1; }

if [ "$mode" = --overlay ]; then
  mkdir -p "$run/upper" "$run/work" "$run/merged"
  target=$run/merged
  files=$run/upper
else
  target=$root
  files=$root
fi

# Copies a file of the machine to the same path inside.
copy_in() {
  local src=$1
  [ -f "$src" ] || return 0
  mkdir -p "$files$(dirname "$src")"
  cp -L "$src" "$files$src"
}
copy_in /etc/resolv.conf
copy_in /etc/hosts
for conf in /etc/apt/apt.conf /etc/apt/apt.conf.d/*; do copy_in "$conf"; done
copy_in /etc/ssl/certs/ca-certificates.crt
# pip reads its configuration from these places; root's own go to /root.
for conf in /etc/pip.conf /etc/xdg/pip/pip.conf; do copy_in "$conf"; done
for conf in .config/pip/pip.conf .pip/pip.conf; do
  if [ -f "$HOME/$conf" ]; then
    mkdir -p "$files/root/$(dirname "$conf")"
    cp -L "$HOME/$conf" "$files/root/$conf"
  fi
done
[ -n "${PIP_CONFIG_FILE:-}" ] && copy_in "$PIP_CONFIG_FILE"
# Files the pip configuration names (certificate bundles, constraints) and
# certificate bundles the environment names.
for conf in /etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf" \
            "${PIP_CONFIG_FILE:-}"; do
  [ -f "$conf" ] || continue
  for value in $(sed -n 's/^[[:space:]]*[a-z-]*[[:space:]]*=[[:space:]]*//p' "$conf"); do
    case "$value" in /*) copy_in "$value" ;; esac
  done
done
for var in PIP_CERT SSL_CERT_FILE REQUESTS_CA_BUNDLE CURL_CA_BUNDLE; do
  [ -n "${!var:-}" ] && copy_in "${!var}"
done

# The environment inside: a clean one, plus what tells pip and apt how to reach
# their registries.
inner_env=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
           LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive)
while IFS='=' read -r name _; do
  case "$name" in
    PIP_*|http_proxy|https_proxy|no_proxy|HTTP_PROXY|HTTPS_PROXY|NO_PROXY|SSL_CERT_FILE| \
    SSL_CERT_DIR|REQUESTS_CA_BUNDLE|CURL_CA_BUNDLE)
      inner_env+=("$name=${!name}") ;;
  esac
done < <(env)

# Inside the namespace: mount, run, unmount. The arguments after the script are
# the overlay's directories (or none), the target and the command.
read -r -d '' inner <<'EOF' || true
set -euo pipefail
lower=$1 upper=$2 work=$3 target=$4
shift 4
cleanup() { umount -R "$target/dev" 2>/dev/null || true; umount "$target/proc" 2>/dev/null || true
            [ -n "$lower" ] && umount "$target" 2>/dev/null || true; }
trap cleanup EXIT
if [ -n "$lower" ]; then
  mount -t overlay overlay -o "lowerdir=$lower,upperdir=$upper,workdir=$work" "$target"
fi
mount -t proc proc "$target/proc"
# A /dev of its own with the machine's harmless devices bound in.
mount -t tmpfs -o mode=755,nosuid devtmp "$target/dev"
for node in null zero full random urandom tty; do
  touch "$target/dev/$node"
  mount --bind "/dev/$node" "$target/dev/$node"
done
mkdir -p "$target/dev/shm" "$target/dev/pts"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$target/dev/shm"
ln -s /proc/self/fd "$target/dev/fd"
ln -s /proc/self/fd/0 "$target/dev/stdin"
ln -s /proc/self/fd/1 "$target/dev/stdout"
ln -s /proc/self/fd/2 "$target/dev/stderr"
status=0
chroot "$target" /usr/bin/env -i "$@" || status=$?
exit "$status"
EOF

if [ "$mode" = --overlay ]; then
  overlay=("$root" "$run/upper" "$run/work")
else
  overlay=("" "" "")
fi
exec unshare --mount --propagation private -- bash -c "$inner" inner "${overlay[@]}" "$target" \
  "${inner_env[@]}" "$@"
