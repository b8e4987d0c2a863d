#!/usr/bin/env bash
# Installs everything the build and the tests need, from Debian's packages only,
# and unpacks the third-party sources we compile into build/deps.
# Safe to run again: it does nothing when everything is already there.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS="$ROOT/build/deps"

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
  wine wine32:i386 wine64 libwine-dev
  xvfb xauth x11-utils fonts-wqy-zenhei
  cmake ninja-build dpkg-dev locales
  python3 python3-pytest
  nginx tinyproxy microsocks
  curl unzip
  googletest
)

# A mirror can be in the middle of a sync (an index of unexpected size) or
# briefly unreachable: try again after a pause before giving up.
retry() { # command...
  local n
  for n in 1 2 3; do
    "$@" && return 0
    [ $n = 3 ] && break
    echo "setup: '$*' failed (attempt $n), trying again in $((n * 20)) s" >&2
    sleep $((n * 20))
  done
  return 1
}

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

# Source entries for the suites the machine already uses, so that
# 'apt-get source' finds minizip and tinyxml2.
SRC_LIST=/etc/apt/sources.list.d/nvpc-src.sources
need_update=0
if [ ! -f "$SRC_LIST" ]; then
  $SUDO tee "$SRC_LIST" >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  need_update=1
fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi

need_sources=0
[ -d "$DEPS/minizip" ] && [ -d "$DEPS/tinyxml2" ] || need_sources=1

if [ ${#missing[@]} -gt 0 ] || [ $need_update = 1 ] || [ $need_sources = 1 ]; then
  echo "setup: apt-get update"
  # apt-get update succeeds with a warning when some indexes failed; -o
  # APT::Update::Error-Mode=any makes that a failure, so it is retried.
  if ! retry $SUDO apt-get update -qq -o APT::Update::Error-Mode=any; then
    # Indexes that did download are in place; the install below says what,
    # if anything, is still missing.
    echo "setup: apt-get update kept failing; going on with the indexes it has" >&2
  fi
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  retry $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Locales for the Japanese and Korean user-interface tests.
for loc in ja_JP.UTF-8 ko_KR.UTF-8 en_US.UTF-8; do
  if ! locale -a 2>/dev/null | grep -qi "^${loc%.UTF-8}\.utf8$"; then
    grep -q "^# *$loc UTF-8" /etc/locale.gen && $SUDO sed -i "s/^# *$loc UTF-8/$loc UTF-8/" /etc/locale.gen
    grep -q "^$loc UTF-8" /etc/locale.gen || echo "$loc UTF-8" | $SUDO tee -a /etc/locale.gen >/dev/null
    need_locales=1
  fi
done
if [ "${need_locales:-0}" = 1 ]; then $SUDO locale-gen >/dev/null; fi

# Third-party sources, unpacked into the ignored build folder.
fetch_source() { # name folder
  local name=$1 dest=$DEPS/$2
  [ -d "$dest" ] && return 0
  local tmp; tmp=$(mktemp -d "$DEPS/.src.XXXXXX")
  ( cd "$tmp" && apt-get source -qq "$name" >/dev/null 2>"$tmp/log" ) || {
    # The security suite can lack a source that the main suite has.
    local ver; ver=$(apt-cache showsrc "$name" | awk '/^Version:/{print $2}' | sort -V | head -1)
    ( cd "$tmp" && retry apt-get source -qq "$name=$ver" >/dev/null 2>>"$tmp/log" )
  }
  local dir; dir=$(find "$tmp" -mindepth 1 -maxdepth 1 -type d | head -1)
  [ -n "$dir" ] || { cat "$tmp/log" >&2; echo "setup: no source for $name" >&2; exit 1; }
  mv "$dir" "$dest"
  rm -rf "$tmp"
}
mkdir -p "$DEPS"
fetch_source minizip minizip
fetch_source tinyxml2 tinyxml2

echo "setup: done"
