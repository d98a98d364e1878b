#!/usr/bin/env bash
# check-packages.sh BUILD_DIR SOURCE_DIR VERSION PACKAGE...
# Makes the Debian packages of the build in a scratch folder and checks them as a user's system
# would see them: control fields, the files shipped, lintian, the desktop entry and AppStream
# metadata as installed, the programs' versions, and for vorpane-server the unit (systemd-analyze)
# and the start wrapper fed the shipped settings. Exits 77 (skipped) when a tool is missing.
set -euo pipefail
build="$1" source="$2" version="$3"
shift 3
packages=("$@")

for tool in cpack dpkg-deb dpkg-shlibdeps lintian desktop-file-validate appstreamcli; do
  if ! command -v "$tool" >/dev/null; then
    echo "skipped: $tool is not installed" >&2
    exit 77
  fi
done

work="$(mktemp -d -t vorpane-packages.XXXXXX)"
server_pid=""
cleanup() {
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log" >&2; exit 1; }

arch="$(dpkg --print-architecture)"
man=usr/share/man/man1
declare -A expected_files=(
  [vorpane]="usr/bin/vorpane usr/bin/vorpane-cli usr/share/applications/app.vorpane.Vorpane.desktop
    usr/share/icons/hicolor/scalable/apps/app.vorpane.Vorpane.svg
    usr/share/metainfo/app.vorpane.Vorpane.metainfo.xml $man/vorpane.1.gz $man/vorpane-cli.1.gz
    usr/share/doc/vorpane/copyright usr/share/doc/vorpane/changelog.gz"
  [vorpane-server]="usr/bin/vorpane-server usr/lib/systemd/system/vorpane-server.service
    usr/libexec/vorpane-server/start etc/vorpane-server/vorpane-server.conf $man/vorpane-server.1.gz
    usr/share/doc/vorpane-server/copyright usr/share/doc/vorpane-server/changelog.gz")
# The nginx example and the model script, when the source has them.
if [ -d "$source/packaging/nginx" ]; then
  for file in "$source"/packaging/nginx/*; do
    expected_files[vorpane-server]+=" usr/share/doc/vorpane-server/examples/nginx/${file##*/}"
  done
fi
[ ! -f "$source/scripts/get-model" ] ||
  expected_files[vorpane-server]+=" usr/share/vorpane-server/get-model"
# Fields (as "Field: text it contains") the package must carry beyond what the binaries need.
declare -A expected_fields=(
  [vorpane]="Depends: libqt6sql6-sqlite|Depends: libqt6widgets6|Recommends: gnome-keyring"
  [vorpane-server]="Depends: libopencv-imgproc|Recommends: python3-onnx|Recommends: npm")

debs=()
for package in "${packages[@]}"; do
  deb="$work/out/${package}_${version}_${arch}.deb"
  if [ ! -f "$deb" ]; then
    fail "$package: no ${deb##*/} (made: $(cd "$work/out" && ls ./*.deb 2>/dev/null))"
    continue
  fi
  debs+=("$deb")
  info="$(dpkg-deb --info "$deb")"
  for field in "Package: $package" "Version: $version" "Architecture: $arch" \
    "Maintainer: Vorpane Developers <maintainers@vorpane.app>"; do
    grep -qxF " $field" <<<"$info" || fail "$package: no '$field' in the control file"
  done
  IFS='|' read -ra wanted <<<"${expected_fields[$package]}"
  for field in "${wanted[@]}"; do
    name="${field%%: *}" text="${field#*: }"
    grep -q "^ $name: .*$text" <<<"$info" || fail "$package: $name lacks $text"
  done
  contents="$(dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./||')"
  for file in ${expected_files[$package]}; do
    grep -qxF "$file" <<<"$contents" || fail "$package: does not ship /$file"
  done
  dpkg-deb -x "$deb" "$work/root"
done

if [ ${#debs[@]} -gt 0 ]; then
  lintian --fail-on error "${debs[@]}" >"$work/lintian.log" 2>&1 ||
    fail "lintian: $(grep -v 'root privileges' "$work/lintian.log")"
  grep '^[EW]:' "$work/lintian.log" || true
fi

root="$work/root"
if [ -f "$root/usr/bin/vorpane" ]; then
  out="$(desktop-file-validate "$root/usr/share/applications/app.vorpane.Vorpane.desktop" 2>&1)" ||
    fail "desktop-file-validate: $out"
  # Hints are fine; warnings are not.
  grep -E 'error:|warning:' <<<"$out" && fail "desktop-file-validate: $out"
  out="$(appstreamcli validate --no-net "$root/usr/share/metainfo/app.vorpane.Vorpane.metainfo.xml" 2>&1)" ||
    fail "appstreamcli validate: $out"
  # The stripped programs still run, and report the package's version.
  for program in vorpane-cli vorpane; do
    got="$(QT_QPA_PLATFORM=offscreen "$root/usr/bin/$program" --version 2>&1)" || true
    [ "$got" = "$program $version" ] || fail "$program --version said '$got'"
  done
fi

if [ -f "$root/usr/bin/vorpane-server" ]; then
  unit=usr/lib/systemd/system/vorpane-server.service
  if command -v systemd-analyze >/dev/null; then
    # Verified inside the unpacked package, with the system's own units beside it; any complaint
    # (an unknown setting, a missing program or manual) fails.
    cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/" 2>/dev/null || true
    out="$(MANPATH="$root/usr/share/man" systemd-analyze verify --root="$root" "/$unit" 2>&1)" ||
      fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify: $out"
  else
    echo "systemd-analyze is not installed: the unit is not verified"
  fi
  grep -qx "ExecStart=/usr/libexec/vorpane-server/start" "$root/$unit" ||
    fail "the unit does not start the wrapper"
  grep -qx "EnvironmentFile=-/etc/vorpane-server/vorpane-server.conf" "$root/$unit" ||
    fail "the unit does not read /etc/vorpane-server/vorpane-server.conf"

  # The wrapper, given the shipped settings as the unit gives them (on a free port, in a scratch
  # state folder), starts the unpacked server on loopback with its data in the state folder.
  sed "s|^exec /usr/bin/vorpane-server|exec $root/usr/bin/vorpane-server|" \
    "$root/usr/libexec/vorpane-server/start" >"$work/start"
  state="$work/state"
  mkdir -p "$state"
  (
    set -a
    # shellcheck disable=SC1091
    . "$root/etc/vorpane-server/vorpane-server.conf"
    set +a
    VORPANE_SERVER_PORT=0 VORPANE_SERVER_JOBS=2 STATE_DIRECTORY="$state" \
      exec env -u HOME -u XDG_DATA_HOME sh "$work/start" --quiet --no-model >"$work/server.out" 2>"$work/server.err"
  ) &
  server_pid=$!
  url=""
  for _ in $(seq 1 100); do
    url="$(head -n 1 "$work/server.out" 2>/dev/null || true)"
    case "$url" in http*/) break ;; esac
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  case "$url" in
    http://127.0.0.1:*/api/v1/) ;;
    *) fail "the wrapper did not start the server on 127.0.0.1: '$url' $(cat "$work/server.err")" ;;
  esac
  grep -qF "database $state/server.db, results in $state/results" "$work/server.err" ||
    fail "the server does not keep its data in the state folder: $(cat "$work/server.err")"
  grep -q ", 2 jobs" "$work/server.err" || fail "VORPANE_SERVER_JOBS was not passed on"
  [ -f "$state/server.db" ] || fail "no database in the state folder"
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "packages checked: ${debs[*]##*/}"
