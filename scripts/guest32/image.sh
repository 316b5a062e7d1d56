#!/usr/bin/env bash
# Builds the guest's system from Debian packages only: a bookworm amd64
# root file system with the kernel and Wine 8 (64- and 32-bit), a raw ext4
# disk image and a small initramfs of our own. Usage: image.sh OUTDIR
# (as root; leaves OUTDIR/vmlinuz, OUTDIR/initrd.cpio.gz, OUTDIR/disk.raw).
set -euo pipefail
out="$1"
mirror="${HVC_GUEST_MIRROR:-http://deb.debian.org/debian}"
work="$out.work"
rm -rf "$work"
mkdir -p "$work"
root="$work/rootfs"

cleanup() {
  for m in dev/pts dev proc sys; do umountpoint "$root/$m"; done
}
umountpoint() { if mountpoint -q "$1" 2>/dev/null; then umount -l "$1"; fi; }
trap cleanup EXIT

# Only the release's main suite: the security suite's i386 index may lag its
# amd64 one, and wine32:i386 must match wine64's version exactly.
debootstrap --variant=minbase --arch=amd64 bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 \
  || { tail -n 30 "$work/debootstrap.log" >&2; exit 1; }
echo "deb $mirror bookworm main" >"$root/etc/apt/sources.list"
mount -t proc proc "$root/proc"
mount -t sysfs sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
# The kernel's own initramfs is not used: ours is made below.
chroot "$root" dpkg-divert --local --rename --add /usr/sbin/update-initramfs >/dev/null
ln -s /bin/true "$root/usr/sbin/update-initramfs"
chroot "$root" dpkg --add-architecture i386
chroot "$root" apt-get -q update >"$work/apt.log" 2>&1
DEBIAN_FRONTEND=noninteractive chroot "$root" apt-get -q install -y --no-install-recommends \
  linux-image-amd64 kmod busybox-static wine wine64 wine64-preloader wine32:i386 fonts-wine \
  libodbc2:i386 odbc-mariadb:i386 >>"$work/apt.log" 2>&1 \
  || { tail -n 30 "$work/apt.log" >&2; exit 1; }
chroot "$root" apt-get clean
rm -rf "$root"/usr/share/doc/* "$root"/usr/share/man/* "$root"/var/lib/apt/lists/*
cleanup

kver=$(ls "$root/lib/modules" | head -n 1)
cp "$root/boot/vmlinuz-$kver" "$work/vmlinuz"

# The initramfs: busybox and the modules to reach the root disk.
ird="$work/initramfs"
mkdir -p "$ird"/{bin,dev,proc,sys,newroot,modules}
cp "$root/bin/busybox" "$ird/bin/busybox"
ln -s busybox "$ird/bin/sh"
n=0
for ko in $(chroot "$root" modprobe -S "$kver" -a --show-depends virtio_pci virtio_blk ext4 \
              | awk '$1 == "insmod" { print $2 }'); do
  [ -f "$ird/modules/order" ] && grep -qx "$(basename "$ko")" "$ird/modules/order" && continue
  case "$ko" in
    *.xz) xz -dc "$root$ko" >"$ird/modules/$(basename "${ko%.xz}")" ;;
    *) cp "$root$ko" "$ird/modules/" ;;
  esac
  basename "${ko%.xz}" >>"$ird/modules/order"
  n=$((n + 1))
done
[ "$n" -ge 3 ] || { echo "image.sh: modules for the root disk not found" >&2; exit 1; }
cat >"$ird/init" <<'INIT'
#!/bin/sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do insmod /modules/$m 2>/dev/null; done
for i in $(seq 100); do [ -b /dev/vda ] && break; sleep 0.1; done
mount -t ext4 -o rw /dev/vda /newroot || { echo "no root disk"; sh; }
# The agent (appended as a second archive) runs from the new root's /run.
mount -t tmpfs -o mode=755 run /newroot/run
cp /hvc-agent /newroot/run/hvc-agent
chmod +x /newroot/run/hvc-agent
umount /proc /sys
mount --move /dev /newroot/dev
exec switch_root /newroot /run/hvc-agent
INIT
chmod +x "$ird/init"
(cd "$ird" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.cpio.gz"

# The root disk: room for the Wine prefix and the test runs.
truncate -s 6G "$work/disk.raw"
mkfs.ext4 -q -F -L hvcguest -d "$root" "$work/disk.raw"
rm -rf "$root" "$ird"
mv "$work/vmlinuz" "$work/initrd.cpio.gz" "$work/disk.raw" "$out/"
echo "$kver" >"$out/kernel-version"
rm -rf "$work"
