#!/bin/bash
# Builds the Debian package, boots a minimal Debian 12 under systemd-nspawn and checks the
# installed package there, under a real systemd: postinst and its key, the package's
# autopkgtest (debian/tests) run as the container's root, a keyless EHLO and SUSPEND
# refused, two controllers' named keys added to the key file by systemctl reload and one of
# them revoked; systemctl reload while the daemon serves (a new key works at once, a file
# that a start would refuse fails the reload with its reason in the journal and the keys in
# use stay, a SIGHUP past the reload's check gets the daemon's own refusal, a deleted key is
# refused; one process throughout); suspend with the key over loopback and from outside, a
# host that cannot suspend (the keyed client told so: refused, status 5), one that takes it
# and stays up (--confirm: did not sleep, status 6; status: awake), a block inhibitor for
# sleep (refused: inhibited, status 5; with --ignore-inhibitors in LOMARIND_OPTIONS,
# suspended all the same), stop, crash and restart, QUIT, the allow-list, port, sleep verb
# and keyless drop-ins, a missing key file (the start fails; the unit comes up once it is
# back), the wake relay under the unit's sandbox (a key allowed to wake by reload, the magic
# packet caught outside on the veth's network), IPv4 alone as packaged and the --ipv6 drop-in
# (status ::1 answered), the status line, a restart onto a taken port, a reboot, every command line of the
# README, docs/recipes.md and the manual pages (tests/system/doc-commands.sh and .list; the
# recipes' with the static client, built by make static-client), the exposure score,
# purge. Every keyed command is the installed client's, with a copy of the key the package made.
# Each check prints one PASS or FAIL line with its evidence; the script fails if any check
# fails.
# Every start of the unit first waits for the group of its previous run to be gone (and is
# tried once more, with a line saying so, should it still fail with status=219/CGROUP): see
# start_unit.
#
# It needs root, systemd-container and debootstrap, and the first time the machine's own
# Debian mirror (a minimal root is built once and kept as a tarball in the build directory).
# The machine itself never sleeps:
# - the container's four sleep services get a drop-in, before boot, that replaces their
#   command with one appending a line to a marker file;
# - the container's /sys/power is a plain directory of ours, whose "state" file this script
#   writes ("freeze mem", so that logind says it can suspend); nothing here writes under /sys;
# - every command meant for the container goes through inside(), which first checks that its
#   target is the container's systemd, in another mount namespace than this script's.
# Its network stays in a network namespace of its own (the veth's outer end and the
# "outside" client live there), removed at the end with the container and its root.
#
#   BUILD=dir   the package, the cached root and the last run's journal (default build-system)
#   PKG_BUILD=dir   where make package builds the package it installs (default $BUILD/pkg)
#   STATIC_BUILD=dir   where make static-client builds the recipes' client (default build-static)
#   LOMARIND_TEST_UNIT=file   checks this unit file in place of the packaged one (installed
#               over it after dpkg -i): shows that a broken unit gives FAILs
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
BUILD=${BUILD:-build-system}
# The figure of systemd-analyze security that the packaged unit reaches; check 12 fails when
# a change makes it worse.
max_exposure=1.7

# shellcheck source=tests/system/debian-root.sh
. tests/system/debian-root.sh
. tests/system/doc-commands.sh

started=$SECONDS
# The script's standard error, for messages from inside command substitutions.
exec 3>&2
die() {
	printf 'test-systemd: %s\n' "$*" >&3
	# From a command substitution, end the script itself, not only the subshell.
	[ "$BASHPID" = $$ ] || kill -s TERM $$
	exit 1
}

[ "$(id -u)" -eq 0 ] || die "needs root: it boots a container"
for tool in systemd-nspawn debootstrap nsenter ip; do
	command -v "$tool" >/dev/null || die "$tool is missing: scripts/install-deps --systemd-test installs it"
done
if [ -n "${LOMARIND_TEST_UNIT:-}" ]; then
	[ -f "$LOMARIND_TEST_UNIT" ] || die "LOMARIND_TEST_UNIT: no file $LOMARIND_TEST_UNIT"
	LOMARIND_TEST_UNIT=$(realpath "$LOMARIND_TEST_UNIT")
fi
mkdir -p "$BUILD"
BUILD=$(realpath "$BUILD")
# Two runs at once on one machine would boot two containers into one control group (nspawn
# keeps the caller's), where each one's systemd removes the other's service groups and its
# restarts fail with "Failed to attach to cgroup": a run waits for any other to end first.
mkdir -p /run/lock
exec 9>/run/lock/lomarind-test-systemd.lock
flock -w 1800 9 || die "another run of this test has held /run/lock/lomarind-test-systemd.lock for 30 minutes"

netns=lmr-sys-$$
work=
nspawn_pid=
leader=

# --- the container's systemd, and the one way into it ------------------------------------

# The systemd-nspawn process started below, still ours and still nspawn.
nspawn_alive() {
	[ -n "$nspawn_pid" ] &&
		[ "$(cat "/proc/$nspawn_pid/comm" 2>/dev/null)" = systemd-nspawn ] &&
		awk -v parent=$$ '$1 == "PPid:" { p = $2 } $1 == "State:" { s = $2 }
			END { exit !(p == parent && s != "Z") }' "/proc/$nspawn_pid/status" 2>/dev/null
}

# Whether PID is the container's systemd: a child of our nspawn, named systemd, in a mount
# namespace other than this script's.
is_container_systemd() {
	local pid=$1 theirs
	[ -n "$pid" ] && nspawn_alive &&
		[ "$(cat "/proc/$pid/comm" 2>/dev/null)" = systemd ] &&
		[ "$(awk '$1 == "PPid:" { print $2 }' "/proc/$pid/status" 2>/dev/null)" = "$nspawn_pid" ] || return 1
	theirs=$(readlink "/proc/$pid/ns/mnt" 2>/dev/null) || return 1
	[ -n "$theirs" ] && [ "$theirs" != "$(readlink /proc/$$/ns/mnt)" ]
}

# Waits up to SECONDS for the container's systemd (other than NOT, the one before a reboot)
# and sets leader.
find_leader() {
	local not=${2:-} deadline=$((SECONDS + $1)) child
	while [ $SECONDS -lt $deadline ]; do
		for child in $(cat "/proc/$nspawn_pid/task/$nspawn_pid/children" 2>/dev/null); do
			if [ "$child" != "$not" ] && is_container_systemd "$child"; then
				leader=$child
				return 0
			fi
		done
		nspawn_alive || return 1
		sleep 0.2
	done
	return 1
}

# inside COMMAND...: runs COMMAND in the container, with a clean environment and a time
# limit. The only way this script runs anything there; it refuses to run anything unless
# its target is the container's systemd.
inside() {
	is_container_systemd "$leader" || die "refusing to run '$*': process '$leader' is not the container's systemd"
	timeout 60 nsenter -t "$leader" -a \
		env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 SYSTEMD_PAGER= SYSTEMD_COLORS=0 "$@"
}

# Whether the container's systemd has finished booting, well or not; while it is starting,
# systemctl cannot connect yet and prints nothing on standard output.
booted() {
	[ -n "$(inside systemctl is-system-running --wait 2>/dev/null)" ]
}

# Starts systemd-nspawn on the root and waits for the container's systemd; then makes sure
# that nothing in the container can really sleep, and sets up the veth. Dies on any failure.
boot_container() {
	# After a reboot: the veth of the previous boot goes with the container's network
	# namespace, which the kernel frees in the background; nspawn would fail to create the
	# new one under the same name, and the set-up below could pick the old one.
	wait_for 20 no_veth || die "the previous boot's veth is still in $netns"
	# A simple command run in the background, so that $! is the process that becomes
	# systemd-nspawn (nsenter and nspawn exec, they do not fork); checked below.
	SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 nsenter --net="/run/netns/$netns" \
		systemd-nspawn --boot -D "$root" --machine="lmr-sys-$$" --network-veth --register=no \
		--keep-unit --console=pipe --capability=CAP_BPF --system-call-filter=bpf \
		--bind="$power:/sys/power" </dev/null >>"$work/nspawn.log" 2>&1 &
	nspawn_pid=$!
	leader=
	wait_for 5 nspawn_alive || die "process $nspawn_pid did not become systemd-nspawn: $(cat "$work/nspawn.log")"
	find_leader 60 || die "no systemd came up in the container: $(tail -n 5 "$work/nspawn.log")"

	# Before anything can ask for a sleep: the replaced sleep services and the fake
	# /sys/power are in force, or the test stops here.
	wait_for 60 booted || die "the container's systemd did not finish booting"
	local service command
	for service in suspend hibernate hybrid-sleep suspend-then-hibernate; do
		command=$(inside systemctl show -P ExecStart "systemd-$service.service")
		case "$command" in
		*systemd-sleep*) die "systemd-$service.service still runs systemd-sleep" ;;
		*lmr-sleep-marker*) ;;
		*) die "systemd-$service.service would run '$command'; stopping before anything sleeps" ;;
		esac
	done
	[ "$(inside cat /sys/power/state)" = "$(cat "$power/state")" ] ||
		die "the container's /sys/power is not ours"

	# The veth: 198.51.100.1 outside, 198.51.100.2 in the container.
	local veth
	veth=$(ip -n "$netns" -o link show type veth | awk -F': ' '{ print $2 }' | cut -d@ -f1 | head -n 1)
	[ -n "$veth" ] || die "no veth in $netns"
	ip -n "$netns" addr add 198.51.100.1/24 dev "$veth" || die "cannot set up $veth"
	ip -n "$netns" link set "$veth" up || die "cannot set up $veth"
	inside ip addr add 198.51.100.2/24 brd + dev host0 || die "cannot set up host0"
	inside ip link set host0 up || die "cannot set up host0"
}

no_veth() { [ -z "$(ip -n "$netns" -o link show type veth)" ]; }

# outside COMMAND...: runs COMMAND on this machine, in the test's network namespace only.
outside() {
	timeout 60 nsenter --net="/run/netns/$netns" "$@"
}

cleanup() {
	local status=$? deadline
	trap - EXIT INT TERM
	if nspawn_alive; then
		if is_container_systemd "$leader"; then
			inside journalctl --no-pager -o short-monotonic >"$BUILD/test-systemd.journal" 2>&1 || true
		fi
		# SIGTERM makes nspawn halt the container; if that hangs, the container's init is
		# killed, which ends every process in it, and then nspawn.
		kill -s TERM "$nspawn_pid"
		deadline=$((SECONDS + 20))
		while nspawn_alive && [ $SECONDS -lt $deadline ]; do sleep 0.2; done
		if nspawn_alive; then
			is_container_systemd "$leader" && kill -s KILL "$leader"
			sleep 1
			nspawn_alive && kill -s KILL "$nspawn_pid"
		fi
		wait "$nspawn_pid" 2>/dev/null
	fi
	ip netns del "$netns" 2>/dev/null
	if [ -n "$work" ] && [ -d "$work" ]; then
		cp "$work/nspawn.log" "$BUILD/test-systemd.nspawn.log" 2>/dev/null
		if findmnt -rno TARGET | awk -v work="$work/" 'index($0, work) == 1 { found = 1 } END { exit !found }'; then
			echo "test-systemd: something is still mounted under $work; left in place" >&2
		else
			rm -rf --one-file-system "$work"
		fi
	fi
	exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# --- checks --------------------------------------------------------------------------------

failures=0
checks=0
retries=0
waits=0
verdict=
pass() { verdict="PASS $check -- $*"; }
fail() { verdict="FAIL $check -- $*"; }
# verdict_by STATUS EVIDENCE: PASS when STATUS, that of the check's last test, is 0.
verdict_by() { if [ "$1" = 0 ]; then pass "$2"; else fail "$2"; fi; }
# run_check N TITLE FUNCTION: one line, PASS or FAIL, with the evidence the function gives.
run_check() {
	check=$(printf '%2d %s' "$1" "$2")
	verdict=
	"$3"
	[ -n "$verdict" ] || fail "no verdict"
	printf '%s\n' "$verdict"
	checks=$((checks + 1))
	case "$verdict" in FAIL*) failures=$((failures + 1)) ;; esac
}

# wait_for SECONDS COMMAND...: true as soon as COMMAND succeeds, polled twice a second.
wait_for() {
	local deadline=$((SECONDS + $1))
	shift
	until "$@"; do
		[ $SECONDS -lt $deadline ] || return 1
		sleep 0.5
	done
}

# jcount TEXT JOURNALCTL-OPTIONS...: how many messages of this boot are exactly TEXT.
jcount() {
	local text=$1
	shift
	inside journalctl -b -q -o cat "$@" | grep -cxF -- "$text"
}
# jcount_at_least N TEXT JOURNALCTL-OPTIONS...: whether there are N such messages yet.
jcount_at_least() {
	local n=$1
	shift
	[ "$(jcount "$@")" -ge "$n" ]
}
prop() { inside systemctl show -P "$1" lomarind.service; }
# The installed client with a copy of the package's key: in the container, and from
# outside (the client of the package, over the veth). The copies are made by check 2.
client_in() { inside lomarind --key-file=/root/lmr-keys "$@"; }
client_out() { outside "$client" --key-file="$work/keys" "$@"; }
unit_is() { [ "$(prop ActiveState)" = "$1" ]; }
marker_count() { cat "$root/var/lib/lmr-sleep-marker" 2>/dev/null | wc -l; }
port_holder() { inside ss -Hulpn "sport = :$1" | grep -o 'users:(("[^"]*"' | cut -d'"' -f2; }
# port_is PORT NAME: whether UDP PORT is held by NAME. The daemon logs its start before it
# binds, and the unit is active from the exec on.
port_is() { [ "$(port_holder "$1")" = "$2" ]; }

msg_received='Received SUSPEND command. Suspending...'
msg_failed='Failed to execute systemctl suspend'
msg_will='The system will suspend now!'
# What systemctl prints when logind refuses; the README quotes it.
msg_refused='Call to Suspend failed: Sleep verb "suspend" not supported'
msg_no_hibernate='Call to Hibernate failed: Sleep verb "hibernate" not supported'
# What the keyed daemon logs when its sleep command fails, having told the client.
sleep_refused_re='Sleep refused \(systemctl suspend exit [0-9]+\); Told client 127\.0\.0\.1:[0-9]+'

# suspends LABEL COMMAND...: COMMAND, a client run, must suspend the container: the client
# prints "LABEL: suspended" and exits 0, the daemon logs the SUSPEND, logind goes to sleep,
# the marker grows by one and no failure is logged. Sets evidence either way.
suspends() {
	local label=$1 out rc m0 r0 w0 f0
	shift
	m0=$(marker_count) r0=$(jcount "$msg_received" -t lmr) w0=$(jcount "$msg_will" -t systemd-logind)
	f0=$(jcount "$msg_failed" -t lmr)
	out=$("$@" 2>&1)
	rc=$?
	if [ "$rc" != 0 ] || [ "$out" != "$label: suspended" ]; then
		evidence="client printed '$out', status $rc"
		return 1
	fi
	settled() {
		[ "$(marker_count)" -ge $((m0 + 1)) ] && [ "$(jcount "$msg_received" -t lmr)" -ge $((r0 + 1)) ] &&
			[ "$(jcount "$msg_will" -t systemd-logind)" -ge $((w0 + 1)) ]
	}
	wait_for 10 settled
	sleep 0.5
	local m1 r1 w1 f1
	m1=$(marker_count) r1=$(jcount "$msg_received" -t lmr) w1=$(jcount "$msg_will" -t systemd-logind)
	f1=$(jcount "$msg_failed" -t lmr)
	evidence="'$out' (0); lmr: $((r1 - r0))x \"$msg_received\"; logind: $((w1 - w0))x \"$msg_will\"; marker $m0->$m1; \"$msg_failed\" $((f1 - f0))x"
	[ "$m1" -eq $((m0 + 1)) ] && [ "$r1" -eq $((r0 + 1)) ] && [ "$w1" -eq $((w0 + 1)) ] && [ "$f1" -eq "$f0" ]
}

# client_says LABEL RESULT STATUS COMMAND...: COMMAND, a client run, must print
# "LABEL: RESULT" and exit with STATUS. Sets evidence either way.
client_says() {
	local label=$1 result=$2 expected=$3 out rc
	shift 3
	out=$("$@" 2>&1)
	rc=$?
	evidence="'$out' ($rc)"
	[ "$rc" = "$expected" ] && [ "$out" = "$label: $result" ]
}
# no_answer LABEL COMMAND...: COMMAND, a client run, must get no answer (status 3).
no_answer() { client_says "$1" "no answer" 3 "${@:2}"; }

# The container's cgroup race: a start right after the unit has stopped can fail with
# "Failed to attach to cgroup /system.slice/lomarind.service" (status=219/CGROUP), when
# systemd removes the old run's group, found empty, after the new start has taken it over
# and before the new process is in it. The port then stays unbound until Restart= tries
# again, 5 s later. So every start waits for the old group to be gone, and one that fails
# that way all the same is tried once more, with a line saying so.
# The unit's group as the container sees it, set by check 2 while the unit runs (which fails
# when it cannot): until then there is nothing to wait for.
unit_cgroup=
unit_cgroup_gone() { [ -z "$unit_cgroup" ] || ! inside test -e "$unit_cgroup"; }
cgroup_failures() {
	inside journalctl -b -q -o cat -u lomarind.service | grep -c 'status=219/CGROUP'
}
# start_unit VERB: systemctl VERB lomarind.service (start or restart) from a stopped unit,
# past the race above; returns systemctl's status.
start_unit() {
	local verb=$1 n0 rc
	if ! unit_cgroup_gone; then
		waits=$((waits + 1))
		wait_for 10 unit_cgroup_gone ||
			echo "   note: lomarind.service's cgroup is still there 10 s after it stopped; starting it anyway"
	fi
	n0=$(cgroup_failures)
	inside systemctl "$verb" lomarind.service >/dev/null 2>&1
	rc=$?
	if [ "$rc" != 0 ] && [ "$(cgroup_failures)" -gt "$n0" ]; then
		echo "   retry: systemctl $verb lomarind.service failed with status=219/CGROUP (the container's cgroup race); once more"
		retries=$((retries + 1))
		wait_for 10 unit_cgroup_gone
		inside systemctl "$verb" lomarind.service >/dev/null 2>&1
		rc=$?
	fi
	return "$rc"
}
# Reloads the units and restarts the daemon (a stop, then a start past the race); the checks
# look at the outcome themselves.
restart_daemon() {
	inside systemctl daemon-reload && inside systemctl stop lomarind.service &&
		start_unit start && wait_for 10 unit_is active
}
start_daemon() { start_unit start; }

check_boot() {
	local state
	state=$(inside systemctl is-system-running --wait 2>&1)
	if [ "$state" != running ]; then
		fail "system is '$state'; failed units: $(inside systemctl --failed --plain --no-legend | cut -d' ' -f1 | tr '\n' ' ')"
		return
	fi
	local dbus logind
	dbus=$(inside systemctl is-active dbus.service) logind=$(inside systemctl is-active systemd-logind.service)
	if [ "$dbus" != active ] || [ "$logind" != active ]; then
		fail "dbus $dbus, systemd-logind $logind"
		return
	fi
	pass "is-system-running: $state; dbus $dbus; systemd-logind $logind; CanSuspend $(can_suspend)"
}

can_suspend() {
	inside busctl call org.freedesktop.login1 /org/freedesktop/login1 \
		org.freedesktop.login1.Manager CanSuspend | sed 's/^s //'
}

traces() {
	inside find /etc /lib/systemd /usr/bin /usr/libexec /usr/share/doc /usr/share/man \
		/usr/share/lintian /var/lib/systemd /var/lib/dpkg/info -name '*lomarind*' -print 2>/dev/null | sort
}

check_install() {
	local out
	traces >"$work/traces-before"
	out=$(inside dpkg -i "/root/$(basename "$deb")" 2>&1) || {
		fail "dpkg -i: $(printf '%s' "$out" | tail -n 1)"
		return
	}
	# Where every later start looks for the old run's group (see start_unit); checked below.
	local group
	wait_for 10 unit_is active
	group=$(prop ControlGroup)
	[ -z "$group" ] || unit_cgroup=/sys/fs/cgroup$group
	if [ -n "${LOMARIND_TEST_UNIT:-}" ]; then
		inside cp /root/unit-under-test /lib/systemd/system/lomarind.service
		restart_daemon
	fi
	local enabled active pid logged holder
	enabled=$(inside systemctl is-enabled lomarind.service)
	wait_for 10 unit_is active
	active=$(prop ActiveState) pid=$(prop MainPID)
	if [ "$enabled" != enabled ] || [ "$active" != active ]; then
		fail "after dpkg -i the unit is $enabled, $active"
		return
	fi
	# The line from the running daemon itself, so that one from an earlier start cannot count.
	wait_for 5 jcount_at_least 1 'Starting Lomarind...' -t lmr "_PID=$pid"
	logged=$(jcount 'Starting Lomarind...' -t lmr "_PID=$pid")
	wait_for 5 port_is 9 server
	holder=$(port_holder 9)
	if [ "$logged" != 1 ] || [ "$holder" != server ]; then
		fail "main pid $pid: 'Starting Lomarind...' logged ${logged}x; UDP port 9 held by '$holder'"
		return
	fi
	if [ -z "$unit_cgroup" ] || ! inside grep -qx "$pid" "$unit_cgroup/cgroup.procs" 2>/dev/null; then
		fail "the daemon (pid $pid) is not in '$unit_cgroup', the unit's ControlGroup ('$group') as the container sees it"
		unit_cgroup=
		return
	fi
	# The key postinst made, and the copies the controllers here use.
	local key
	key=$(inside stat -c '%U:%G %a %s' /etc/lomarind/keys 2>&1)
	if [ "$key" != "root:root 600 65" ] || ! grep -Eqx '[0-9a-f]{64}' "$root/etc/lomarind/keys"; then
		fail "the key postinst made: '$key', not root's alone with 64 hex digits and a line feed"
		return
	fi
	inside install -m 600 /etc/lomarind/keys /root/lmr-keys &&
		(umask 077 && cat "$root/etc/lomarind/keys" >"$work/keys") || {
		fail "cannot copy the key for the controllers"
		return
	}
	pass "$enabled, $active, main pid $pid; journalctl -t lmr: \"Starting Lomarind...\"; UDP 9 held by $holder; in $unit_cgroup; /etc/lomarind/keys $key"
}

# The package's autopkgtest, debian/tests/control, run as autopkgtest would run it in a
# testbed where the package is installed: each test as root (all of them may need it) from
# a copy of the source tree, in a booted container (which isolation-container asks for),
# with AUTOPKGTEST_TMP set, its dependencies installed with the root; without allow-stderr,
# a test that writes to standard error fails. Its lines are shown above the verdict. Only a
# plain EHLO is sent: the tests never ask for a suspend.
check_autopkgtest() {
	local control=$root/root/lomarind-source/debian/tests/control name restrictions out rc ran=
	if [ ! -f "$control" ]; then
		fail "no debian/tests/control in the copy of the source"
		return
	fi
	local restriction
	while read -r name restrictions; do
		for restriction in $restrictions; do
			case "$restriction" in
			needs-root | isolation-container | allow-stderr) ;;
			*)
				fail "$name: restriction '$restriction', which this check does not give"
				return
				;;
			esac
		done
		out=$(inside sh -c 'cd /root/lomarind-source && tmp=$(mktemp -d) && AUTOPKGTEST_TMP=$tmp \
			debian/tests/"$1" 2>/root/autopkgtest-stderr; rc=$?; rm -rf "$tmp"; exit $rc' sh "$name")
		rc=$?
		printf '%s\n' "$out" | sed "s/^/   $name: /"
		if [ "$rc" != 0 ]; then
			fail "debian/tests/$name: status $rc (its lines above)"
			return
		elif [ -s "$root/root/autopkgtest-stderr" ] && [[ " $restrictions " != *" allow-stderr "* ]]; then
			fail "debian/tests/$name wrote to standard error: $(head -c 300 "$root/root/autopkgtest-stderr")"
			return
		fi
		ran="$ran${ran:+; }$name ($restrictions): $(printf '%s\n' "$out" | grep -c '^ok: ') ok, $(printf '%s\n' "$out" | grep -c '^skipped: ') skipped"
	done < <(autopkgtest_tests "$control")
	if [ -z "$ran" ]; then
		fail "debian/tests/control names no test"
	else
		pass "$ran"
	fi
}

check_suspend() {
	if ! suspends 127.0.0.1 client_in -t 15 suspend 127.0.0.1; then
		fail "over loopback: $evidence"
		return
	fi
	local loopback=$evidence
	if ! suspends 198.51.100.2 client_out -t 15 suspend 198.51.100.2; then
		fail "from outside over the veth: $evidence"
		return
	fi
	pass "loopback: $loopback | outside: $evidence"
}

# The unit under which journald filed systemctl's last refusal, or "-" for none. journald
# takes a sender's unit from its /proc entry; systemctl ends right after the refusal, at times
# before journald has read it, and the entry then names no unit (never another one).
refusal_unit() {
	inside journalctl -b -q -t systemctl -o json | grep -F -- "${msg_refused%%:*}" | tail -n 1 |
		sed -n 's/.*"_SYSTEMD_UNIT" *: *"\([^"]*\)".*/\1/p; t; s/.*/-/p'
}

# The host cannot suspend: the keyed client is told so. The daemon answers OK, runs
# systemctl suspend, which logind refuses with a non-zero status, and sends a proven
# REFUSED; the client prints "refused by the host (systemctl exit N)" with status 5 and the
# N that the daemon logs in "Sleep refused (systemctl suspend exit N); Told client ...", to
# the port its proven SUSPEND came from. systemctl's own refusal is in the journal, under the
# unit unless journald lost track of it, and nothing sleeps. Two ways for logind to refuse,
# each in the container only: no sleep state in its (fake) /sys/power/state, and
# AllowSuspend=no in a drop-in under its /etc/systemd/sleep.conf.d/, which logind reads at
# each call. Both are undone at the end, and logind must then say "yes" again.
check_refused() {
	local how evidence_all=
	for how in "empty /sys/power/state" "AllowSuspend=no"; do
		case "$how" in
		empty*) : >"$power/state" ;;
		AllowSuspend*)
			inside sh -c 'mkdir -p /etc/systemd/sleep.conf.d &&
				printf "[Sleep]\nAllowSuspend=no\n" >/etc/systemd/sleep.conf.d/lmr-test.conf'
			;;
		esac
		refused_once "$how"
		local ok=$?
		case "$how" in
		empty*) printf 'freeze mem\n' >"$power/state" ;;
		AllowSuspend*) inside rm -f /etc/systemd/sleep.conf.d/lmr-test.conf ;;
		esac
		if [ "$ok" != 0 ]; then
			fail "$how: $evidence"
			return
		fi
		evidence_all="$evidence_all${evidence_all:+ | }$how: $evidence"
	done
	local again
	again=$(can_suspend)
	if [ "$again" != '"yes"' ]; then
		fail "$evidence_all | undone, CanSuspend is $again, not \"yes\""
	elif ! grep -qF "systemctl[" README.md || ! grep -qF -- "$msg_refused" README.md; then
		fail "the README does not show the refusal line \"$msg_refused\""
	else
		pass "$evidence_all | undone: CanSuspend \"yes\""
	fi
}

# refused_once HOW: one keyed suspend while logind refuses (set up by the caller as HOW
# says); sets evidence, and refusal_ms to the client's time from start to answer.
refused_once() {
	local answer
	answer=$(can_suspend)
	if [ "$answer" != '"na"' ]; then
		evidence="logind's CanSuspend is $answer, not \"na\""
		return 1
	fi
	local m0 w0 f0 n0 s0 p0 out rc t0
	m0=$(marker_count) w0=$(jcount "$msg_will" -t systemd-logind) f0=$(jcount "$msg_failed" -t lmr)
	n0=$(jcount "$msg_refused" -t systemctl) s0=$(lmr_count "$sleep_refused_re")
	p0=$(proven_count '127\.0\.0\.1' default)
	t0=$(date +%s%N)
	out=$(client_in -t 15 suspend 127.0.0.1 2>&1)
	rc=$? refusal_ms=$((($(date +%s%N) - t0) / 1000000))
	wait_for 10 jcount_at_least $((n0 + 1)) "$msg_refused" -t systemctl
	wait_for 5 eval '[ "$(lmr_count "$sleep_refused_re")" -gt "$s0" ]'
	local n1 s1 line unit where="journalctl -u lomarind" told proven status
	n1=$(jcount "$msg_refused" -t systemctl) s1=$(lmr_count "$sleep_refused_re")
	line=$(inside journalctl -b -q -t systemctl -o short | grep -F -- "$msg_refused" | tail -n 1)
	unit=$(refusal_unit)
	[ "$unit" != - ] ||
		where="journalctl -t systemctl (journald named no unit: systemctl had ended before it looked)"
	# The daemon's line, and the port of the command it was proven for.
	told=$(inside journalctl -b -q -o cat -t lmr | grep -xE -- "$sleep_refused_re" | tail -n 1)
	proven=$(inside journalctl -b -q -o cat -t lmr | grep -xE 'Command from client 127\.0\.0\.1:[0-9]+ proven with key default' |
		tail -n 1 | sed 's/^Command from client \([^ ]*\) .*/\1/')
	status=$(printf '%s' "$out" | sed -n 's/^127\.0\.0\.1: refused by the host (systemctl exit \([0-9]*\))$/\1/p')
	evidence="client '$out' ($rc) after $refusal_ms ms"
	if [ -z "$status" ] || [ "$status" = 0 ] || [ "$rc" != 5 ]; then
		evidence="$evidence, not '127.0.0.1: refused by the host (systemctl exit N)' with N above 0 and status 5"
	elif [ "$(proven_count '127\.0\.0\.1' default)" != $((p0 + 1)) ]; then
		evidence="$evidence; \"Command from client 127.0.0.1:PORT proven with key default\" $(($(proven_count '127\.0\.0\.1' default) - p0))x, not once"
	elif [ "$s1" != $((s0 + 1)) ] || [ "$told" != "Sleep refused (systemctl suspend exit $status); Told client $proven" ]; then
		evidence="$evidence; the daemon logged $((s1 - s0))x \"Sleep refused ...\", the last '$told', not once 'Sleep refused (systemctl suspend exit $status); Told client $proven'"
	elif [ "$n1" != $((n0 + 1)) ]; then
		evidence="$evidence; systemctl logged \"$msg_refused\" $((n1 - n0)) times, not once"
	elif [ "$unit" != lomarind.service ] && [ "$unit" != - ]; then
		evidence="$evidence; systemctl's \"$msg_refused\" is filed under $unit, not lomarind.service"
	elif [ "$(marker_count)" != "$m0" ] || [ "$(jcount "$msg_will" -t systemd-logind)" != "$w0" ]; then
		evidence="$evidence; the container went to sleep although logind said na"
	elif [ "$(jcount "$msg_failed" -t lmr)" != "$f0" ]; then
		evidence="$evidence; the daemon logged \"$msg_failed\""
	else
		evidence="CanSuspend \"na\"; $evidence; journalctl -t lmr: \"$told\"; $where: ${line#* * * }; marker unchanged"
		return 0
	fi
	return 1
}

# A host that takes the suspend and stays up: the container's sleep service only writes the
# marker, so systemctl suspend succeeds and nothing sleeps. The client with --confirm must
# see the daemon still answering and say "did not sleep" (status 6) at its time limit, not
# "suspended"; status, before and after, says "awake" (status 0). The suspend itself is
# carried out once (the marker grows by one, no refusal is logged).
check_confirm() {
	local before after m0 s0 out rc t0 took m1 s1
	if ! client_says 127.0.0.1 awake 0 client_in -t 3 status 127.0.0.1; then
		fail "lomarind status before: $evidence"
		return
	fi
	before=$evidence
	m0=$(marker_count) s0=$(lmr_count "$sleep_refused_re")
	t0=$(date +%s%N)
	out=$(client_in -t 6 --confirm suspend 127.0.0.1 2>&1)
	rc=$? took=$((($(date +%s%N) - t0) / 1000000))
	wait_for 10 eval '[ "$(marker_count)" -gt "$m0" ]'
	m1=$(marker_count) s1=$(lmr_count "$sleep_refused_re")
	if [ "$out" != "127.0.0.1: did not sleep" ] || [ "$rc" != 6 ]; then
		fail "lomarind -t 6 --confirm suspend: '$out' ($rc) after $took ms, not '127.0.0.1: did not sleep' (6); marker $m0->$m1"
	elif [ "$m1" != $((m0 + 1)) ] || [ "$s1" != "$s0" ]; then
		fail "--confirm: '$out' ($rc), but marker $m0->$m1 and \"Sleep refused ...\" $((s1 - s0))x"
	elif ! client_says 127.0.0.1 awake 0 client_in -t 3 status 127.0.0.1; then
		fail "--confirm: '$out' ($rc) after $took ms | lomarind status after: $evidence"
	else
		after=$evidence
		pass "status before: $before | -t 6 --confirm suspend: '$out' ($rc) after $took ms, marker $m0->$m1, no refusal | status after: $after"
	fi
}

# A block inhibitor for sleep, held in the container as a backup would hold it (a transient
# unit running systemd-inhibit, so that it can be stopped cleanly). The daemon asks logind
# before its sleep command and runs none: the keyed client prints "refused by the host
# (inhibited by WHO: WHY)" and exits 5, the daemon logs "Sleep inhibited by WHO (WHY); Told
# client ..." once, for the port of the command it logged as proven, and nothing sleeps.
# Then LOMARIND_OPTIONS=--ignore-inhibitors in a drop-in (the daemon's command line shows it
# as one word of its own) lets the same suspend through while the inhibitor is still held:
# logind grants root's suspend all the same. Drop-in and inhibitor are removed at the end.
inhibitor_who=backup
inhibitor_why='Backup in progress'
inhibited_re="Sleep inhibited by $inhibitor_who \\($inhibitor_why\\); Told client 127\\.0\\.0\\.1:[0-9]+"
# The inhibitor's line in systemd-inhibit --list, its columns one space apart; empty for none.
inhibitor_line() {
	inside systemd-inhibit --list --no-pager --no-legend | tr -s ' ' | grep -F " $inhibitor_why " | head -n 1
}
# The daemon's command line, one word after another, each after a "|".
daemon_argv() { inside cat "/proc/$(prop MainPID)/cmdline" | tr '\0' '|' | sed 's/^/|/; s/|$//'; }
check_inhibitor() {
	inside systemd-run --quiet --unit=lmr-inhibitor systemd-inhibit --what=sleep --mode=block \
		--who="$inhibitor_who" --why="$inhibitor_why" sleep 120
	if ! wait_for 5 eval '[ -n "$(inhibitor_line)" ]'; then
		fail "systemd-inhibit --what=sleep --mode=block ... in lmr-inhibitor.service ($(inside systemctl is-active lmr-inhibitor.service)): not in systemd-inhibit --list"
	elif inhibited_once; then
		local held=$evidence
		inside sh -c 'mkdir -p /etc/systemd/system/lomarind.service.d &&
			printf "[Service]\nEnvironment=LOMARIND_OPTIONS=--ignore-inhibitors\n" >/etc/systemd/system/lomarind.service.d/options.conf'
		if ! restart_daemon; then
			fail "$held | with LOMARIND_OPTIONS=--ignore-inhibitors the unit is $(prop ActiveState): $(inside journalctl -b -q -o cat -u lomarind.service | tail -n 1)"
		else
			ignored_once
			verdict_by $? "$held | $evidence"
		fi
	else
		fail "$evidence"
	fi
	inside rm -rf /etc/systemd/system/lomarind.service.d
	restart_daemon
	inside systemctl stop lmr-inhibitor.service
	if ! wait_for 5 eval '[ -z "$(inhibitor_line)" ]'; then
		fail "the inhibitor is still listed once lmr-inhibitor.service is stopped: $(inhibitor_line)"
	fi
}

# inhibited_once: one keyed suspend while the inhibitor is held; sets evidence.
inhibited_once() {
	local listed argv m0 w0 r0 f0 s0 i0 p0 out rc t0 took
	listed=$(inhibitor_line) argv=$(daemon_argv)
	m0=$(marker_count) w0=$(jcount "$msg_will" -t systemd-logind) r0=$(jcount "$msg_received" -t lmr)
	f0=$(jcount "$msg_failed" -t lmr) s0=$(lmr_count "$sleep_refused_re") i0=$(lmr_count "$inhibited_re")
	p0=$(proven_count '127\.0\.0\.1' default)
	t0=$(date +%s%N)
	out=$(client_in -t 15 suspend 127.0.0.1 2>&1)
	rc=$? took=$((($(date +%s%N) - t0) / 1000000))
	wait_for 10 eval '[ "$(lmr_count "$inhibited_re")" -gt "$i0" ] || [ "$(marker_count)" -gt "$m0" ]'
	# A sleep that the daemon asked for all the same would show by now.
	sleep 1
	local m1 w1 r1 i1 told proven
	m1=$(marker_count) w1=$(jcount "$msg_will" -t systemd-logind) r1=$(jcount "$msg_received" -t lmr)
	i1=$(lmr_count "$inhibited_re")
	told=$(inside journalctl -b -q -o cat -t lmr | grep -xE -- "$inhibited_re" | tail -n 1)
	proven=$(inside journalctl -b -q -o cat -t lmr | grep -xE 'Command from client 127\.0\.0\.1:[0-9]+ proven with key default' |
		tail -n 1 | sed 's/^Command from client \([^ ]*\) .*/\1/')
	evidence="systemd-inhibit --list: '$listed'; daemon ${argv#|} | client '$out' ($rc) after $took ms; \"Sleep inhibited by $inhibitor_who ($inhibitor_why); Told client ...\" $((i1 - i0))x${told:+ ('$told')}; \"$msg_received\" $((r1 - r0))x; logind: $((w1 - w0))x \"$msg_will\"; marker $m0->$m1"
	[ "$out" = "127.0.0.1: refused by the host (inhibited by $inhibitor_who: $inhibitor_why)" ] && [ "$rc" = 5 ] &&
		[ "$(proven_count '127\.0\.0\.1' default)" = $((p0 + 1)) ] && [ "$i1" = $((i0 + 1)) ] &&
		[ "$told" = "Sleep inhibited by $inhibitor_who ($inhibitor_why); Told client $proven" ] &&
		[ "$m1" = "$m0" ] && [ "$w1" = "$w0" ] && [ "$(jcount "$msg_failed" -t lmr)" = "$f0" ] &&
		[ "$(lmr_count "$sleep_refused_re")" = "$s0" ] && [[ $argv == *"|--key-file=/etc/lomarind/keys" ]]
}

# ignored_once: with --ignore-inhibitors, one keyed suspend while the inhibitor is still held
# must suspend, and the daemon logs no inhibition; sets evidence, with what logind logged.
ignored_once() {
	local argv i0 l0 logind
	argv=$(daemon_argv) i0=$(lmr_count "$inhibited_re")
	l0=$(inside journalctl -b -q -o cat -t systemd-logind | wc -l)
	if [[ $argv != *"|--key-file=/etc/lomarind/keys|--ignore-inhibitors" ]]; then
		evidence="with LOMARIND_OPTIONS=--ignore-inhibitors the daemon runs as ${argv#|}"
		return 1
	elif ! suspends 127.0.0.1 client_in -t 15 suspend 127.0.0.1; then
		evidence="--ignore-inhibitors (${argv#|}), inhibitor held: $evidence; still listed: '$(inhibitor_line)'"
		return 1
	fi
	logind=$(inside journalctl -b -q -o cat -t systemd-logind | tail -n +$((l0 + 1)) | paste -sd '/')
	evidence="--ignore-inhibitors (daemon ${argv#|}), inhibitor still held ('$(inhibitor_line)'): $evidence; \"Sleep inhibited ...\" $(($(lmr_count "$inhibited_re") - i0))x; logind said: $logind"
	[ -n "$(inhibitor_line)" ] && [ "$(lmr_count "$inhibited_re")" = "$i0" ]
}

check_stop() {
	local t0 rc state result
	t0=$(jcount 'Received termination signal. Shutting down...' -t lmr)
	inside systemctl stop lomarind.service
	rc=$?
	state=$(prop ActiveState) result=$(prop Result)
	if [ "$rc" != 0 ] || [ "$state" != inactive ] || [ "$result" != success ]; then
		fail "systemctl stop: status $rc; unit $state, Result=$result"
	elif ! wait_for 5 jcount_at_least $((t0 + 1)) 'Received termination signal. Shutting down...' -t lmr; then
		fail "no \"Received termination signal. Shutting down...\" in journalctl -t lmr"
	else
		pass "systemctl stop: status 0; \"Received termination signal. Shutting down...\"; $state, Result=$result"
	fi
	start_daemon
}

check_crash() {
	local pid n0 t0
	wait_for 10 unit_is active
	pid=$(prop MainPID) n0=$(prop NRestarts) t0=$SECONDS
	# Only a process number greater than 1: 0 or -1 would make kill signal whole groups.
	if ! [ "$pid" -gt 1 ] 2>/dev/null; then
		fail "no main process to kill (MainPID '$pid', $(prop ActiveState))"
		return
	fi
	inside kill -s KILL "$pid"
	# RestartSec=5s: the new process comes after five seconds, not before.
	restarted() {
		local now
		now=$(prop MainPID)
		[ "$(prop ActiveState)" = active ] && [ "$now" != 0 ] && [ "$now" != "$pid" ]
	}
	if ! wait_for 15 restarted; then
		fail "not running again 15 s after kill -9 of $pid (NRestarts $(prop NRestarts))"
		return
	fi
	local elapsed=$((SECONDS - t0)) n1
	n1=$(prop NRestarts)
	if [ "$n1" != $((n0 + 1)) ] || [ "$elapsed" -lt 4 ]; then
		fail "after kill -9 of $pid: NRestarts $n0->$n1, back after ${elapsed}s"
		return
	fi
	pass "kill -9 $pid: restarted as $(prop MainPID) after ${elapsed}s (RestartSec=$(prop RestartUSec)), NRestarts $n0->$n1"
}

check_quit() {
	local out rc n0
	n0=$(prop NRestarts)
	out=$(client_in -t 15 quit 127.0.0.1 2>&1)
	rc=$?
	if [ "$out" != "127.0.0.1: stopped" ] || [ "$rc" != 0 ]; then
		fail "client printed '$out', status $rc"
		start_daemon
		return
	fi
	wait_for 5 unit_is inactive
	# Longer than RestartSec: a wrongly restarted daemon would be back by now.
	sleep 7
	local state result status n1
	state=$(prop ActiveState) result=$(prop Result) status=$(prop ExecMainStatus) n1=$(prop NRestarts)
	if [ "$state" != inactive ] || [ "$result" != success ] || [ "$status" != 0 ] || [ "$n1" != "$n0" ]; then
		fail "after QUIT: $state, Result=$result, ExecMainStatus=$status, NRestarts $n0->$n1"
	else
		pass "'$out' ($rc); 7 s later: $state, Result=$result, ExecMainStatus=$status, NRestarts $n1"
	fi
	start_daemon
}

check_allow_list() {
	local dropin=/etc/systemd/system/lomarind.service.d/allow-controllers.conf
	inside install -D -m 644 /usr/share/doc/lomarind/examples/allow-controllers.conf "$dropin"
	restart_daemon
	local pid n0 denied
	pid=$(prop MainPID)
	n0=$(inside journalctl -b -q -o cat -t lmr | wc -l)
	if ! no_answer 198.51.100.2 client_out -t 6 suspend 198.51.100.2; then
		fail "a controller outside the list: $evidence"
		inside rm -rf /etc/systemd/system/lomarind.service.d
		restart_daemon
		return
	fi
	denied=$evidence
	# A datagram that any daemon it reached would log as dropped.
	outside bash -c 'echo test >/dev/udp/198.51.100.2/9'
	sleep 1
	local n1
	n1=$(inside journalctl -b -q -o cat -t lmr | wc -l)
	if [ "$n1" != "$n0" ]; then
		fail "the daemon logged $((n1 - n0)) lines for a controller outside the list: $(inside journalctl -b -q -o cat -t lmr | tail -n 1)"
	elif ! suspends 127.0.0.1 client_in -t 15 suspend 127.0.0.1; then
		fail "loopback, in the example list: $evidence"
	else
		local loopback=$evidence
		inside sed -i 's/^IPAddressAllow=.*/& 198.51.100.1/' "$dropin"
		restart_daemon
		if ! suspends 198.51.100.2 client_out -t 15 suspend 198.51.100.2; then
			fail "the outside controller, once added to the list: $evidence"
		else
			pass "IPAddressAllow=$(prop IPAddressAllow): outside $denied, nothing logged | loopback $loopback | outside once listed: $evidence"
		fi
	fi
	inside rm -rf /etc/systemd/system/lomarind.service.d
	restart_daemon
}

check_port() {
	inside sh -c 'mkdir -p /etc/systemd/system/lomarind.service.d &&
		printf "[Service]\nEnvironment=LOMARIND_PORT=7777\n" >/etc/systemd/system/lomarind.service.d/port.conf'
	restart_daemon
	local holder
	wait_for 5 port_is 7777 server
	holder=$(port_holder 7777)
	if [ "$holder" != server ]; then
		fail "with the port drop-in, UDP 7777 is held by '$holder'"
	elif ! suspends 127.0.0.1 client_in -t 15 -p 7777 suspend 127.0.0.1; then
		fail "on port 7777: $evidence"
	else
		local moved=$evidence
		# Nothing holds port 9 now: the container's kernel answers with an ICMP port
		# unreachable, which the client reports at once.
		if ! client_says 127.0.0.1 "no daemon on port 9" 8 client_in -t 6 suspend 127.0.0.1; then
			fail "port 9, which nothing should hold: $evidence"
		else
			pass "UDP 7777 held by $holder; -p 7777: $moved | port 9: $evidence"
		fi
	fi
	inside rm -rf /etc/systemd/system/lomarind.service.d
	restart_daemon
}

# plain_suspend ADDRESS: from outside, "EHLO\n" and then a plain "SUSPEND\n" from one socket,
# as a controller of the plain protocol sends them. Prints the socket's port, then each reply
# without its line feed ("-" for none), as "PORT REPLY, REPLY".
plain_suspend() {
	outside python3 - "$1" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 0))
s.settimeout(3)
replies = []
for message in (b"EHLO\n", b"SUSPEND\n"):
    s.sendto(message, (sys.argv[1], 9))
    try:
        replies.append(s.recv(200).decode(errors="replace").rstrip("\n") or "?")
    except socket.timeout:
        replies.append("-")
print(s.getsockname()[1], ", ".join(replies))
PY
}

# lmr_count REGEX: how many of the daemon's messages in this boot match the extended REGEX
# as a whole.
lmr_count() { inside journalctl -b -q -o cat -t lmr | grep -cxE -- "$1"; }
# proven_count FROM NAME: how many commands from FROM (an address, as a regex) the daemon
# logged as proven with the key NAME.
proven_count() { lmr_count "Command from client $1:[0-9]+ proven with key $2"; }

# As installed, the daemon is keyed: a plain EHLO is answered KEYED 2 and a plain SUSPEND is
# dropped, each with its line; the client with the key suspends, and the journal names the
# key ("default": the package's key has no name); the daemon reads the package's key file
# itself (its command line names it), and the key is nowhere in the journal.
check_keyed_default() {
	if ! command -v python3 >/dev/null; then
		fail "python3 is missing on this machine (scripts/install-deps --systemd-test)"
		return
	fi
	local argv m0 r0 port replies m1 r1 keyed unproven
	argv=$(daemon_argv)
	m0=$(marker_count) r0=$(jcount "$msg_received" -t lmr)
	read -r port replies <<<"$(plain_suspend 198.51.100.2 2>&1)"
	sleep 1
	m1=$(marker_count) r1=$(jcount "$msg_received" -t lmr)
	keyed=$(jcount "EHLO without a key; Answered KEYED to client 198.51.100.1:$port" -t lmr)
	unproven=$(jcount "Command without a valid proof; Dropping packet from 198.51.100.1:$port" -t lmr)
	local plain="plain EHLO, SUSPEND from port $port: replies '$replies'; marker $m0->$m1; \"$msg_received\" $((r1 - r0))x; \"EHLO without a key; Answered KEYED ...\" ${keyed}x; \"Command without a valid proof; Dropping packet ...\" ${unproven}x"
	if [[ $argv != *"|--key-file=/etc/lomarind/keys" ]]; then
		fail "the daemon runs as ${argv#|}, not with --key-file=/etc/lomarind/keys last"
		return
	elif [ "$replies" != "KEYED 2, -" ] || [ "$m1" != "$m0" ] || [ "$r1" != "$r0" ] ||
		[ "$keyed" != 1 ] || [ "$unproven" != 1 ]; then
		fail "$plain"
		return
	fi
	local p0 p1
	p0=$(proven_count '127\.0\.0\.1' default)
	if ! suspends 127.0.0.1 client_in -t 15 suspend 127.0.0.1; then
		fail "$plain | lomarind --key-file=(copy of /etc/lomarind/keys): $evidence"
		return
	fi
	p1=$(proven_count '127\.0\.0\.1' default)
	local leaks
	leaks=$(inside journalctl -b -q -o cat | grep -ciF "$(cat "$work/keys")")
	if [ "$p1" != $((p0 + 1)) ]; then
		fail "$plain | lomarind --key-file: $evidence, but \"Command from client 127.0.0.1:PORT proven with key default\" $((p1 - p0))x"
	elif [ "$leaks" != 0 ]; then
		fail "the key is in the journal ${leaks}x"
	else
		pass "daemon ${argv#|} | $plain | lomarind --key-file: $evidence; \"... proven with key default\" 1x | key in the journal 0x"
	fi
}

# The reloads below. keys_file is the package's key file, which the daemon reads itself.
keys_file=/etc/lomarind/keys
# reload_keys: systemctl reload lomarind.service; its status, with reload_said set to the
# first line it printed ("" for none).
reload_keys() {
	local out rc
	out=$(inside systemctl reload lomarind.service 2>&1)
	rc=$?
	reload_said=$(printf '%s\n' "$out" | head -n 1)
	return "$rc"
}
# The last line that the reload's check (server --check) printed in the unit's journal:
# "FILE: N keys (NAMES)", or "Key file refused: REASON".
checked_line() {
	inside journalctl -b -q -o cat -u lomarind.service |
		grep -E "^($keys_file: [0-9]+ keys? \(|Key file refused: )" | tail -n 1
}
# unit_count TEXT: how many messages of this boot in the unit's journal are exactly TEXT.
unit_count() { jcount "$1" -u lomarind.service; }
# same_daemon PID: the unit is active and PID is still its main process.
same_daemon() { [ "$(prop ActiveState)" = active ] && [ "$(prop MainPID)" = "$1" ]; }
# keygen_line FILE NAME: the installed client's keygen makes a key for 127.0.0.1 in the
# controller's FILE and prints the host's line, "HEX NAME"; empty unless it has that form.
keygen_line() {
	local line
	line=$(inside lomarind keygen "$1" 127.0.0.1 "$2" 2>/dev/null)
	[[ $line =~ ^[0-9a-f]{64}\ $2$ ]] && [ "$(cat "$root$1")" = "${line%% *} 127.0.0.1" ] && printf '%s' "$line"
}
# The keyed status of 127.0.0.1 with a controller's key file: awake (0), or the key not
# known to the host (7); sets evidence.
awake_with() { client_says 127.0.0.1 awake 0 inside lomarind --key-file="$1" -t 3 status 127.0.0.1; }
unknown_with() {
	client_says 127.0.0.1 "key not known to the host" 7 inside lomarind --key-file="$1" -t 3 status 127.0.0.1
}

# Two controllers, each with a key of its own made by the installed client's keygen, added
# to the package's key file by name and read by the running daemon on systemctl reload: the
# reload's check names the file's keys, the daemon says it reloaded them, both suspend the
# container and the journal names each one's key; once alpha's line is deleted and the unit
# reloaded, alpha gets no proven answer (its key id is unknown: status 7, nothing sleeps) and
# beta still suspends. The daemon is one process throughout. The package's one-line key file
# is put back at the end and reloaded.
check_named_keys() {
	local alpha beta pid n0
	alpha=$(keygen_line /root/ctl-a-keys alpha) beta=$(keygen_line /root/ctl-b-keys beta)
	if [ -z "$alpha" ] || [ -z "$beta" ]; then
		fail "lomarind keygen FILE 127.0.0.1 NAME: printed '${alpha:0:8}...' and '${beta:0:8}...' (not HEX NAME); client files: $(cut -c1-8,65- "$root/root/ctl-a-keys" "$root/root/ctl-b-keys" | tr '\n' ' ')"
		return
	fi
	pid=$(prop MainPID) n0=$(prop NRestarts)
	printf '%s\n%s\n' "$alpha" "$beta" | inside sh -c "cat >>$keys_file"
	named_keys_after_reload "$pid"
	verdict_by $? "$evidence"
	inside install -m 600 /root/lmr-keys "$keys_file"
	reload_keys || echo "   note: systemctl reload with the package's key file put back: $reload_said"
	if ! same_daemon "$pid" || [ "$(prop NRestarts)" != "$n0" ]; then
		fail "$evidence | the daemon did not stay: pid $pid->$(prop MainPID), $(prop ActiveState), NRestarts $n0->$(prop NRestarts)"
	fi
}

# named_keys_after_reload PID: check_named_keys from its first reload on; sets evidence.
named_keys_after_reload() {
	local pid=$1 loaded r0 a0 b0 a1 b1 by_a by_b reloaded='Keys reloaded from /etc/lomarind/keys: 3 keys'
	r0=$(jcount "$reloaded" -t lmr) a0=$(proven_count '127\.0\.0\.1' alpha) b0=$(proven_count '127\.0\.0\.1' beta)
	if ! reload_keys; then
		evidence="systemctl reload with alpha and beta added: '$reload_said'; $(checked_line)"
		return 1
	elif ! suspends 127.0.0.1 inside lomarind --key-file=/root/ctl-a-keys -t 15 suspend 127.0.0.1; then
		evidence="reloaded ($(checked_line)) | alpha: $evidence"
		return 1
	elif by_a=$evidence && ! suspends 127.0.0.1 inside lomarind --key-file=/root/ctl-b-keys -t 15 suspend 127.0.0.1; then
		evidence="reloaded ($(checked_line)) | beta: $evidence"
		return 1
	fi
	by_b=$evidence loaded=$(checked_line)
	a1=$(proven_count '127\.0\.0\.1' alpha) b1=$(proven_count '127\.0\.0\.1' beta)
	if [ "$loaded" != "$keys_file: 3 keys (default, alpha, beta)" ] || [ "$(jcount "$reloaded" -t lmr)" != $((r0 + 1)) ]; then
		evidence="the reload's check said '$loaded'; \"$reloaded\" $(($(jcount "$reloaded" -t lmr) - r0))x"
		return 1
	elif [ "$a1" != $((a0 + 1)) ] || [ "$b1" != $((b0 + 1)) ]; then
		evidence="\"Command from client 127.0.0.1:PORT proven with key alpha\" $((a1 - a0))x, \"... beta\" $((b1 - b0))x, not once each"
		return 1
	elif ! same_daemon "$pid"; then
		evidence="after the reload the main process is $(prop MainPID) ($(prop ActiveState)), not $pid"
		return 1
	fi
	local reload="appended, systemctl reload: \"$loaded\", \"$reloaded\" (pid $pid) | alpha: $by_a; \"... proven with key alpha\" 1x | beta: $by_b; \"... proven with key beta\" 1x"
	# Revoking alpha: its line deleted, the unit reloaded. The daemon answers an EHLO naming
	# a key id it does not hold with KEYED 2, and the client reports the key as not known
	# there (status 7).
	inside sed -i '/ alpha$/d' "$keys_file"
	local m0 u0 m1 u1 revoked after
	m0=$(marker_count) u0=$(lmr_count 'Unknown key; Answered KEYED to client 127\.0\.0\.1:[0-9]+')
	if ! reload_keys; then
		evidence="$reload | alpha's line deleted, systemctl reload: '$reload_said'; $(checked_line)"
		return 1
	elif ! client_says 127.0.0.1 "key not known to the host" 7 inside lomarind --key-file=/root/ctl-a-keys -t 6 suspend 127.0.0.1; then
		evidence="$reload | revoked alpha ($(checked_line)): $evidence"
		return 1
	fi
	revoked=$evidence after=$(checked_line)
	m1=$(marker_count) u1=$(lmr_count 'Unknown key; Answered KEYED to client 127\.0\.0\.1:[0-9]+')
	if [ "$after" != "$keys_file: 2 keys (default, beta)" ] || [ "$m1" != "$m0" ] || [ "$u1" -le "$u0" ] ||
		[ "$(proven_count '127\.0\.0\.1' alpha)" != "$a1" ]; then
		evidence="$reload | revoked alpha ('$after'): $revoked; marker $m0->$m1; \"Unknown key; Answered KEYED to client 127.0.0.1:PORT\" $((u1 - u0))x; alpha proven $(($(proven_count '127\.0\.0\.1' alpha) - a1))x"
		return 1
	elif ! suspends 127.0.0.1 inside lomarind --key-file=/root/ctl-b-keys -t 15 suspend 127.0.0.1; then
		evidence="$reload | beta, after alpha's line was deleted: $evidence"
		return 1
	elif [ "$(proven_count '127\.0\.0\.1' beta)" != $((b1 + 1)) ] || ! same_daemon "$pid"; then
		evidence="$reload | beta suspended after the revocation, but \"... proven with key beta\" $(($(proven_count '127\.0\.0\.1' beta) - b1))x; main process $pid->$(prop MainPID)"
		return 1
	fi
	evidence="$reload | alpha's line deleted, systemctl reload: \"$after\": alpha $revoked, \"Unknown key; Answered KEYED to client 127.0.0.1:PORT\" $((u1 - u0))x, marker $m0->$m1 | beta: $evidence; \"... proven with key beta\" 1x | main pid $pid throughout"
}

# systemctl reload while the daemon serves, the daemon one process throughout (the same
# MainPID, active, no restart). A controller's new key (gamma), appended and reloaded, works
# at once: its suspend is sent as soon as systemctl reload returns; the package's key still
# works. Then two files that a start would refuse, each failing systemctl reload with the
# reason that the reload's check puts in the unit's journal while the keys in use stay:
# a second gamma line (a new key that keygen made for the same name, as re-keying a
# controller does), whose key is then not known to the host; and the file with mode 0644.
# SIGHUP sent straight to the daemon (systemctl kill, past the reload's check) with the
# second gamma in place gets the daemon's own refusal line. Last, gamma's line deleted and
# reloaded: gamma is not known to the host (status 7) while the package's key works on. The
# package's key file is put back at the end and reloaded.
check_reload() {
	local gamma again pid n0
	gamma=$(keygen_line /root/ctl-g-keys gamma) again=$(keygen_line /root/ctl-g2-keys gamma)
	if [ -z "$gamma" ] || [ -z "$again" ]; then
		fail "lomarind keygen FILE 127.0.0.1 gamma (twice): printed '${gamma:0:8}...' and '${again:0:8}...', not HEX gamma"
		return
	fi
	pid=$(prop MainPID) n0=$(prop NRestarts)
	if reload_added "$pid" && reload_refused "$pid" && reload_revoked "$pid"; then
		if [ "$(prop NRestarts)" != "$n0" ]; then
			fail "$evidence | but NRestarts $n0->$(prop NRestarts)"
		else
			pass "$evidence | NRestarts $n0->$(prop NRestarts)"
		fi
	else
		fail "$evidence"
	fi
	inside install -m 600 /root/lmr-keys "$keys_file"
	reload_keys || echo "   note: systemctl reload with the package's key file put back: $reload_said"
}

# reload_added PID: gamma appended and reloaded; sets evidence, the first part of
# check_reload's.
reload_added() {
	local pid=$1 r0 g0 out
	printf '%s\n' "$gamma" | inside sh -c "cat >>$keys_file"
	r0=$(jcount 'Keys reloaded from /etc/lomarind/keys: 2 keys' -t lmr) g0=$(proven_count '127\.0\.0\.1' gamma)
	if ! reload_keys; then
		evidence="gamma appended, systemctl reload: '$reload_said'; $(checked_line)"
		return 1
	elif ! suspends 127.0.0.1 inside lomarind --key-file=/root/ctl-g-keys -t 15 suspend 127.0.0.1; then
		evidence="gamma appended, reloaded ($(checked_line)), gamma at once: $evidence"
		return 1
	fi
	out=$evidence
	if [ "$(checked_line)" != "$keys_file: 2 keys (default, gamma)" ] ||
		[ "$(jcount 'Keys reloaded from /etc/lomarind/keys: 2 keys' -t lmr)" != $((r0 + 1)) ] ||
		[ "$(proven_count '127\.0\.0\.1' gamma)" != $((g0 + 1)) ]; then
		evidence="gamma appended, reloaded: the check said '$(checked_line)'; \"Keys reloaded from /etc/lomarind/keys: 2 keys\" $(($(jcount 'Keys reloaded from /etc/lomarind/keys: 2 keys' -t lmr) - r0))x; gamma: $out, proven $(($(proven_count '127\.0\.0\.1' gamma) - g0))x"
		return 1
	elif ! awake_with /root/lmr-keys; then
		evidence="gamma added: the package's key: $evidence"
		return 1
	elif ! same_daemon "$pid"; then
		evidence="gamma added: main process $pid->$(prop MainPID) ($(prop ActiveState))"
		return 1
	fi
	evidence="pid $pid | gamma appended, systemctl reload (0): \"$(checked_line)\", \"Keys reloaded from /etc/lomarind/keys: 2 keys\"; gamma at once: $out; \"... proven with key gamma\" 1x; the package's key: status $evidence"
}

# reload_refused PID: the two refused files, and SIGHUP past the check; adds to evidence.
reload_refused() {
	local pid=$1 so_far=$evidence duplicate loose said
	duplicate="Key file refused: $keys_file, line 3: the name gamma, the same as on line 2"
	printf '%s\n' "$again" | inside sh -c "cat >>$keys_file"
	refused_reload "$pid" "$duplicate" /root/ctl-g2-keys || {
		evidence="$so_far | a second gamma line: $evidence"
		return 1
	}
	said=$evidence
	# SIGHUP to the daemon alone, past the reload's check: its own refusal line.
	local hup="Keys not reloaded (${duplicate#Key file refused: }); the daemon keeps its 2 keys" h0
	h0=$(jcount "$hup" -t lmr -p err)
	inside systemctl kill --kill-who=main -s HUP lomarind.service
	if ! wait_for 5 jcount_at_least $((h0 + 1)) "$hup" -t lmr -p err; then
		evidence="$so_far | a second gamma line: $said | systemctl kill -s HUP: no \"$hup\" (err) in journalctl -t lmr; its last line: $(inside journalctl -b -q -o cat -t lmr | tail -n 1)"
		return 1
	elif ! awake_with /root/ctl-g-keys || ! unknown_with /root/ctl-g2-keys || ! same_daemon "$pid"; then
		evidence="$so_far | a second gamma line: $said | after SIGHUP: $evidence; main process $pid->$(prop MainPID)"
		return 1
	fi
	said="$said | systemctl kill -s HUP: journalctl -t lmr -p err: \"$hup\" $(($(jcount "$hup" -t lmr -p err) - h0))x; gamma still awake, the second gamma still unknown"
	inside sed -i '$d' "$keys_file"
	inside chmod 644 "$keys_file"
	loose="Key file refused: $keys_file has mode 0644: group and others must have no permission"
	refused_reload "$pid" "$loose" || {
		inside chmod 600 "$keys_file"
		evidence="$so_far | a second gamma line: $said | mode 0644: $evidence"
		return 1
	}
	inside chmod 600 "$keys_file"
	evidence="$so_far | a second gamma line: $said | mode 0644: $evidence"
}

# refused_reload PID REFUSAL [UNKNOWN]: systemctl reload fails, the unit's journal has
# REFUSAL once more from the reload's check, the daemon logs no reload, is the same process
# and still holds gamma and the package's key; a controller file UNKNOWN holds a key the
# daemon still does not know. Sets evidence.
refused_reload() {
	local pid=$1 refusal=$2 unknown=${3:-} f0 r0 rc
	f0=$(unit_count "$refusal") r0=$(lmr_count 'Keys (not )?reloaded .*')
	reload_keys
	rc=$?
	wait_for 5 eval '[ "$(unit_count "$refusal")" -gt "$f0" ]'
	evidence="systemctl reload: status $rc, '$reload_said'; journalctl -u lomarind: \"$refusal\" $(($(unit_count "$refusal") - f0))x; the daemon's reload lines $(($(lmr_count 'Keys (not )?reloaded .*') - r0))x; pid $pid->$(prop MainPID) ($(prop ActiveState))"
	[ "$rc" != 0 ] && [ "$(unit_count "$refusal")" = $((f0 + 1)) ] && [ "$(lmr_count 'Keys (not )?reloaded .*')" = "$r0" ] &&
		same_daemon "$pid" || return 1
	local kept=$evidence
	if ! awake_with /root/ctl-g-keys; then
		evidence="$kept; gamma: $evidence"
		return 1
	elif ! awake_with /root/lmr-keys; then
		evidence="$kept; the package's key: $evidence"
		return 1
	elif [ -n "$unknown" ] && ! unknown_with "$unknown"; then
		evidence="$kept; the refused file's new key: $evidence"
		return 1
	fi
	evidence="$kept; gamma and the package's key still awake"
	[ -z "$unknown" ] || evidence="$evidence, the new key of the refused file unknown (7)"
}

# reload_revoked PID: gamma's line deleted and reloaded; adds to evidence.
reload_revoked() {
	local pid=$1 so_far=$evidence u0 revoked
	inside sed -i '/ gamma$/d' "$keys_file"
	u0=$(lmr_count 'Unknown key; Answered KEYED to client 127\.0\.0\.1:[0-9]+')
	if ! reload_keys; then
		evidence="$so_far | gamma's line deleted, systemctl reload: '$reload_said'; $(checked_line)"
		return 1
	elif ! unknown_with /root/ctl-g-keys; then
		evidence="$so_far | gamma's line deleted, reloaded ($(checked_line)): gamma $evidence"
		return 1
	fi
	revoked=$evidence
	if [ "$(checked_line)" != "$keys_file: 1 key (default)" ] ||
		[ "$(lmr_count 'Unknown key; Answered KEYED to client 127\.0\.0\.1:[0-9]+')" -le "$u0" ]; then
		evidence="$so_far | gamma's line deleted, reloaded: the check said '$(checked_line)'; gamma $revoked; \"Unknown key; Answered KEYED ...\" $(($(lmr_count 'Unknown key; Answered KEYED to client 127\.0\.0\.1:[0-9]+') - u0))x"
		return 1
	elif ! awake_with /root/lmr-keys || ! same_daemon "$pid"; then
		evidence="$so_far | gamma revoked ($revoked); the package's key: $evidence; main process $pid->$(prop MainPID)"
		return 1
	fi
	evidence="$so_far | gamma's line deleted, systemctl reload (0): \"$(checked_line)\"; gamma $revoked, \"Unknown key; Answered KEYED ...\" logged; the package's key: status $evidence | main pid $(prop MainPID), $(prop ActiveState)"
}

# Without its key file the keyed unit does not run: a start fails at once, the daemon's
# reason in the unit's journal, and the unit waits to try again (Restart=on-failure); once
# the file is back it comes up by itself, RestartSec later, with no one starting it.
# The wake relay under the unit's sandbox: a key allowed to wake (the word wake after its name,
# added by reload) asks the daemon for a magic packet; it goes out on host0's network, where
# the test catches it on port 9 outside the container, byte for byte.
check_relay() {
	local line out rc packet="$work/relay-packet" catcher logged
	line=$(keygen_line /root/ctl-w-keys waker)
	if [ -z "$line" ]; then
		fail "lomarind keygen /root/ctl-w-keys 127.0.0.1 waker did not print HEX waker"
		return
	fi
	printf '%s wake\n' "$line" | inside sh -c "cat >>$keys_file"
	if ! reload_keys; then
		fail "systemctl reload with the line 'HEX waker wake' added: $reload_said"
	else
		rm -f "$packet"
		outside socat -u UDP4-RECV:9 OPEN:"$packet",creat &
		catcher=$!
		wait_for 5 eval '[ -n "$(outside ss -Hlun "sport = :9")" ]'
		out=$(inside lomarind --key-file /root/ctl-w-keys wake --via 127.0.0.1 00:11:22:33:44:55 2>&1)
		rc=$?
		wait_for 5 eval '[ "$(stat -c %s "$packet" 2>/dev/null || echo 0)" -ge 102 ]'
		kill "$catcher" 2>/dev/null
		wait "$catcher" 2>/dev/null
		logged=$(inside journalctl -b -q -o cat -t lmr | grep -F 'Wake for 00:11:22:33:44:55' | tail -n 1)
		evidence="client '$out' ($rc); caught outside on port 9: $(stat -c %s "$packet" 2>/dev/null || echo 0) bytes ($(od -An -tx1 -N12 "$packet" 2>/dev/null | tr -s ' ')...); log '$logged'"
		if [ "$out" = "00:11:22:33:44:55: magic packet sent by 127.0.0.1" ] && [ "$rc" = 0 ] &&
			cmp -s "$packet" <({
				printf '\xff%.0s' 1 2 3 4 5 6
				for _ in $(seq 16); do printf '\x00\x11\x22\x33\x44\x55'; done
			}) &&
			[[ $logged =~ ^Wake\ for\ 00:11:22:33:44:55\ relayed\ to\ 198\.51\.100\.255\ with\ key\ waker\;\ Told\ client\ 127\.0\.0\.1:[0-9]+$ ]]; then
			pass "$evidence"
		else
			fail "$evidence"
		fi
	fi
	inside install -m 600 /root/lmr-keys "$keys_file"
	reload_keys || echo "   note: systemctl reload with the package's key file put back: $reload_said"
}

# The packaged unit listens on IPv4 alone; the drop-in that the README gives adds the IPv6
# socket, which the unit's sandbox lets the daemon make, and a keyed status over ::1 is
# answered. Without the drop-in again, IPv4 alone.
check_ipv6_dropin() {
	local before with argv out rc after
	before=$(inside ss -Hlun 'sport = :9' | awk '{ print $4 }' | sort | paste -sd ' ')
	inside sh -c 'mkdir -p /etc/systemd/system/lomarind.service.d &&
		printf "[Service]\nEnvironment=LOMARIND_OPTIONS=--ipv6\n" >/etc/systemd/system/lomarind.service.d/ipv6.conf'
	if ! restart_daemon; then
		fail "with LOMARIND_OPTIONS=--ipv6 the unit is $(prop ActiveState): $(inside journalctl -b -q -o cat -u lomarind.service | tail -n 1)"
	else
		with=$(inside ss -Hlun 'sport = :9' | awk '{ print $4 }' | sort | paste -sd ' ')
		argv=$(daemon_argv | sed 's/^|//')
		out=$(client_in -t 5 status ::1 2>&1)
		rc=$?
		inside rm -rf /etc/systemd/system/lomarind.service.d
		restart_daemon
		after=$(inside ss -Hlun 'sport = :9' | awk '{ print $4 }' | sort | paste -sd ' ')
		evidence="packaged: $before | drop-in LOMARIND_OPTIONS=--ipv6 (daemon $argv): $with; client '$out' ($rc) | drop-in removed: $after"
		if [ "$before" = "0.0.0.0:9" ] && [ "$with" = "0.0.0.0:9 [::]:9" ] && [ "$out" = "::1: awake" ] &&
			[[ $argv == *"|--ipv6" ]] &&
			[ "$rc" = 0 ] && [ "$after" = "0.0.0.0:9" ]; then
			pass "$evidence"
		else
			fail "$evidence"
		fi
	fi
	inside rm -rf /etc/systemd/system/lomarind.service.d
}

check_missing_key() {
	local refusal="Key file refused: $keys_file: No such file or directory" f0 rc state n0
	inside mv "$keys_file" "$keys_file.aside"
	inside systemctl stop lomarind.service
	f0=$(jcount "$refusal" -t lmr -p err) n0=$(prop NRestarts)
	start_unit restart
	rc=$?
	wait_for 5 eval '[ "$(jcount "$refusal" -t lmr -p err)" -gt "$f0" ]'
	state="$(prop ActiveState)/$(prop SubState)"
	local failed="without $keys_file: systemctl restart status $rc; journalctl -t lmr -p err: \"$refusal\" $(($(jcount "$refusal" -t lmr -p err) - f0))x; unit $state"
	inside mv "$keys_file.aside" "$keys_file"
	if [ "$rc" = 0 ] || [ "$(jcount "$refusal" -t lmr -p err)" -le "$f0" ] || [ "$state" = active/running ]; then
		fail "$failed"
	elif ! wait_for 15 eval '[ "$(prop ActiveState)" = active ] && port_is 9 server'; then
		fail "$failed | the key file back: 15 s later $(prop ActiveState)/$(prop SubState), NRestarts $n0->$(prop NRestarts)"
	elif ! awake_with /root/lmr-keys; then
		fail "$failed | the key file back: $(prop ActiveState), but the package's key: $evidence"
	else
		pass "$failed | the key file back: by itself $(prop ActiveState), pid $(prop MainPID), NRestarts $n0->$(prop NRestarts); the package's key: status $evidence"
	fi
	wait_for 10 unit_is active || restart_daemon
}

# The keyless example drop-in: the plain protocol suspends again, and the unit starts even
# without the key file, which its command line does not name; a reload then only signals the
# daemon, which logs that it has no key file to read.
check_keyless() {
	local dropin=/etc/systemd/system/lomarind.service.d/keyless.conf
	inside install -D -m 644 /usr/share/doc/lomarind/examples/keyless.conf "$dropin"
	restart_daemon
	local command m0 port replies m1 keyless
	command=$(prop ExecStart | grep -o 'argv\[\]=[^;]*')
	m0=$(marker_count)
	read -r port replies <<<"$(plain_suspend 198.51.100.2 2>&1)"
	wait_for 10 eval '[ "$(marker_count)" -gt "$m0" ]'
	m1=$(marker_count)
	if [ "$replies" != "START, OK" ] || [ "$m1" != $((m0 + 1)) ]; then
		fail "with keyless.conf ($command): plain EHLO, SUSPEND: replies '$replies'; marker $m0->$m1"
	elif ! suspends 127.0.0.1 inside lomarind -t 15 suspend 127.0.0.1; then
		fail "with keyless.conf, the client without a key: $evidence"
	else
		keyless=$evidence
		inside mv /etc/lomarind/keys /etc/lomarind/keys.aside
		restart_daemon
		local state pid w0 reload rc
		state=$(prop ActiveState) pid=$(prop MainPID)
		# A reload has no key file to check: the daemon is signalled and says why it
		# reloads nothing.
		reload='No key file to reload: the daemon runs without keys'
		w0=$(jcount "$reload" -t lmr -p warning)
		reload_keys
		rc=$?
		wait_for 5 jcount_at_least $((w0 + 1)) "$reload" -t lmr -p warning
		inside mv /etc/lomarind/keys.aside /etc/lomarind/keys
		if [ "$state" != active ]; then
			fail "with keyless.conf and no /etc/lomarind/keys the unit is $state"
		elif [ "$rc" != 0 ] || [ "$(jcount "$reload" -t lmr -p warning)" != $((w0 + 1)) ] || ! same_daemon "$pid"; then
			fail "with keyless.conf and no /etc/lomarind/keys, systemctl reload: status $rc, '$reload_said'; \"$reload\" $(($(jcount "$reload" -t lmr -p warning) - w0))x; pid $pid->$(prop MainPID)"
		else
			pass "$command | plain EHLO, SUSPEND: '$replies', marker $m0->$m1 | client without a key: $keyless | without /etc/lomarind/keys: $state; systemctl reload (0): \"$reload\" (warning) 1x, pid $pid"
		fi
	fi
	inside rm -rf /etc/systemd/system/lomarind.service.d
	restart_daemon
}

# LOMARIND_SLEEP=hibernate: a SUSPEND reaches "systemctl hibernate", which runs the replaced
# hibernate service (the marker) or is refused by logind, whichever the container does; the
# keyed client's answer must say which: "suspended" (0) for the marker, "refused by the host
# (systemctl exit N)" (5) for the refusal, with the daemon's "Sleep refused (systemctl
# hibernate exit N); Told client ..." for the same N.
check_hibernate() {
	inside sh -c 'mkdir -p /etc/systemd/system/lomarind.service.d &&
		printf "[Service]\nEnvironment=LOMARIND_SLEEP=hibernate\n" >/etc/systemd/system/lomarind.service.d/sleep.conf'
	restart_daemon
	local n0 h0 out rc
	hibernations() { cat "$root/var/lib/lmr-sleep-marker" 2>/dev/null | grep -c hibernate; }
	n0=$(jcount "$msg_no_hibernate" -t systemctl) h0=$(hibernations)
	out=$(client_in -t 15 suspend 127.0.0.1 2>&1)
	rc=$?
	reached() { jcount_at_least $((n0 + 1)) "$msg_no_hibernate" -t systemctl || [ "$(hibernations)" -gt "$h0" ]; }
	wait_for 10 reached
	local refused status told=
	refused=$(($(jcount "$msg_no_hibernate" -t systemctl) - n0))
	status=$(printf '%s' "$out" | sed -n 's/^127\.0\.0\.1: refused by the host (systemctl exit \([1-9][0-9]*\))$/\1/p')
	if [ "$refused" -gt 0 ]; then
		told_count() { lmr_count "Sleep refused \(systemctl hibernate exit $status\); Told client 127\.0\.0\.1:[0-9]+"; }
		wait_for 5 eval '[ "$(told_count)" -ge 1 ]'
		told=$(told_count)
		[ "$refused" = 1 ] && [ -n "$status" ] && [ "$rc" = 5 ] && [ "$(hibernations)" = "$h0" ] && [ "$told" = 1 ]
	else
		[ "$(hibernations)" = $((h0 + 1)) ] && [ "$out" = "127.0.0.1: suspended" ] && [ "$rc" = 0 ]
	fi && [ "$(jcount 'Failed to execute systemctl hibernate' -t lmr)" = 0 ]
	verdict_by $? "client '$out' ($rc); journalctl -t systemctl: $(inside journalctl -b -q -o cat \
		-t systemctl | tail -n 1); \"Sleep refused (systemctl hibernate exit ${status:-N}); Told client ...\" ${told:-0}x; marker: hibernate ${h0}x->$(hibernations)x; CanHibernate $(inside busctl call \
		org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.login1.Manager CanHibernate)"
	inside rm -rf /etc/systemd/system/lomarind.service.d
	restart_daemon
}

# systemctl status: keyed, as installed, a stranger's plain EHLO holds nothing, and the status
# line goes on saying that the daemon waits; with the keyless drop-in it shows the session
# and, once it has ended, the wait for the next.
check_status() {
	local line keyed during
	status_is() { line=$(inside systemctl status --no-pager lomarind.service | grep -F "Status: \"$1"); }
	outside bash -c 'printf "EHLO\n" >/dev/udp/198.51.100.2/9'
	sleep 1
	if ! status_is 'Waiting for a client'; then
		fail "keyed, 1 s after a plain EHLO from 198.51.100.1: $(inside systemctl status --no-pager lomarind.service | grep -F 'Status:')"
		return
	fi
	keyed=$line
	inside install -D -m 644 /usr/share/doc/lomarind/examples/keyless.conf \
		/etc/systemd/system/lomarind.service.d/keyless.conf
	restart_daemon
	outside bash -c 'printf "EHLO\n" >/dev/udp/198.51.100.2/9'
	wait_for 3 status_is 'Session open for client 198.51.100.1:' && during=$line && wait_for 8 status_is 'Waiting for a client'
	verdict_by $? "keyed, 1 s after a plain EHLO:${keyed#*:} | keyless.conf: during a session from 198.51.100.1:${during#*:} | after its end:${line#*:}"
	inside rm -rf /etc/systemd/system/lomarind.service.d
	restart_daemon
}

# A restart onto a port that another socket holds fails at once, with a non-zero status. The
# holder is perl's, without SO_REUSEADDR (systemd's own sockets set it, and share the port).
check_port_taken() {
	inside systemctl stop lomarind.service
	inside systemd-run --quiet --unit=lmr-holder perl -MIO::Socket::INET -e \
		'my $s = IO::Socket::INET->new(LocalAddr => "0.0.0.0:9", Proto => "udp") or die; sleep 60'
	wait_for 5 eval '[ "$(port_holder 9)" = perl ]'
	local holder t0 rc took
	wait_for 10 unit_cgroup_gone
	holder=$(port_holder 9) t0=$(date +%s%N)
	start_unit restart
	rc=$? took=$((($(date +%s%N) - t0) / 1000000))
	inside systemctl stop lmr-holder.service lomarind.service
	[ "$holder" = perl ] && [ "$rc" != 0 ] && [ "$took" -lt 5000 ] && jcount_at_least 1 'Error binding' -t lmr && restart_daemon
	verdict_by $? "UDP 9 held by '$holder': systemctl restart status $rc after $took ms, \
\"Error binding\" $(jcount 'Error binding' -t lmr)x; port freed: $(prop ActiveState)"
}

check_reboot() {
	local old=$leader how="" rc deadline=$((SECONDS + 60))
	inside systemctl reboot
	# nspawn either boots the container again itself or ends with status 133, which asks
	# whoever started it to do so (as systemd-nspawn@.service does).
	while [ -z "$how" ] && [ $SECONDS -lt $deadline ]; do
		if find_leader 1 "$old"; then
			how="systemd-nspawn booted it again"
		elif ! nspawn_alive; then
			wait "$nspawn_pid"
			rc=$?
			nspawn_pid=
			if [ "$rc" != 133 ]; then
				fail "systemd-nspawn ended with status $rc on reboot"
				return
			fi
			boot_container
			how="systemd-nspawn ended with status 133 and was started again"
		fi
	done
	if [ -z "$how" ]; then
		fail "no container systemd came back after the reboot"
		return
	fi
	local state active pid
	state=$(inside systemctl is-system-running --wait 2>&1)
	wait_for 10 unit_is active
	active=$(prop ActiveState) pid=$(prop MainPID)
	if [ "$active" != active ]; then
		fail "after the reboot (system $state) the unit is $active"
	elif ! wait_for 5 jcount_at_least 1 'Starting Lomarind...' -t lmr "_PID=$pid"; then
		fail "after the reboot the daemon (pid $pid) did not log \"Starting Lomarind...\""
	else
		pass "$how (systemd: host pid $old->$leader); system $state; lomarind.service $active, pid $pid, \"Starting Lomarind...\" in this boot"
	fi
}

check_exposure() {
	local line score
	line=$(inside systemd-analyze security --no-pager lomarind.service 2>&1 | tail -n 1)
	score=$(printf '%s' "$line" | sed -n 's/.*lomarind.service: \([0-9.]*\) .*/\1/p')
	if [ -z "$score" ]; then
		fail "no score in systemd-analyze security: $line"
	elif awk -v s="$score" -v m="$max_exposure" 'BEGIN { exit !(s > m) }'; then
		fail "$line (above $max_exposure)"
	else
		pass "$line (at most $max_exposure)"
	fi
}

check_purge() {
	local out
	out=$(inside dpkg --purge lomarind 2>&1) || {
		fail "dpkg --purge: $(printf '%s' "$out" | tail -n 1)"
		return
	}
	traces >"$work/traces-after"
	local left status
	left=$(diff "$work/traces-before" "$work/traces-after" | sed -n 's/^> //p' | tr '\n' ' ')
	status=$(inside dpkg-query -W -f '${Status}' lomarind 2>/dev/null) || status="unknown to dpkg"
	if [ -n "$left" ]; then
		fail "left after purge: $left"
	elif inside systemctl cat lomarind.service >/dev/null 2>&1; then
		fail "systemd still knows lomarind.service after purge"
	elif [ -n "$(port_holder 9)" ]; then
		fail "UDP 9 still held by $(port_holder 9)"
	elif inside test -e /etc/lomarind; then
		fail "/etc/lomarind is still there after purge: $(inside ls -la /etc/lomarind)"
	else
		pass "lomarind $status; no key, no files, enablement links or deb-systemd-helper state named lomarind; systemd knows no such unit; UDP 9 free"
	fi
}

# --- the package and the container ----------------------------------------------------------

echo "== building the package (make package)"
PKG_BUILD=${PKG_BUILD:-$BUILD/pkg}
make package PKG_BUILD="$PKG_BUILD" >"$BUILD/package.log" 2>&1 || {
	tail -n 30 "$BUILD/package.log"
	die "make package failed (log: $BUILD/package.log)"
}
deb=$PKG_BUILD/lomarind_$(dpkg-parsechangelog -S Version)_$(dpkg --print-architecture).deb
[ -f "$deb" ] || die "no package $deb"
deb=$(realpath "$deb")
echo "   $deb"

work=$(mktemp -d "$BUILD/run.XXXXXX")
root=$work/root
power=$work/power
client=$work/client/usr/bin/lomarind

echo "== a minimal Debian 12 root"
# The package's dependencies are in the root already, so that dpkg -i can configure it, and
# those of its autopkgtest.
packages=$(printf '%s\n' systemd,systemd-sysv,dbus,libpam-systemd,iproute2,procps \
	"$(package_depends "$deb")" "$(autopkgtest_depends debian/tests/control)" |
	tr ',' '\n' | awk 'NF && !seen[$0]++' | paste -sd, -)
debian_root "$root" "$BUILD/debian12-nspawn.tar" "$packages" || die "no Debian root"
echo lmr-sys >"$root/etc/hostname"
cp "$deb" "$root/root/"
# The source tree's autopkgtest, for check 19.
mkdir -p "$root/root/lomarind-source/debian"
cp -r debian/tests "$root/root/lomarind-source/debian/"
[ -z "${LOMARIND_TEST_UNIT:-}" ] || cp "$LOMARIND_TEST_UNIT" "$root/root/unit-under-test"
# The packaged client, run from the outside end of the veth.
dpkg-deb -x "$deb" "$work/client"

# The sleep services only append to the marker file, whatever asks for them.
for service in suspend hibernate hybrid-sleep suspend-then-hibernate; do
	mkdir -p "$root/etc/systemd/system/systemd-$service.service.d"
	cat >"$root/etc/systemd/system/systemd-$service.service.d/zz-lmr-test.conf" <<EOF
[Service]
ExecStart=
ExecStart=/bin/sh -c "echo systemd-$service >>/var/lib/lmr-sleep-marker"
EOF
done
# The container's /sys/power: logind reads what sleep states there are from "state".
mkdir "$power"
printf 'freeze mem\n' >"$power/state"

echo "== booting it (systemd-nspawn, network namespace $netns)"
ip netns add "$netns" || die "cannot create network namespace $netns"
boot_container
echo "   systemd-nspawn $nspawn_pid, the container's systemd $leader ($(readlink "/proc/$leader/ns/mnt"))"

echo "== checks"
run_check 1 "boots to running; dbus and logind active" check_boot
run_check 2 "dpkg -i makes the key, enables and starts lomarind.service" check_install
run_check 19 "the package's autopkgtest (debian/tests), as the container's root" check_autopkgtest
run_check 16 "keyed as installed: a plain EHLO gets KEYED 2, a plain SUSPEND does nothing, the key suspends" check_keyed_default
run_check 18 "two named keys added by systemctl reload: both suspend; one revoked by reload, the other still does" check_named_keys
run_check 22 "systemctl reload: a new key at once; refused files (a duplicate name, mode 0644) keep the keys; a key revoked; one daemon throughout" check_reload
run_check 3 "the client suspends the container, over loopback and from outside" check_suspend
run_check 4 "logind cannot suspend (no sleep state; AllowSuspend=no): the client says refused, status 5" check_refused
run_check 20 "--confirm on a host that takes the suspend and stays up: did not sleep, status 6" check_confirm
run_check 21 "a block inhibitor for sleep: refused, inhibited (status 5); --ignore-inhibitors suspends" check_inhibitor
run_check 5 "systemctl stop" check_stop
run_check 6 "kill -9 of the main process: restarted after RestartSec" check_crash
run_check 7 "lomarind quit: exits 0 and stays stopped" check_quit
run_check 8 "the allow-list example drop-in" check_allow_list
run_check 9 "a port drop-in: 7777" check_port
run_check 13 "a sleep verb drop-in: hibernate" check_hibernate
run_check 14 "systemctl status: keyed, no session; keyless, the session" check_status
run_check 15 "restart onto a taken port fails at once" check_port_taken
run_check 17 "the keyless example drop-in: the plain protocol again" check_keyless
run_check 25 "the wake relay under the unit: a key allowed to wake sends the packet on the container's network" check_relay
run_check 26 "IPv4 alone as packaged; the --ipv6 drop-in adds IPv6, and status ::1 is answered" check_ipv6_dropin
run_check 23 "no key file: the start fails with the reason; the unit comes up by itself once it is back" check_missing_key
run_check 10 "after a reboot the unit is active again" check_reboot
run_check 24 "every command line of the README, the recipes and the manual pages, as doc-commands.list runs it" check_doc_commands
run_check 12 "systemd-analyze security exposure" check_exposure
run_check 11 "dpkg --purge leaves nothing" check_purge

printf '\n%d of %d checks failed; starts that waited for the old cgroup: %d, retried after the cgroup race: %d; %d s in all (journal: %s)\n' \
	"$failures" "$checks" "$waits" "$retries" $((SECONDS - started)) "$BUILD/test-systemd.journal"
[ "$failures" -eq 0 ]
