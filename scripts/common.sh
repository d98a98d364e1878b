# Shared by scripts/run and scripts/test: install what is missing, then configure and build.
# shellcheck shell=bash

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${VORPANE_BUILD_DIR:-$ROOT/build}"
JOBS="${VORPANE_JOBS:-$(nproc 2>/dev/null || echo 2)}"

# Debian 12 packages the project builds, runs and tests with.
BUILD_PACKAGES=(build-essential cmake pkg-config qt6-base-dev qt6-qpa-plugins libqt6svg6 libcpp-httplib-dev
  libsqlite3-dev libpq-dev libopencv-imgproc-dev libopencv-imgcodecs-dev libopencv-dnn-dev
  python3-onnx libqt6sql6-sqlite qtkeychain-qt6-dev)
TEST_PACKAGES=(tuxpaint-stamps-default xvfb xauth x11-utils desktop-file-utils appstream curl dbus-daemon
  gnome-keyring postgresql-15 nginx-light openssl)

# What scripts/package needs to make the Debian packages (the manuals, dependencies, build flags);
# the packages' test also runs lintian and systemd-analyze (from systemd, which it does not start).
PACKAGE_PACKAGES=(dpkg-dev help2man)
TEST_PACKAGES+=("${PACKAGE_PACKAGES[@]}" lintian systemd)

missing_packages() {
  local pkg missing=()
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  echo "${missing[@]}"
}

install_packages() {
  local missing
  missing="$(missing_packages "$@")"
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "These Debian packages are missing: $missing" >&2
    echo "Install them as root (apt-get install $missing) or run this script as root." >&2
    exit 1
  fi
  echo "Installing: $missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing
}

# npm fetches the segmentation model. A machine's own Node.js brings its npm (and conflicts with
# Debian's npm package), so only a missing npm command asks for the package.
ensure_npm() {
  command -v npm >/dev/null 2>&1 && return 0
  [ "$(id -u)" -eq 0 ] || return 0  # scripts/get-model then says what is missing
  install_packages npm
}

# Configures, then builds the given targets, or everything when none is given.
configure_and_build() {
  cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  if [ $# -gt 0 ]; then
    cmake --build "$BUILD_DIR" -j "$JOBS" --target "$@"
  else
    cmake --build "$BUILD_DIR" -j "$JOBS"
  fi
}
