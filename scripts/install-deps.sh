#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. Safe to run again: only what is
# missing is installed, and the package lists are refreshed only then.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  nlohmann-json3-dev libicu-dev libssl-dev zlib1g-dev libboost-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev libegl-dev libayatana-appindicator3-dev
  xvfb xauth webkit2gtk-driver fonts-noto-cjk python3-fonttools imagemagick libx11-dev libxtst-dev xdotool
  libssh-dev openssh-server openssh-client dropbear-bin putty-tools python3
  g++-mingw-w64-x86-64-posix wine wine64
  xterm  # the native terminal beside which the window benchmark measures
  socat inetutils-telnetd ser2net python3-serial clang libclang-rt-14-dev
  python3-pycryptodome openssh-client-ssh1
)

# The page is bundled with Node.js and npm; the machine image usually has them already.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# busybox's telnetd applet is only in busybox-static, which conflicts with busybox: the Telnet tests
# run it from the unpacked package instead of installing it.
busybox_dir=/usr/local/lib/veltaro-tests/busybox-static
if [ ! -x "$busybox_dir/bin/busybox" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  download=$(mktemp -d)
  chmod 0755 "$download"
  (cd "$download" && apt-get download -qq busybox-static)
  $sudo mkdir -p "$busybox_dir"
  $sudo dpkg-deb -x "$download"/busybox-static_*.deb "$busybox_dir"
  rm -rf "$download"
fi
