# Sourced: the emulated machine. A saved state restores only onto the same
# device set, so every start (the first boot and each restore) uses these.
#   machine_args IMAGE_DIR INITRD DISK SHARE RUN_DIR DB_PORT -> qemu_args
# 32-bit Wine processes oops on a 32-bit iret with SMAP on: smap=off.
machine_args() {
  local image=$1 initrd=$2 disk=$3 share=$4 run=$5 port=$6 net="user,id=net,restrict=on"
  # The guest reaches nothing but the host's database, on 10.0.2.100:3306;
  # one forwarding process per connection (a chardev target serves only one).
  [ -n "$port" ] && net="$net,guestfwd=tcp:10.0.2.100:3306-cmd:socat - TCP:127.0.0.1:$port"
  qemu_args=(qemu-system-x86_64 -nodefaults -display none -no-reboot
    -machine q35 -accel tcg,thread=multi -smp 2 -cpu max,smap=off -m 4096
    -kernel "$image/vmlinuz" -initrd "$initrd" -append "console=ttyS0 quiet panic=-1 init_on_free=1 hvc.prepare"
    -drive "file=$disk,if=none,id=disk,format=qcow2,cache=unsafe" -device virtio-blk-pci,drive=disk
    -fsdev "local,id=share,path=$share,security_model=none"
    -device virtio-9p-pci,fsdev=share,mount_tag=hvcshare
    -netdev "$net" -device virtio-net-pci,netdev=net
    -chardev "file,id=con,path=$run/console.log" -serial chardev:con
    -chardev "pipe,id=ctl,path=$run/ctl" -serial chardev:ctl
    -chardev "pipe,id=mon,path=$run/mon" -mon chardev=mon,mode=readline)
}
