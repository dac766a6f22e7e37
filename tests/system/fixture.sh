# Sourced by the system tests: boots this machine's own systemd, with dbus, logind and polkitd,
# as PID 1 of private namespaces on a throw-away overlay of the root, and runs commands inside,
# as root or as a user of a logind session. Whatever happens, fixture_down (run on EXIT) leaves
# no namespace, cgroup, mount or process behind.
#
#   fixture_check       skip (exit 77, saying why) where the kernel refuses the namespaces
#   fixture_up DIR      boot, with the host folder DIR seen inside as /srv/tarnd-test
#   in_sys CMD...       run CMD inside as root (outside any unit: use systemd-run for real work)
#   as_user USER CMD    run the shell text CMD as USER in a new active local session
#   session_open NAME USER [seat]   a session that lives on and takes commands:
#   session_run NAME CMD            runs the shell text CMD in it; its output and status
#   fixture_down        power off, kill what is left, remove the cgroup

FIXTURE_NAME=tarnd-system-$$
FIXTURE_CG=/sys/fs/cgroup/unified/$FIXTURE_NAME
FIXTURE_PID=
FIXTURE_LAUNCHER=

fixture_skip() { echo "SKIP: $*"; exit 77; }

# The container's PID 1 is its only process whose namespace pid is 1.
fixture_find_init() {
    local p
    for p in $(cat "$FIXTURE_CG/cgroup.procs" 2>/dev/null); do
        if grep -qE '^NSpid:\s+[0-9]+\s+1$' "/proc/$p/status" 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# Skips the test (exit 77) where the kernel will not give the namespaces.
fixture_check() {
    [ -d /sys/fs/cgroup/unified ] || [ "$(stat -fc %T /sys/fs/cgroup)" = cgroup2fs ] ||
        fixture_skip "no cgroup2 hierarchy to give the booted systemd"
    [ -d /sys/fs/cgroup/unified ] || FIXTURE_CG=/sys/fs/cgroup/$FIXTURE_NAME
    local refused
    refused=$(unshare --mount --uts --ipc --net --pid --cgroup --fork --propagation private true 2>&1) ||
        fixture_skip "the kernel refuses private namespaces here: $refused"
}

fixture_up() {
    local share=$1 log=$1/boot.log own
    fixture_check
    trap fixture_down EXIT
    trap 'exit 1' INT TERM HUP
    mkdir "$FIXTURE_CG"
    own=$(sed -n 's/^0:://p' /proc/self/cgroup)
    (
        echo "$BASHPID" > "$FIXTURE_CG/cgroup.procs"
        export FIXTURE_SHARE=$share
        exec setsid unshare --mount --uts --ipc --net --pid --cgroup --fork --propagation private \
            /bin/sh "$(dirname "${BASH_SOURCE[0]}")/fixture-init.sh"
    ) < /dev/null > "$log" 2>&1 &
    FIXTURE_LAUNCHER=$!
    local i
    for i in $(seq 200); do
        FIXTURE_PID=$(fixture_find_init) && break
        sleep 0.05
    done
    [ -n "$FIXTURE_PID" ] || { cat "$log"; echo "FAIL: the container's init did not start"; return 1; }
    # Only the container stays in its cgroup: systemd inside owns that tree.
    echo "$FIXTURE_LAUNCHER" > "/sys/fs/cgroup/unified${own:+$own}/cgroup.procs" 2>/dev/null ||
        echo "$FIXTURE_LAUNCHER" > "${FIXTURE_CG%/*}/cgroup.procs"
    for i in $(seq 300); do
        [ -e "/proc/$FIXTURE_PID/root/run/systemd/private" ] && break
        kill -0 "$FIXTURE_PID" 2>/dev/null || break
        sleep 0.05
    done
    local state
    state=$(timeout 60 nsenter -t "$FIXTURE_PID" -a systemctl is-system-running --wait 2>&1) || true
    if [ "$state" != running ]; then
        cat "$log"
        in_sys systemctl --failed --no-pager 2>&1 || true
        echo "FAIL: the booted system is '$state', not running"
        return 1
    fi
}

in_sys() { nsenter -t "$FIXTURE_PID" -a "$@"; }

# The session is local only on a seat: without one, polkit sees a remote subject.
user_env() {
    local seat=$1
    echo -p PAMName=login -E XDG_SESSION_TYPE=tty -E XDG_SESSION_CLASS=user ${seat:+-E XDG_SEAT=$seat}
}

as_user() {
    local user=$1 cmd=$2 seat=${3-seat0}
    in_sys systemd-run --wait --pipe --quiet $(user_env "$seat") -p User="$user" /bin/sh -c "$cmd" < /dev/null
}

# A shell that stays in its session, reading one command number at a time from its fifo.
session_open() {
    local name=$1 user=$2 seat=${3-seat0} dir=/run/tarnd-test/$1
    in_sys sh -c "mkdir -p $dir && mkfifo $dir/in && chown -R $user $dir"
    in_sys systemd-run --quiet --unit="session-$name" $(user_env "$seat") -p User="$user" /bin/sh -c "
        cd $dir; exec 3<>in
        while read -r n <&3; do sh -c \"\$(cat cmd.\$n)\" > out.\$n 2>&1 < /dev/null; echo \$? > rc.\$n; done"
    # Its session id once it has one.
    local i
    for i in $(seq 200); do
        in_sys sh -c "grep -q '^0::.*/session-[0-9]*\.scope' /proc/\$(systemctl show -P MainPID session-$name)/cgroup" \
            2>/dev/null && return 0
        sleep 0.05
    done
    echo "FAIL: session $name did not start"; return 1
}

session_run() {
    # Unique also across the subshells of $(...), where a counter would not go on.
    local name=$1 cmd=$2 dir=/proc/$FIXTURE_PID/root/run/tarnd-test/$1 n=$(date +%s%N)$RANDOM i
    printf '%s' "$cmd" > "$dir/cmd.$n"
    echo "$n" > "$dir/in"
    for i in $(seq 1200); do
        [ -s "$dir/rc.$n" ] && break
        sleep 0.05
    done
    cat "$dir/out.$n"
    return "$(cat "$dir/rc.$n" 2>/dev/null || echo 124)"
}

# Its id in logind.
session_id() {
    in_sys sh -c "sed -n 's|^0::.*/session-\([0-9]*\)\.scope.*|\1|p' /proc/\$(systemctl show -P MainPID session-$1)/cgroup"
}

fixture_down() {
    local rc=$? i
    trap - EXIT
    if [ -n "$FIXTURE_PID" ] && kill -0 "$FIXTURE_PID" 2>/dev/null; then
        kill -RTMIN+4 "$FIXTURE_PID" 2>/dev/null
        for i in $(seq 200); do kill -0 "$FIXTURE_PID" 2>/dev/null || break; sleep 0.05; done
        kill -KILL "$FIXTURE_PID" 2>/dev/null
    fi
    # What is left in the tree (a launcher that never got its init, say) goes too.
    if [ -d "$FIXTURE_CG" ]; then
        for i in $(seq 100); do
            find "$FIXTURE_CG" -name cgroup.procs -exec cat {} + 2>/dev/null | xargs -r kill -KILL 2>/dev/null
            find "$FIXTURE_CG" -depth -type d -exec rmdir {} + 2>/dev/null
            [ -d "$FIXTURE_CG" ] || break
            sleep 0.05
        done
    fi
    [ -n "$FIXTURE_LAUNCHER" ] && wait "$FIXTURE_LAUNCHER" 2>/dev/null
    declare -F fixture_after > /dev/null && fixture_after
    if [ -d "$FIXTURE_CG" ] || { [ -n "$FIXTURE_PID" ] && kill -0 "$FIXTURE_PID" 2>/dev/null; }; then
        echo "FAIL: the container left $FIXTURE_CG or its init $FIXTURE_PID behind"
        rc=1
    fi
    exit "$rc"
}
