#!/bin/sh
# PID 1 of the guest. Brings up the file systems, the network to the host's
# forwarded ports and the Wine server, then serves runs asked for on the
# second serial port:
#   RUN <id> <epoch>   set the clock, mount the shared folder, run its job.sh
#                      (output to job.out there), answer "HVC-DONE <id> <rc>"
#   OFF                power off
# On a first boot (hvc.prepare on the kernel line) it makes the Wine prefix
# first and answers "HVC-READY" once the server runs, so the booted state can
# be saved. A mounted 9p share blocks saving, so the share is mounted per run.
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
mount -t proc proc /proc
mount -t sysfs sys /sys
mkdir -p /dev/pts /dev/shm /mnt/share
mount -t devpts devpts /dev/pts
mount -t tmpfs shm /dev/shm
mount -t tmpfs tmp /tmp
for m in virtio_net virtio_console 9pnet_virtio 9p; do modprobe "$m" 2>/dev/null; done
busybox hostname hvcguest
busybox ip link set lo up
busybox ip addr add 10.0.2.15/24 dev eth0 2>/dev/null && busybox ip link set eth0 up

export WINEPREFIX=/root/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
if grep -q hvc.prepare /proc/cmdline && [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "hvc-agent: making the Wine prefix"
  /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w
fi
# The second volume of the cross-volume tests: V: on tmpfs.
mkdir -p /dev/shm/hvcdmt-volume
ln -sfn /dev/shm/hvcdmt-volume "$WINEPREFIX/dosdevices/v:"
wineserver -p </dev/null >/dev/null 2>&1
wine cmd.exe /c exit </dev/null >/dev/null 2>&1
sync
# Freed pages are zeroed (init_on_free=1), and zero pages cost nothing in a
# saved state: without the page cache the state is a fraction of its size.
echo 3 >/proc/sys/vm/drop_caches
echo "hvc-agent: Wine server up"

ctl=/dev/ttyS1
stty -F "$ctl" raw -echo
grep -q hvc.prepare /proc/cmdline && echo "HVC-READY" >"$ctl"
last=
while :; do
  read -r cmd id epoch <"$ctl" || { sleep 0.2; continue; }
  case "$cmd" in
    RUN)
      echo "HVC-ACK $id" >"$ctl"
      [ "$id" = "$last" ] && continue
      last=$id
      date -s "@$epoch" >/dev/null 2>&1
      rc=125
      if mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288 hvcshare /mnt/share; then
        (cd /mnt/share && exec sh ./job.sh </dev/null >job.out 2>&1)
        rc=$?
        sync
        umount /mnt/share
      fi
      echo "HVC-DONE $id $rc" >"$ctl" ;;
    OFF)
      sync
      busybox poweroff -f ;;
  esac
done
