#!/usr/bin/env bash
# The Debian package as an operator meets it. Usage: package_test.sh CASE BUILD_DIR
# Cases: build, contents, lintian, unit. Exit 77 (skipped, with the reason on
# standard output) where a tool is missing. Installing it and its service under
# systemd: service_container_test.sh.
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
    ./etc/default/datacontroller \
    ./usr/bin/datacontroller \
    ./usr/lib/systemd/system/datacontroller.service \
    ./usr/libexec/datacontroller/datacontroller-desktop \
    ./usr/share/applications/datacontroller.desktop \
    ./usr/share/doc/datacontroller/README.md.gz \
    ./usr/share/doc/datacontroller/changelog.gz \
    ./usr/share/doc/datacontroller/copyright \
    ./usr/share/doc/datacontroller/unit_protocol.md.gz \
    ./usr/share/icons/hicolor/scalable/apps/datacontroller.svg \
    ./usr/share/man/man1/datacontroller.1.gz)
  listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
  [ "$listed" = "$expected" ] || fail "package files differ:"$'\n'"$(diff <(echo "$expected") <(echo "$listed"))"
  [ "$(dpkg-deb -I "$deb" conffiles 2>/dev/null)" = /etc/default/datacontroller ] ||
    fail "/etc/default/datacontroller is not the one conffile: an upgrade would overwrite an edit"
  depends=$(dpkg-deb -f "$deb" Depends)
  for library in libqt6core6 libqt6gui6 libqt6widgets6 libqt6httpserver6 libsystemd0 adduser \
    libjs-dygraphs; do
    [[ ", $depends," == *", $library"[\ ,]* ]] || fail "Depends lacks $library: $depends"
  done
  [[ "$depends" != *-dev* ]] || fail "Depends names a development package: $depends"
  "$stage/usr/bin/datacontroller" --version | grep -qx "datacontroller $(dpkg-deb -f "$deb" Version)" ||
    fail "the packaged program's --version differs from the package version"
}

# lintian must have read the package: it ends with a failure status on an
# error tag and on a file that is no package, and names a package it skipped.
# No hardening tag either (some are only information, hence --display-info).
check_lintian() {
  need lintian
  local report status=0
  report=$(lintian --display-info "$deb" 2>&1) || status=$?
  echo "$report"
  [ "$status" -eq 0 ] || fail "lintian failed with status $status"
  ! grep -q '^Skipping ' <<<"$report" || fail "lintian did not read the package"
  ! grep -q 'hardening-' <<<"$report" || fail "lintian reports missing hardening"
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
  report=$(systemd-analyze security --offline=true "$unit" 2>&1) || fail "offline security analysis failed: $report"
  exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p' <<<"$report")
  echo "systemd-analyze security: exposure $exposure"
  awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "exposure $exposure above 2.0:"$'\n'"$report"
}

[ "$case_name" = build ] || [ -f "$deb" ] || skip "the package was not built (see package_build)"
case $case_name in
  build) build_package ;;
  contents) check_contents ;;
  lintian) check_lintian ;;
  unit) check_unit ;;
  *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
