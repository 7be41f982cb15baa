#!/bin/sh
# cutboot.sh: in the guest, init's sysinit action for one boot in place of rcS
# (the test puts it into /etc/inittab and keeps the image's inittab as
# /root/inittab.orig). Puts the image's inittab back at once, so that only this
# boot is watched, starts cutwatch.sh with the steps of /root/cutsteps (one a
# line) and hands over to rcS in a cgroup the watcher can hold.
# No -e: the boot goes on to rcS whatever fails here.
set -u
mount -t proc proc /proc
cp /root/inittab.orig /etc/inittab && sync
mkdir -p /dev/cutcg && mount -t cgroup2 none /dev/cutcg && mkdir -p /dev/cutcg/held
# One step an argument.
set --
while IFS= read -r s; do set -- "$@" "$s"; done </root/cutsteps
sh /root/cutwatch.sh --group held "$@" </dev/null >/dev/console 2>&1 &
echo $$ >/dev/cutcg/held/cgroup.procs
umount /proc
exec /etc/init.d/rcS
