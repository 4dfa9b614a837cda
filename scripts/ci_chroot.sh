#!/usr/bin/env bash
# The Debian unstable chroot with CPython 3.14 (release and debug builds),
# 3.15, their headers and venv, and g++, for the sessions of those Pythons.
# Needs root (debootstrap, mount namespaces).
#
#   scripts/ci_chroot.sh make DIR          # debootstrap into DIR/root, unless already made
#   scripts/ci_chroot.sh run DIR CMD...    # CMD inside, the checkout at /src
#   scripts/ci_chroot.sh remove DIR        # delete it (refused while anything is mounted in it)
#
# Nothing of the checkout is ever copied in: `run` mounts /proc, /dev and the
# checkout (/src) in a mount namespace of its own, and they vanish with it.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SUITE=unstable
PACKAGES=g++,python3.14,python3.14-dev,python3.14-venv,python3.15,python3.15-dev,python3.15-venv,python3.14-dbg

cmd=${1:?usage: ci_chroot.sh make|run|remove DIR [CMD...]}
dir=${2:?usage: ci_chroot.sh make|run|remove DIR [CMD...]}
shift 2
target=$dir/root

# The machine's Debian mirror (its apt sources).
debian_mirror() {
  local uri
  uri=$(awk '/^URIs:/ && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null || true)
  [ -n "$uri" ] || { echo "CI: no Debian mirror in the apt sources" >&2; return 1; }
  echo "$uri"
}

mounted() { grep -qF " $(realpath "$dir")/" /proc/self/mounts; }

case $cmd in
make)
  if [ -f "$target/.vorantis-chroot" ] && [ "$(cat "$target/.vorantis-chroot")" = "$PACKAGES" ]; then
    echo "chroot: reusing $target"
  else
    if ! command -v debootstrap >/dev/null; then
      apt-get update -q >/dev/null
      DEBIAN_FRONTEND=noninteractive apt-get install -y -q debootstrap >/dev/null
    fi
    mirror=$(debian_mirror)
    echo "debootstrap $SUITE into $target: $PACKAGES"
    mkdir -p "$dir"
    log=$dir/debootstrap.log
    # In a mount namespace of its own, so that the /proc and /sys it mounts
    # in the target never outlive it. A second try after a failed download.
    for try in 1 2; do
      mounted && { echo "CI: mounts left under $dir" >&2; exit 1; }
      rm -rf --one-file-system "$target"
      if unshare --mount --propagation private -- debootstrap --variant=minbase --include="$PACKAGES" \
           "$SUITE" "$target" "$mirror" >"$log" 2>&1; then
        break
      fi
      tail -n 40 "$log"
      [ "$try" = 2 ] && exit 1
      echo "CI: debootstrap failed; trying once more"
    done
    mkdir -p "$target/src"
    # apt inside works from the machine's mirror, whose snapshot may be older
    # than the Release file's validity window.
    echo 'Acquire::Check-Valid-Until "false";' >"$target/etc/apt/apt.conf.d/99vorantis-snapshot"
    echo "$PACKAGES" >"$target/.vorantis-chroot"
  fi
  cp /etc/resolv.conf "$target/etc/resolv.conf"
  # The certificate authorities this machine's pip trusts (the chroot's pip
  # reaches PyPI the same way).
  ca=${PIP_CERT:-${SSL_CERT_FILE:-}}
  if [ -n "$ca" ] && [ -f "$ca" ]; then
    cp "$ca" "$target/etc/ssl/certs/ca-certificates.crt"
  fi
  "$0" run "$dir" sh -c 'for p in python3.14 python3.15 python3.14-dbg; do "$p" -VV; done
    g++ --version | head -n 1; ldd --version | head -n 1'
  echo "chroot: $(du -sh "$target" | cut -f1)"
  ;;
run)
  [ -f "$target/.vorantis-chroot" ] || { echo "CI: no chroot in $dir (scripts/ci_chroot.sh make $dir)" >&2; exit 1; }
  exec unshare --mount --propagation private -- sh -euc '
    r=$1; src=$2; shift 2
    mount -t proc proc "$r/proc"
    mount --rbind /dev "$r/dev"
    mount --bind "$src" "$r/src"
    exec chroot "$r" env -u PIP_FIND_LINKS -u PIP_CACHE_DIR -u PYTHONPATH -u VIRTUAL_ENV HOME=/root \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
  ' sh "$target" "$ROOT" "$@"
  ;;
remove)
  [ -d "$dir" ] || exit 0
  if mounted; then
    echo "CI: mounts left under $dir; not removing it" >&2
    exit 1
  fi
  rm -rf --one-file-system "$dir"
  ;;
*)
  echo "usage: ci_chroot.sh make|run|remove DIR [CMD...]" >&2
  exit 2
  ;;
esac
