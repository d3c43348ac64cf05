#!/usr/bin/env bash
# The Debian package as an operator meets it. Usage: package_test.sh CASE BUILD_DIR
# Cases: build, contents, lintian, unit, install. Exit 77 (skipped, with the
# reason on standard output) where a tool or root is missing.
set -euo pipefail

case_name=$1
build=$2
out=$build/packaging/test
deb=$out/datacontroller.deb
stage=$out/stage

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }

# Makes the package of this build tree and unpacks it for the other cases.
build_package() {
  need cpack; need dpkg-deb; need dpkg-shlibdeps
  rm -rf "$out"
  mkdir -p "$out"
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out/cpack" >"$out/cpack.log"
  mv "$out"/cpack/datacontroller_*.deb "$deb"
  dpkg-deb -x "$deb" "$stage"
}

# Exactly these files, and only runtime libraries among the dependencies.
check_contents() {
  local expected listed depends
  expected=$(printf '%s\n' \
    ./usr/bin/datacontroller \
    ./usr/lib/systemd/system/datacontroller.service \
    ./usr/libexec/datacontroller/datacontroller-desktop \
    ./usr/share/applications/datacontroller.desktop \
    ./usr/share/doc/datacontroller/README.md.gz \
    ./usr/share/doc/datacontroller/changelog.gz \
    ./usr/share/doc/datacontroller/copyright \
    ./usr/share/icons/hicolor/scalable/apps/datacontroller.svg \
    ./usr/share/man/man1/datacontroller.1.gz)
  listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
  [ "$listed" = "$expected" ] || fail "package files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$listed"))"
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libqt6core6 libqt6gui6 libqt6widgets6 libqt6httpserver6 libsystemd0 adduser \
    libjs-dygraphs; do
    [[ ", $depends," == *", $library"[\ ,]* ]] || fail "Depends lacks $library: $depends"
  done
  [[ "$depends" != *-dev* ]] || fail "Depends names a development package: $depends"
  "$stage/usr/bin/datacontroller" --version | grep -qx "datacontroller $(dpkg-deb -f "$deb" Version)" ||
    fail "the packaged program's --version differs from the package version"
}

check_lintian() {
  need lintian
  local report
  report=$(lintian "$deb" 2>/dev/null || true)
  echo "$report"
  ! grep -q '^E:' <<<"$report" || fail "lintian reports errors"
}

# The unit file as shipped, its program path pointed at the unpacked program
# (nothing is installed); every warning of the check counts as a failure.
check_unit() {
  need systemd-analyze
  local unit=$out/verify/datacontroller.service report exposure
  mkdir -p "$out/verify"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$stage/usr/bin/|" "$stage/usr/lib/systemd/system/datacontroller.service" >"$unit"
  report=$(MANPATH=$stage/usr/share/man systemd-analyze verify "$unit" 2>&1) || fail "verify: $report"
  [ -z "$report" ] || fail "verify warns: $report"
  report=$(systemd-analyze security --offline=true "$unit" 2>&1) || skip "offline security analysis unavailable"
  exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p' <<<"$report")
  echo "systemd-analyze security: exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "exposure $exposure above 2.0:"$'\n'"$report"
}

# dpkg -i twice (the second run is an upgrade), -r, then a purge: a system
# user and the package's files, nothing else; the data tree stays.
check_install() {
  [ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
  need dpkg; need flock
  exec 9>/run/lock/datacontroller-package-test.lock
  flock 9
  [ "$(dpkg-query -W -f='${db:Status-Status}' datacontroller 2>/dev/null || true)" != installed ] ||
    skip "datacontroller is installed on this machine: not touching it"
  ! getent passwd datacontroller >/dev/null || skip "a user datacontroller exists: not touching it"
  [ ! -e /var/lib/datacontroller ] || skip "/var/lib/datacontroller exists: not touching it"
  trap cleanup_install EXIT
  local home=$out/home
  dpkg -i "$deb" >"$out/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$out/dpkg.log")"
  IFS=: read -r _ _ uid _ _ user_home shell < <(getent passwd datacontroller) || fail "no user datacontroller"
  [ "$uid" -lt 1000 ] && [ "$user_home" = /var/lib/datacontroller ] && [[ "$shell" == */nologin ]] ||
    fail "not a system user: uid $uid, home $user_home, shell $shell"
  [ ! -e /var/lib/datacontroller ] || fail "installing made the data tree"
  [ ! -e /etc/systemd/system/multi-user.target.wants/datacontroller.service ] || fail "installing enabled the service"
  HOME=$home XDG_DATA_HOME= /usr/libexec/datacontroller/datacontroller-desktop --version >/dev/null
  [ -d "$home/.local/share/datacontroller/log" ] || fail "the desktop start did not make its data directory"
  dpkg -i "$deb" >"$out/dpkg.log" 2>&1 || fail "dpkg -i over itself: $(cat "$out/dpkg.log")"
  mkdir -p /var/lib/datacontroller/log/SU1
  echo record >/var/lib/datacontroller/log/SU1/alllog.dat
  dpkg -r datacontroller >"$out/dpkg.log" 2>&1 || fail "dpkg -r: $(cat "$out/dpkg.log")"
  [ ! -e /usr/bin/datacontroller ] || fail "dpkg -r left the program"
  [ "$(cat /var/lib/datacontroller/log/SU1/alllog.dat)" = record ] || fail "dpkg -r touched the data tree"
  getent passwd datacontroller >/dev/null || fail "dpkg -r removed the user that owns the data"
  dpkg -P datacontroller >"$out/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$out/dpkg.log")"
  [ -e /var/lib/datacontroller/log/SU1/alllog.dat ] || fail "a purge removed the data tree"
}

# Leaves the machine as it was found: no package, no user, no data tree.
cleanup_install() {
  dpkg -P datacontroller >/dev/null 2>&1 || true
  userdel datacontroller >/dev/null 2>&1 || true
  groupdel datacontroller >/dev/null 2>&1 || true
  rm -rf /var/lib/datacontroller
}

[ "$case_name" = build ] || [ -f "$deb" ] || skip "the package was not built (see package_build)"
case $case_name in
  build) build_package ;;
  contents) check_contents ;;
  lintian) check_lintian ;;
  unit) check_unit ;;
  install) check_install ;;
  *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
