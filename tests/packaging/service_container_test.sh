#!/usr/bin/env bash
# The packaged service under a real systemd. A throw-away Debian 12 root made
# by mmdebstrap (cached below /var/cache/datacontroller-test, keyed by its
# package list) is booted with systemd-nspawn: systemd as PID 1, a private
# network, a volatile overlay over the cached root. The package is installed
# there and every check looks from outside through nsenter.
# Usage: service_container_test.sh BUILD_DIR   runs the checks; exit 77
#          (skipped, with the reason) without root, apt or the container
#          tools, 1 when a check failed
#        service_container_test.sh --make-root  only makes the cached root
#          (tools/test does, before the tests run without a network)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$1
out=$build/packaging/test
deb=$out/datacontroller.deb
cache=${DC_CONTAINER_CACHE:-/var/cache/datacontroller-test}
tree=/var/lib/datacontroller

skip() { echo "SKIPPED: $*"; exit 77; }
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }
# Ends the running check with its reason.
problem() { echo "    $*" >&2; return 1; }

[ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
need apt-get; need mmdebstrap; need systemd-nspawn; need nsenter; need socat; need curl; need ss

root_packages() { sed '/^#/d; /^$/d' "$here/container_packages"; }

# The machine's own apt sources, so the root gets what this machine's apt gets.
apt_sources() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.{list,sources}; do
    [ -s "$file" ] && echo "$file"
  done
  return 0
}

# Sets root to the cached root for this package list, made first where missing.
cached_root() {
  local packages key
  packages=$(root_packages)
  mapfile -t sources < <(apt_sources)
  [ ${#sources[@]} -gt 0 ] || skip "no apt sources on this machine"
  key=$({ echo "$packages"; cat "${sources[@]}"; } | sha256sum | cut -c1-16)
  root=$cache/bookworm-$key
  mkdir -p "$cache"
  exec 8>"$cache/lock"
  flock 8
  if [ ! -d "$root" ]; then
    echo "Making the container root $root (once per package list)" >&2
    rm -rf "$root.new"
    mmdebstrap --quiet --variant=minbase \
      --include="$(echo $packages | tr ' ' ,)" bookworm "$root.new" "${sources[@]}" >&2 ||
      { rm -rf "$root.new"; problem "mmdebstrap could not make the root (no network?)"; }
    mv "$root.new" "$root"
  fi
  flock -u 8
}

# The container's own cgroup, in the unified hierarchy (and in systemd's named
# v1 hierarchy on a mixed host), so nspawn never touches the machine's.
unified_hierarchy() {
  if [ "$(stat -fc %T /sys/fs/cgroup)" = cgroup2fs ]; then echo /sys/fs/cgroup
  elif [ -d /sys/fs/cgroup/unified ]; then echo /sys/fs/cgroup/unified
  else skip "no cgroup v2 hierarchy on this machine"; fi
}

boot_container() {
  local root=$1 unified self_cg
  unified=$(unified_hierarchy)
  self_cg=$(sed -n 's/^0:://p' /proc/self/cgroup)
  cgroups=("$unified${self_cg%/}/datacontroller-test.$$")
  [ ! -d /sys/fs/cgroup/systemd ] || cgroups+=(/sys/fs/cgroup/systemd/datacontroller-test.$$)
  mkdir "${cgroups[@]}"
  ( for cg in "${cgroups[@]}"; do echo "$BASHPID" >"$cg/cgroup.procs"; done
    SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec systemd-nspawn --quiet --boot --directory="$root" \
      --volatile=overlay --private-network --register=no --keep-unit \
      --machine="datacontroller-test-$$" --bind-ro="$out:/mnt/package" --console=read-only
  ) >"$out/container.log" 2>&1 &
  nspawn=$!
  trap shut_down EXIT
  local try
  for try in $(seq 100); do
    leader=$(pgrep -x -P "$nspawn" systemd || true)
    [ -n "$leader" ] && [[ "$(in_container systemctl is-system-running 2>/dev/null)" =~ \
      ^(running|degraded)$ ]] && return 0
    kill -0 "$nspawn" 2>/dev/null || break
    sleep 0.3
  done
  problem "the container did not boot: $(tail -20 "$out/container.log")"
}

shut_down() {
  local cg
  for cg in "${cgroups[@]}"; do [ ! -e "$cg/cgroup.kill" ] || echo 1 >"$cg/cgroup.kill"; done
  kill -KILL "$nspawn" 2>/dev/null || true
  wait "$nspawn" 2>/dev/null || true
  wait_for 10 grep -q '^populated 0' "${cgroups[0]}/cgroup.events" || true
  rmdir "/run/systemd/nspawn/propagate/datacontroller-test-$$" 2>/dev/null || true
  for cg in "${cgroups[@]}"; do
    find "$cg" -depth -type d -exec rmdir {} + 2>/dev/null || true
  done
}

in_container() { nsenter -t "$leader" -a env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
in_network() { nsenter -t "$leader" -n "$@"; }
property() { in_container systemctl show -P "$1" datacontroller; }
listening() {
  [ -n "$(in_network ss -Hlnt 'sport = :10079')" ] && [ -n "$(in_network ss -Hlnu 'sport = :69')" ]
}
# The service's processes: exactly its main process, which holds both ports.
sole_main_process() {
  local main procs
  main=$(property MainPID)
  procs=$(in_container cat /sys/fs/cgroup/system.slice/datacontroller.service/cgroup.procs)
  [ "$main" != 0 ] && [ "$procs" = "$main" ] && listening
}
# wait_for SECONDS COMMAND...: polls the command until it succeeds.
wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  until "$@"; do [ $SECONDS -lt $end ] || return 1; sleep 0.2; done
}
journal_mark() { in_container journalctl -q -n 1 --show-cursor | sed -n 's/^-- cursor: //p'; }
journal_since() { in_container journalctl -q -u datacontroller -o cat --after-cursor="$1"; }

# A registered unit that resets its connection (it leaves a reply unread),
# which restarts the program.
reset_registered_unit() {
  in_network bash -c 'exec 3<>/dev/tcp/127.0.0.1/10079
    printf "CS_ADD_NAME 0 %s#CS_TEXT %s DU_CHECK#CS_TEXT %s DU_CHECK#" "$1" "$1" "$1" >&3
    IFS= read -r -d "#" -t 10 offer <&3 && IFS= read -r -d "#" -t 10 reply <&3 &&
      [ "$reply" = "CC_TEXT CHECK" ] && IFS= read -r -N 1 -t 10 first <&3' _ "$1" ||
    problem "unit $1 got no answer to DU_CHECK"
}
unit_check_answered() {
  in_network bash -c 'exec 3<>/dev/tcp/127.0.0.1/10079
    printf "CS_ADD_NAME 0 CU9#CS_TEXT CU9 DU_CHECK#CS_REMOVE_NAME CU9#" >&3
    IFS= read -r -d "#" -t 10 offer <&3 && IFS= read -r -d "#" -t 10 reply <&3 &&
      [ "$reply" = "CC_TEXT CHECK" ]'
}
# A record of today stored through the unit link (the C locale's short date).
save_record() {
  in_network bash -c 'exec 3<>/dev/tcp/127.0.0.1/10079
    printf "CS_ADD_NAME 0 %s#CS_TEXT %s DU_SAVELOG T1 %s 21.5#CS_TEXT %s DU_CHECK#" \
      "$1" "$1" "$(date +%m/%d/%y)" "$1" >&3
    IFS= read -r -d "#" -t 10 offer <&3 && IFS= read -r -d "#" -t 10 reply <&3 &&
      [ "$reply" = "CC_TEXT CHECK" ] && printf "CS_REMOVE_NAME %s#" "$1" >&3 &&
      { IFS= read -r -d "" -t 1 rest <&3 || true; }' _ "$1"
}
tree_checksum() { in_container sh -c "cd $tree/log && find . -type f | sort | xargs -r sha256sum"; }
ensure_running() {
  in_container systemctl reset-failed datacontroller 2>/dev/null || true
  in_container timeout 30 systemctl start datacontroller || problem "systemctl start failed"
}

# 512-byte blocks, each carrying its number, written slowly to standard output.
slow_blocks() { local i; for i in $(seq -f '%0511g' "$1"); do echo "$i"; sleep 0.15; done; }

# An upload of 12 slow blocks, and ACTION (systemctl stop or restart) once
# the first blocks are stored: the transfer ends whole.
upload_across() {
  local action=$1 file=config/slow-$1.ini upload status
  in_container install -d -o datacontroller -g datacontroller "$tree/config"
  ( slow_blocks 12 | in_network curl -sS --max-time 20 -T - "tftp://127.0.0.1/$file" ) &
  upload=$!
  wait_for 20 eval '[ "$(in_container stat -c %s "$tree/$file" 2>/dev/null || echo 0)" -ge 1024 ]' ||
    problem "the upload did not begin"
  in_container timeout 60 systemctl "$action" datacontroller || problem "systemctl $action failed"
  wait "$upload" && status=0 || status=$?
  [ "$status" -eq 0 ] || problem "curl failed ($status) across systemctl $action"
  [ "$(in_container cat "$tree/$file" | sha256sum)" = "$(seq -f '%0511g' 12 | sha256sum)" ] ||
    problem "the file differs after systemctl $action: $(in_container stat -c %s "$tree/$file") bytes"
}

check_install() {
  in_container apt-get install -y -q --no-install-recommends /mnt/package/datacontroller.deb \
    >"$out/apt.log" 2>&1 || problem "apt install: $(tail -5 "$out/apt.log")"
  local uid home shell
  IFS=: read -r _ _ uid _ _ home shell < <(in_container getent passwd datacontroller) ||
    problem "no user datacontroller"
  [ "$uid" -lt 1000 ] && [ "$home" = "$tree" ] && [[ "$shell" == */nologin ]] ||
    problem "not a system user: uid $uid, home $home, shell $shell"
  ! in_container test -e "$tree" || problem "installing made the data tree"
  [ "$(property UnitFileState)" = disabled ] || problem "installing enabled the service"
  # The desktop launcher: a relative XDG_DATA_HOME is ignored.
  in_container sh -c 'mkdir -p /tmp/desk && cd /tmp/desk && HOME=/tmp/home XDG_DATA_HOME=rel \
    /usr/libexec/datacontroller/datacontroller-desktop --version' >/dev/null ||
    problem "the desktop launcher failed"
  in_container test -d /tmp/home/.local/share/datacontroller/log ||
    problem "the desktop launcher did not make ~/.local/share/datacontroller/log"
  ! in_container test -e /tmp/desk/rel || problem "the desktop launcher used a relative XDG_DATA_HOME"
}

check_start() {
  in_container systemctl enable datacontroller 2>/dev/null
  in_container timeout 60 systemctl start datacontroller || problem "systemctl start failed"
  listening || problem "systemctl start returned before both ports listened"
  unit_check_answered || problem "no answer to DU_CHECK"
}

check_identity() {
  local main uid status
  main=$(property MainPID)
  uid=$(in_container id -u datacontroller)
  status=$(in_container cat "/proc/$main/status")
  grep -Eq "^Uid:\s+$uid\s+$uid\s+$uid\s+$uid$" <<<"$status" ||
    problem "main process not running as datacontroller: $(grep ^Uid <<<"$status")"
  local set
  for set in CapEff CapPrm CapBnd CapAmb; do
    grep -q "^$set:\s*0000000000000400$" <<<"$status" ||
      problem "$set is not CAP_NET_BIND_SERVICE alone: $(grep "^$set" <<<"$status")"
  done
  grep -q '^NoNewPrivs:\s*1$' <<<"$status" || problem "NoNewPrivs is not set"
}

# Round 1 restarts the program; round 2, within 30 s of that restart, closes
# only the failing connection and says so once.
check_self_restarts() {
  local round old mark
  for round in 1 2; do
    old=$(property MainPID)
    mark=$(journal_mark)
    reset_registered_unit "SU_RESET$round"
    if [ "$round" = 1 ]; then
      wait_for 20 eval '[ "$(property MainPID)" != "$old" ] && sole_main_process' ||
        problem "restart $round: main PID $(property MainPID) (was $old), processes" \
          "$(in_container cat /sys/fs/cgroup/system.slice/datacontroller.service/cgroup.procs | xargs)"
    else
      wait_for 10 eval 'journal_since "$mark" | grep -q "Not restarting: .*SU_RESET$round"' ||
        problem "restart $round was not held back: $(journal_since "$mark")"
      [ "$(property MainPID)" = "$old" ] || problem "restart $round: the program restarted"
    fi
    [ "$(property NRestarts)" = 0 ] && [ "$(property ActiveState)" = active ] ||
      problem "restart $round: NRestarts $(property NRestarts), $(property ActiveState)"
    unit_check_answered || problem "restart $round: no answer to DU_CHECK"
    echo "$mark" >"$out/restart-mark-$round"
  done
}

# Each self-restart (and the error held back after it) writes one line naming
# its cause, here the unit that reset.
check_restart_journal_line() {
  local round
  for round in 1 2; do
    wait_for 10 eval 'journal_since "$(cat "$out/restart-mark-$round")" | grep -q "SU_RESET$round"' ||
      problem "no journal line names SU_RESET$round's connection:" \
        "$(journal_since "$(cat "$out/restart-mark-$round")")"
  done
}

check_upload_across_stop() { ensure_running; upload_across stop; }
check_upload_across_restart() {
  ensure_running
  upload_across restart
  [ "$(property ActiveState)" = active ] && listening || problem "not serving after the restart"
}

check_busy_port_fails_start() {
  in_container systemctl stop datacontroller
  ( exec nsenter -t "$leader" -n socat -u UDP4-RECV:69,so-reuseaddr=0 /dev/null ) &
  local holder=$! mark status
  trap "kill $holder 2>/dev/null || true" EXIT
  wait_for 10 eval '[ -n "$(in_network ss -Hlnu "sport = :69")" ]' || problem "socat did not bind"
  mark=$(journal_mark)
  in_container timeout 30 systemctl start datacontroller 2>/dev/null && status=0 || status=$?
  kill "$holder"; wait "$holder" 2>/dev/null || true
  in_container systemctl stop datacontroller 2>/dev/null || true
  [ "$status" -ne 0 ] || problem "systemctl start succeeded with UDP 69 taken"
  [ "$status" -ne 124 ] || problem "systemctl start still waiting after 30 s with UDP 69 taken"
  journal_since "$mark" | grep -qw 69 || problem "no journal line names port 69: $(journal_since "$mark")"
}

# A self-restart whose new instance cannot serve (log/ is gone): the service
# fails and systemd starts it again (its state directory makes a new log/).
check_restart_that_cannot_serve() {
  ensure_running
  in_container mv "$tree/log" "$tree/log.away"
  trap 'in_container sh -c "rm -rf $tree/log && mv $tree/log.away $tree/log"
    in_container systemctl restart datacontroller' EXIT
  reset_registered_unit SU_NOLOG
  wait_for 30 eval '[ "$(property NRestarts)" -gt 0 ] || [ "$(property ActiveState)" != active ]' ||
    problem "a new instance without log/ left the service active: main PID" \
      "$(property MainPID), $(property SubState)"
  wait_for 30 eval '[ "$(property ActiveState)" = active ] && sole_main_process' ||
    problem "systemd's restart did not bring the service back"
}

# --mqtt set in /etc/default/datacontroller: the service says it is online
# to the broker beside it and forwards a record stored after its start.
check_mqtt_from_defaults() {
  local conffile=/etc/default/datacontroller subscriber
  in_container systemctl start mosquitto || problem "the broker did not start"
  in_container cp "$conffile" "$conffile.saved"
  trap "in_container mv $conffile.saved $conffile; in_container systemctl restart datacontroller" EXIT
  in_container sh -c "echo 'DATACONTROLLER_OPTS=\"--mqtt mqtt://127.0.0.1 --mqtt-topic dctest\"' >>$conffile"
  ( exec nsenter -t "$leader" -n timeout 30 mosquitto_sub -h 127.0.0.1 -t dctest/SU_MQTT/T1 -C 1 \
      >"$out/mqtt-record" ) &
  subscriber=$!
  in_container timeout 60 systemctl restart datacontroller || problem "restart with --mqtt failed"
  [ "$(in_network timeout 10 mosquitto_sub -h 127.0.0.1 -t dctest/status -C 1)" = online ] ||
    problem "no retained status online: $(journal_since "$(journal_mark)")"
  save_record SU_MQTT || problem "the record was not stored"
  wait "$subscriber" || problem "the record did not reach the broker: $(property StatusText)"
  grep -q '"unit":"SU_MQTT","sensor":"T1"' "$out/mqtt-record" ||
    problem "not the stored record: $(cat "$out/mqtt-record")"
}

# A newer package over the running service, then remove and purge: the data
# tree and the user stay.
check_upgrade_remove_purge() {
  ensure_running
  save_record SU1 || problem "the record was not stored"
  local newer=$out/newer old conffile=/etc/default/datacontroller ships_conffile= stored
  stored=$(tree_checksum)
  [ -n "$stored" ] || problem "no record in the data tree"
  rm -rf "$newer"; mkdir -p "$newer"
  dpkg-deb -R "$deb" "$newer/tree"
  sed -i 's/^Version: .*/&+newer1/' "$newer/tree/DEBIAN/control"
  dpkg-deb -b "$newer/tree" "$newer/datacontroller.deb" >/dev/null
  # The options file: an operator's edit of /etc/default/datacontroller
  # survives an upgrade. Runs once the package ships it as a conffile.
  if grep -qx "$conffile" "$newer/tree/DEBIAN/conffiles" 2>/dev/null; then
    ships_conffile=yes
    in_container sh -c "echo '# edited by the operator' >>$conffile"
  fi
  old=$(property MainPID)
  in_container dpkg -i /mnt/package/newer/datacontroller.deb </dev/null >"$out/dpkg.log" 2>&1 ||
    problem "dpkg -i of a newer version: $(cat "$out/dpkg.log")"
  [ "$(property MainPID)" != "$old" ] && [ "$(property ActiveState)" = active ] ||
    problem "the upgrade did not restart the service on the new program"
  wait_for 20 sole_main_process || problem "not serving after the upgrade"
  [ "$(tree_checksum)" = "$stored" ] || problem "the upgrade touched the data tree"
  [ -z "$ships_conffile" ] || in_container grep -qx '# edited by the operator' "$conffile" ||
    problem "the upgrade dropped the operator's edit of $conffile"
  in_container dpkg -r datacontroller >"$out/dpkg.log" 2>&1 || problem "dpkg -r: $(cat "$out/dpkg.log")"
  [ "$(property ActiveState)" != active ] || problem "dpkg -r left the service running"
  ! in_container test -e /usr/bin/datacontroller || problem "dpkg -r left the program"
  [ "$(tree_checksum)" = "$stored" ] || problem "dpkg -r touched the data tree"
  in_container getent passwd datacontroller >/dev/null || problem "dpkg -r removed the user"
  in_container dpkg -P datacontroller >"$out/dpkg.log" 2>&1 || problem "dpkg -P: $(cat "$out/dpkg.log")"
  [ "$(tree_checksum)" = "$stored" ] || problem "a purge touched the data tree"
  in_container getent passwd datacontroller >/dev/null || problem "a purge removed the user"
  ! in_container test -e /etc/systemd/system/multi-user.target.wants/datacontroller.service ||
    problem "a purge left the service enabled"
  ! in_container test -e /var/cache/datacontroller || problem "a purge left the service's cache"
}

# Runs every check, even after a failure, and names each result.
failed=()
run_check() {
  local status
  set +e
  ( set -e; "check_$1" )
  status=$?
  set -e
  if [ "$status" -eq 0 ]; then echo "ok: $1"; else echo "FAILED: $1"; failed+=("$1"); fi
}

# Every dependency of the package must be in the root.
check_root_holds_dependencies() {
  local name
  for name in $(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*//'); do
    dpkg-query --admindir="$root/var/lib/dpkg" -W "$name" >/dev/null 2>&1 ||
      problem "the container root lacks $name: add it to $here/container_packages"
  done
}

started=$SECONDS
cached_root
[ "$build" != --make-root ] || exit 0
[ -f "$deb" ] || skip "the package was not built (see package_build)"
check_root_holds_dependencies
echo "container root: $root ($((SECONDS - started)) s)"
boot_container "$root"
echo "booted ($((SECONDS - started)) s)"
# DC_CONTAINER_CHECKS runs only the checks it names (install first).
for check in ${DC_CONTAINER_CHECKS:-install start identity self_restarts restart_journal_line \
  upload_across_stop upload_across_restart busy_port_fails_start restart_that_cannot_serve \
  mqtt_from_defaults upgrade_remove_purge}; do
  run_check "$check"
done
echo "finished in $((SECONDS - started)) s"
[ ${#failed[@]} -eq 0 ] || { echo "FAILED checks: ${failed[*]}" >&2; exit 1; }
