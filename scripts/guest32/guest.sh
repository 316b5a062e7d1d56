#!/usr/bin/env bash
# The 32-bit test guest: a full-system emulated Debian amd64 machine with
# 32- and 64-bit Wine, for running the i686 build where the host kernel runs
# no 32-bit code.
#   guest.sh build            build it once into $HVC_CACHE/guest32 (again
#                             only when image.sh, agent.sh or machine.sh change)
#   guest.sh run SHARE [PORT] run SHARE/job.sh in the guest (cwd SHARE, a 9p
#                             share; copy programs to guest storage before
#                             running them, they fault when mapped from 9p);
#                             its output lands in SHARE/job.out, its exit code
#                             is ours. With PORT the guest reaches the host's
#                             127.0.0.1:PORT as 10.0.2.100:3306.
# Runs start from a saved state of the booted guest with the Wine server up
# (disk: a throw-away overlay), in a few seconds instead of a cold boot.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/machine.sh"
cache="${HVC_CACHE:-/var/cache/hvcdmtutils}/guest32"
image_key=$(cat "$here/image.sh" | sha256sum | cut -c1-16)
state_key=$(cat "$here/image.sh" "$here/agent.sh" "$here/machine.sh" | sha256sum | cut -c1-16)
image="$cache/image-$image_key" state="$cache/state-$state_key"

log() { printf 'guest32: %s\n' "$*" >&2; }
partial=""

# Opens the control and monitor pipes of a machine about to start in $run.
open_pipes() {
  local p
  for p in ctl mon; do mkfifo "$run/$p.in" "$run/$p.out"; done
  exec 5<>"$run/ctl.in" 6<>"$run/ctl.out" 7<>"$run/mon.in" 8<>"$run/mon.out"
}
# Waits up to $2 seconds for a control line matching $1; sets $reply.
await() {
  local pattern=$1 deadline=$((SECONDS + $2)) line
  while [ $SECONDS -lt $deadline ]; do
    line=""
    if read -r -t 1 -u 6 line; then
      line="$partial$line" partial=""
      [[ "$line" =~ $pattern ]] && { reply=$line; return 0; }
    else
      # A line arrives byte by byte: keep what came before the time-out.
      partial+=$line
      kill -0 "$qemu" 2>/dev/null || return 1
    fi
  done
  return 1
}
monitor() { printf '%s\n' "$*" >&7; }
drain_monitor() {  # seconds to listen; prints what came
  local line
  while read -r -t "$1" -u 8 line; do printf '%s\n' "$line"; done || true
}
stop_machine() {
  [ -n "${qemu:-}" ] || return 0
  monitor quit 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$qemu" 2>/dev/null || break; sleep 0.1; done
  kill "$qemu" 2>/dev/null || true
  wait "$qemu" 2>/dev/null || true
  qemu=
}

build_image() {
  [ -f "$image/disk.raw" ] && return
  rm -rf "$cache"/image-* "$cache"/state-*
  mkdir -p "$image"
  log "building the guest's system from Debian packages (about 10 minutes)"
  local t=$SECONDS
  "$here/image.sh" "$image" || { rm -rf "$image" "$image.work"; return 1; }
  log "system built in $((SECONDS - t)) s"
}

build_state() {
  [ -f "$state/ready" ] && return
  rm -rf "$cache"/state-*
  mkdir -p "$state"
  log "first boot: Wine prefix, Wine server, saved state (a few minutes)"
  local t=$SECONDS
  # The agent rides as a second archive after the initramfs.
  local agentdir="$state/agent"
  mkdir -p "$agentdir"
  cp "$here/agent.sh" "$agentdir/hvc-agent"
  (cat "$image/initrd.cpio.gz"; cd "$agentdir" && echo hvc-agent | cpio -o -H newc --quiet | gzip -1) >"$state/initrd"
  rm -rf "$agentdir"
  qemu-img create -q -f qcow2 -b "$image/disk.raw" -F raw "$state/base.qcow2"
  run="$state/boot"
  mkdir -p "$run" "$state/share"
  open_pipes
  machine_args "$image" "$state/initrd" "$state/base.qcow2" "$state/share" "$run" ""
  "${qemu_args[@]}" </dev/null >"$run/qemu.log" 2>&1 &
  qemu=$!
  trap stop_machine EXIT
  if ! await '^HVC-READY' 1800; then
    log "the first boot did not finish; console:"; tail -n 30 "$run/console.log" >&2
    stop_machine; return 1
  fi
  log "booted and Wine server up after $((SECONDS - t)) s; saving the state"
  # Saved while running, so that it restores running.
  monitor "migrate \"exec:cat > $state/state.bin\""
  local status=""
  for _ in $(seq 600); do
    monitor "info migrate"
    status=$(drain_monitor 1 | tr -d '\r' | sed -n 's/.*Migration status: *//p' | tail -n 1)
    [ "$status" = completed ] || [ "$status" = failed ] && break
  done
  stop_machine
  trap - EXIT
  [ "$status" = completed ] || { log "saving the state failed ($status)"; return 1; }
  rm -rf "$run"
  touch "$state/ready"
  log "guest ready in $((SECONDS - t)) s ($(du -sh "$state" | cut -f1) in $state)"
}

build() {
  command -v qemu-system-x86_64 >/dev/null || { log "qemu-system-x86_64 is missing"; return 1; }
  mkdir -p "$cache"
  exec 9>"$cache/lock"
  flock 9
  build_image
  build_state
  exec 9>&-
}

run_job() {
  local share port id rc
  share=$(cd "$1" && pwd) port=${2:-}
  [ -f "$share/job.sh" ] || { log "$share/job.sh is missing"; return 2; }
  build
  mkdir -p "$cache/runs"
  run=$(mktemp -d "$cache/runs/run.XXXXXX")
  trap 'stop_machine; rm -rf "$run"' EXIT
  qemu-img create -q -f qcow2 -b "$state/base.qcow2" -F qcow2 "$run/disk.qcow2"
  open_pipes
  machine_args "$image" "$state/initrd" "$run/disk.qcow2" "$share" "$run" "$port"
  local t=$SECONDS
  "${qemu_args[@]}" -incoming "exec:cat $state/state.bin" </dev/null >"$run/qemu.log" 2>&1 &
  qemu=$!
  id=$RANDOM$RANDOM
  # Asked again until acknowledged: input sent before the restore finishes is lost.
  local acked=""
  for _ in $(seq 150); do
    printf 'RUN %s %s\n' "$id" "$(date +%s)" >&5
    if await "^HVC-ACK $id" 2; then acked=1; break; fi
    kill -0 "$qemu" 2>/dev/null || break
  done
  if [ -z "$acked" ]; then
    log "the guest did not answer; qemu:"; cat "$run/qemu.log" >&2; tail -n 20 "$run/console.log" >&2
    return 3
  fi
  log "guest up in $((SECONDS - t)) s"
  if ! await "^HVC-DONE $id " "${HVC_GUEST_TIMEOUT:-3600}"; then
    log "the run did not finish in time; console:"; tail -n 20 "$run/console.log" >&2
    return 4
  fi
  rc=${reply##* }
  log "run finished after $((SECONDS - t)) s with exit code $rc"
  printf 'OFF\n' >&5
  stop_machine
  return "$rc"
}

case "${1:-}" in
  build) build ;;
  run) shift; run_job "$@" ;;
  *) sed -n '2,15p' "$0" >&2; exit 2 ;;
esac
