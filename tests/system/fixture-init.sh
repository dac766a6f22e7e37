# PID 1 of the fixture's namespaces (fixture.sh): builds a root of its own on an overlay of the
# host's, whose changes live in memory only, and hands it to systemd.
set -eu
base=/tmp/.tarnd-system-$$
mkdir -p "$base"
mount -t tmpfs -o mode=0755 tarnd-system "$base"
mkdir "$base/upper" "$base/work" "$base/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$base/upper,workdir=$base/work" "$base/root"
r=$base/root
mount -t proc proc "$r/proc"
mount --bind "$r/proc/sys" "$r/proc/sys"
mount -o remount,bind,ro "$r/proc/sys"
mount -t sysfs -o ro sysfs "$r/sys"
mount -t cgroup2 cgroup2 "$r/sys/fs/cgroup"
mount -t tmpfs -o mode=0755,nosuid dev "$r/dev"
d=$r/dev
mknod -m 666 "$d/null" c 1 3; mknod -m 666 "$d/zero" c 1 5; mknod -m 666 "$d/full" c 1 7
mknod -m 666 "$d/random" c 1 8; mknod -m 666 "$d/urandom" c 1 9; mknod -m 666 "$d/tty" c 5 0
mkdir "$d/net" "$d/pts" "$d/shm"
mknod -m 666 "$d/net/tun" c 10 200
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$d/pts"
ln -s pts/ptmx "$d/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$d/shm"
ln -s /proc/self/fd "$d/fd"
ln -s /proc/self/fd/0 "$d/stdin"; ln -s /proc/self/fd/1 "$d/stdout"; ln -s /proc/self/fd/2 "$d/stderr"
touch "$d/console"
mount --bind /dev/null "$d/console"
mount -t tmpfs -o mode=0755,nosuid,nodev run "$r/run"
mount -t tmpfs -o mode=1777,nosuid,nodev tmp "$r/tmp"
mkdir -p "$r/srv/tarnd-test"
mount --bind "$FIXTURE_SHARE" "$r/srv/tarnd-test"

# Boot only what a desktop's service needs: no hardware database, cache or clock work.
u=$r/etc/systemd/system
for unit in systemd-hwdb-update ldconfig systemd-journal-catalog-update systemd-update-done \
            systemd-timesyncd e2scrub_reap getty@ serial-getty@ console-getty container-getty@ \
            apt-daily apt-daily-upgrade man-db cron systemd-networkd ssh; do
    ln -sf /dev/null "$u/$unit.service"
done
for unit in apt-daily apt-daily-upgrade man-db e2scrub_all fstrim logrotate dpkg-db-backup; do
    ln -sf /dev/null "$u/$unit.timer"
done
cat > "$u/tarnd-test.target" <<'UNIT'
[Unit]
Description=The system tests' machine
Requires=basic.target
Wants=dbus.service systemd-logind.service polkit.service
After=basic.target
AllowIsolate=yes
UNIT
hostname tarnd-system

cd "$r"
mkdir -p .oldroot
pivot_root . .oldroot
umount -l /.oldroot
rmdir /.oldroot
export container=other
exec /lib/systemd/systemd --system --unit=tarnd-test.target
