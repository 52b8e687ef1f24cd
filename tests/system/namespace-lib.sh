# shellcheck shell=bash
# What the system tests that run in namespaces of their own share (test-static-client.sh,
# test-ipv6.sh, test-relay.sh): sourced by each from the top of the tree, with test_name set
# to the script's name for its messages. Inside, each keeps the processes it starts in pids
# (ended by end_started, by pid), makes its /dev private with its own log socket
# (private_dev), and reports one PASS or FAIL line per check (verdict, check), counted in
# checks and failures.

die() {
	printf '%s: %s\n' "$test_name" "$*" >&2
	exit 1
}

# The processes started inside, each ended by its pid when the script ends.
pids=()
# shellcheck disable=SC2317 # called by the EXIT trap
end_started() {
	local pid
	for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
	wait
}

# private_dev: /dev is the machine's, so a tmpfs covers it here, with the few devices the
# daemon and the shell need bound back; the stand-in systemctl ($fake) is bound over the real
# one; socat then holds the test's own /dev/log, writing what it gets to $work/daemon.log.
# Needs a mount namespace of the test's own and $work.
private_dev() {
	local device real
	if ! { mkdir "$work/dev-aside" && mount --bind /dev "$work/dev-aside" &&
		mount -t tmpfs -o mode=755,size=1m tmpfs /dev; }; then
		die "cannot make a private /dev"
	fi
	for device in null zero full random urandom tty; do
		if ! { touch "/dev/$device" && mount --bind "$work/dev-aside/$device" "/dev/$device"; }; then
			die "cannot bind /dev/$device"
		fi
	done
	umount "$work/dev-aside"
	for real in /usr/bin/systemctl /bin/systemctl /usr/sbin/systemctl; do
		if [ -e "$real" ] && ! mount --bind "$fake" "$real" 2>/dev/null; then
			mountpoint -q "$real" || die "cannot bind the stand-in over $real"
		fi
	done
	socat -u UNIX-RECV:/dev/log OPEN:"$work/daemon.log",creat,append &
	pids+=($!)
}

# bound PORT: whether a UDP socket here is bound to PORT (called through wait_for).
# shellcheck disable=SC2317
bound() { [ -n "$(ss -Hlun "sport = :$1")" ]; }

# wait_for CONDITION: true as soon as the shell text CONDITION holds, within 5 s.
wait_for() {
	local tries=50
	until eval "$1"; do
		tries=$((tries - 1))
		[ $tries -gt 0 ] || return 1
		sleep 0.1
	done
}

failures=0
checks=0
# verdict PASS|FAIL TITLE: one check's line.
verdict() {
	printf '%s %s\n' "$1" "$2"
	checks=$((checks + 1))
	[ "$1" = PASS ] || failures=$((failures + 1))
}

# check TITLE COMMAND...: PASS when COMMAND succeeds.
check() {
	local title=$1
	shift
	if "$@"; then verdict PASS "$title"; else verdict FAIL "$title"; fi
}

# The daemon's log lines so far: socat writes the datagrams one after another, each from its
# "<priority>" on.
daemon_log() { sed 's/<[0-9]*>/\n&/g' "$work/daemon.log" | sed '/^$/d'; }
