#!/bin/bash
# A real suspend and resume: boots a Debian 12 guest kernel under QEMU (software emulation,
# no KVM needed) with the package of this checkout installed and its unit enabled, and puts
# the guest to sleep (ACPI S3) from this machine through forwarded UDP ports, twice in a
# row, waking it each time with QMP's system_wakeup. The guest runs two daemons: the unit
# as the package installs it (keyed, with the key its postinst made, on port 9), and a copy
# of that unit with the package's keyless drop-in on port 7777, for the plain protocol.
#   round 1 (keyed): the packaged client, with a copy of the guest's key, reports the
#            guest awake (status), then suspends it with --confirm and says "suspended" only
#            after QMP's SUSPEND event and 1.4 s or more after the guest's last answer to a
#            probe asking all the while; while it sleeps, status says "no answer"; a
#            wake --wait started then reports "awake after N s" only after the wake; after
#            it the keyed daemon answers again (KEYED 2 to a plain EHLO, and status "awake");
#   round 2 (keyless): a probe (one socket kept open) opens a session with the keyless
#            daemon and suspends the guest in it; after the wake END reaches it; a client's
#            QUIT sent right after the wake completes as soon as the session has ended;
#   then the keyed client's QUIT stops the keyed daemon, which has served across both
#            sleeps; both units then stay stopped.
# The key is the one postinst made in the guest's root when the image was built, copied out
# of it then and kept beside the image. The script then reads the guest's journal: each
# daemon's lines in order and nothing else from it (the keyed one names the key that proved
# each command; each says how long the guest slept, once per sleep, within 2 s of the time
# from QMP's SUSPEND event to its WAKEUP), the kernel's S3 entry and exit in each round, one
# start of each unit and no restart.
#
# Only the guest sleeps. The daemon runs inside the guest, and the only processes started
# here are QEMU, socat (QMP), the client and the probe: nothing here runs a sleep command on
# this machine. QEMU boots the image with snapshot=on, so the cached image never changes.
# The guest has an IPv4 address on QEMU's user-mode network, no IPv6 and no route beyond
# that network. (Its restrict=on would cut the guest off instead, but it drops every UDP
# datagram from the guest, the replies through the forward included.)
#
# Needs root to build the guest image (debootstrap, chroot, dpkg), which is cached under
# $SYSTEM_BUILD: the base root as a tarball (built once, about 3 minutes), and the image
# with its kernel and initrd, rebuilt when the package's contents or this script change
# (about 20 s), so that the package tested is always the one of the current checkout.
#   PKG_BUILD=dir     where `make package` builds the .deb (default build-pkg, as test-deb.sh)
#   BUILD=dir         the CMake build directory for the probe (default build)
#   SYSTEM_BUILD=dir  the cache (default build-system); the last run's logs stay in
#                     $SYSTEM_BUILD/suspend-vm-logs
#   VM_PORT=port      the loopback port forwarded to the guest's port 9, the keyed daemon's
#                     (default: the first one from 45090 that no UDP socket holds)
#   VM_PLAIN_PORT=port  the one forwarded to the keyless daemon's port 7777 (default: the
#                     next free one after VM_PORT)
set -euo pipefail
cd "$(dirname "$0")/../.."
# shellcheck source=tests/system/debian-root.sh
. tests/system/debian-root.sh

PKG_BUILD=${PKG_BUILD:-build-pkg}
BUILD=${BUILD:-build}
SYSTEM_BUILD=${SYSTEM_BUILD:-build-system}
# How long the guest is left asleep before the wake, in seconds.
ASLEEP=2

began=$EPOCHREALTIME
# since T0 [T1]: seconds from T0 to T1 (default now), two decimals.
since() { awk -v a="$1" -v b="${2:-$EPOCHREALTIME}" 'BEGIN { printf "%.2f", b - a }'; }
# before T0 SECONDS: true while less than SECONDS have passed since T0.
before() { awk -v s="$(since "$1")" -v l="$2" 'BEGIN { exit !(s < l) }'; }
step() { printf '[%7s s] %s\n' "$(since "$began")" "$*"; }
ok() { printf '[%7s s] ok: %s\n' "$(since "$began")" "$*"; }
fail() {
	printf '[%7s s] FAILED: %s\n' "$(since "$began")" "$*" >&2
	exit 1
}

for tool in qemu-system-x86_64 socat mkfs.ext4 dpkg-deb cmake ss openssl; do
	command -v "$tool" >/dev/null || fail "$tool is missing (scripts/install-deps --vm-test)"
done

mkdir -p "$SYSTEM_BUILD"
cache=$(cd "$SYSTEM_BUILD" && pwd)
run=$(mktemp -d "$cache/suspend-vm.XXXXXX")
# The QMP socket and FIFO: in a short private directory (mode 0700), since a unix socket's
# path has at most 107 bytes, however deep the checkout is.
sock=$(mktemp -d /tmp/lmr-vm.XXXXXX)
logs=$cache/suspend-vm-logs
qemu_pid='' socat_pid='' quit_pid='' wake_pid='' confirm_pid='' probe_pid=''
# ours PID NAME [PARENT]: whether PID is a process named NAME whose parent is PARENT (this
# script by default). Bash reaps its children as they end, so a pid once started here may
# since have gone to another process.
ours() {
	[ -n "$1" ] && [ "$(cat "/proc/$1/comm" 2>/dev/null)" = "$2" ] &&
		[ "$(awk '$1 == "PPid:" { print $2 }' "/proc/$1/status" 2>/dev/null)" = "${3:-$$}" ]
}
cleanup() {
	local status=$?
	set +e
	# Only the processes started here and still running, by their pid.
	ours "$probe_pid" lmr-udp-probe && kill "$probe_pid"
	if [ -n "$quit_pid" ]; then
		# The client itself, then the subshell that waits for it.
		ours "$(cat "$run/quit.pid" 2>/dev/null)" lomarind "$quit_pid" && kill "$(cat "$run/quit.pid")"
		wait "$quit_pid"
	fi
	local job
	for job in wake confirm; do
		local pid_var=${job}_pid
		[ -n "${!pid_var}" ] || continue
		ours "$(cat "$run/$job.pid" 2>/dev/null)" lomarind "${!pid_var}" && kill "$(cat "$run/$job.pid")"
		wait "${!pid_var}"
	done
	ours "$socat_pid" socat && kill "$socat_pid"
	ours "$qemu_pid" qemu-system-x86 && kill "$qemu_pid" && wait "$qemu_pid" 2>/dev/null
	if [ -f "$run/journal.log" ]; then
		rm -rf "$logs" && mkdir -p "$logs"
		cp "$run"/*.log "$logs"/ 2>/dev/null
		if [ "$status" -ne 0 ]; then
			printf '\nThe guest journal, its last lines:\n' >&2
			tr -d '\r' <"$run/journal.log" | tail -n 40 >&2
			printf 'The logs of this run are in %s\n' "$logs" >&2
		fi
	fi
	rm -rf "$sock"
	# Nothing is mounted here; should that change, a mount point is left alone, not emptied.
	if findmnt -rno TARGET | awk -v run="$run/" 'index($0, run) == 1 { found = 1 } END { exit !found }'; then
		echo "something is still mounted under $run; left in place" >&2
	else
		rm -rf --one-file-system "$run"
	fi
	exit "$status"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# ---------------------------------------------------------------------------------------
step "building the package (make package) and the probe"
make --no-print-directory package PKG_BUILD="$PKG_BUILD" JOBS=2 >"$run/build.log" 2>&1 ||
	{ tail -n 30 "$run/build.log" >&2; fail "make package"; }
version=$(dpkg-parsechangelog -S Version)
deb=$PKG_BUILD/lomarind_${version}_$(dpkg --print-architecture).deb
if [ -z "$version" ] || [ ! -f "$deb" ]; then
	fail "no package at $deb"
fi
[ -f "$BUILD/CMakeCache.txt" ] || cmake -S . -B "$BUILD" >>"$run/build.log" 2>&1 ||
	{ tail -n 30 "$run/build.log" >&2; fail "configuring $BUILD"; }
cmake --build "$BUILD" --target lmr-udp-probe -j 2 >>"$run/build.log" 2>&1 ||
	{ tail -n 30 "$run/build.log" >&2; fail "building lmr-udp-probe"; }
probe=$(cd "$BUILD" && pwd)/tests/support/lmr-udp-probe
# The client as the package installs it.
dpkg-deb -x "$deb" "$run/pkg"
client=$run/pkg/usr/bin/lomarind
[ -x "$client" ] || fail "the package holds no /usr/bin/lomarind"
ok "$deb, its client and $probe"

# ---------------------------------------------------------------------------------------
# The guest: a minimal Debian 12 with a kernel, systemd, logind and D-Bus (what
# "systemctl suspend" goes through), the package installed as dpkg installs it, a static
# address on the user-mode network and no default route, and a unit that copies the journal to the second
# serial port, where this script reads it.
image=$cache/suspend-vm
# The image is keyed by what the package holds (every file's content, mode and link target,
# its control files) and by this script; the .deb itself is rebuilt with new time stamps
# by every `make package`.
dpkg-deb -R "$deb" "$run/deb"
key="$(cd "$run/deb" && find . -printf '%M %p %l\n' | LC_ALL=C sort &&
	find . -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum)"
key="$(sha256sum <<<"$key" | cut -d' ' -f1) $(sha256sum <"$0" | cut -d' ' -f1)"
build_image() {
	[ "$(id -u)" -eq 0 ] || fail "building the guest image needs root (debootstrap, chroot, dpkg)"
	local root=$run/root started=$EPOCHREALTIME
	step "building the guest image (the base root is cached in $cache/suspend-vm-root.tar)"
	# The package's dependencies are in the root already, so that dpkg -i can configure it.
	debian_root "$root" "$cache/suspend-vm-root.tar" \
		"linux-image-amd64,systemd,systemd-sysv,dbus,libpam-systemd,iproute2,udev,$(package_depends "$deb")" ||
		fail "cannot build the guest's root"
	ok "base root ready after $(since "$started") s"

	# The postinst enables the unit; starting it is refused (and systemctl would not act
	# in a chroot anyway).
	printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
	chmod 755 "$root/usr/sbin/policy-rc.d"
	cp "$deb" "$root/tmp/lomarind.deb"
	chroot "$root" dpkg -i /tmp/lomarind.deb >"$run/dpkg.log" 2>&1 ||
		{ cat "$run/dpkg.log" >&2; fail "dpkg -i in the guest's root"; }
	rm "$root/tmp/lomarind.deb" "$root/usr/sbin/policy-rc.d"
	[ -L "$root/etc/systemd/system/multi-user.target.wants/lomarind.service" ] ||
		fail "the package did not enable lomarind.service"
	# The unit stays as installed, keyed with the key postinst made: a copy goes beside the
	# image, for the client here.
	[ "$(stat -c '%U %a' "$root/etc/lomarind/keys" 2>&1)" = "root 600" ] &&
		grep -Eqx '[0-9a-f]{64}' "$root/etc/lomarind/keys" ||
		fail "the package made no key /etc/lomarind/keys of root's alone with 64 hex digits"
	mkdir -p "$run/image"
	install -m 600 "$root/etc/lomarind/keys" "$run/image/lomarind-keys"
	# A second daemon for the plain protocol, whose session round 2 holds across a sleep: a
	# copy of the packaged unit with the package's keyless drop-in, on port 7777.
	local unit keyless=$root/usr/share/doc/lomarind/examples/keyless.conf plain=$root/etc/systemd/system/lomarind-plain.service
	unit=$(cd "$run/deb" && find . -path '*/systemd/system/lomarind.service' | head -n 1)
	[ -n "$unit" ] || fail "the package holds no lomarind.service"
	[ -f "$keyless" ] || fail "the package holds no $keyless"
	cp "$root/${unit#./}" "$plain"
	install -D -m 644 "$keyless" "$plain.d/keyless.conf"
	printf '[Service]\nEnvironment=LOMARIND_PORT=7777\n' >"$plain.d/port.conf"
	chroot "$root" systemctl --quiet enable lomarind-plain.service

	echo lmr-guest >"$root/etc/hostname"
	printf '/dev/vda / ext4 rw 0 0\n' >"$root/etc/fstab"
	[ -s "$root/etc/machine-id" ] || chroot "$root" systemd-machine-id-setup >/dev/null
	cat >"$root/etc/systemd/network/50-guest.network" <<-'EOF'
		[Match]
		Name=en*
		[Network]
		Address=10.0.2.15/24
		LinkLocalAddressing=no
		IPv6AcceptRA=no
	EOF
	cat >"$root/etc/systemd/system/journal-to-serial.service" <<-'EOF'
		[Unit]
		Description=Copy the journal to the second serial port
		After=systemd-journald.service
		[Service]
		ExecStart=/bin/sh -c 'stty -F /dev/ttyS1 115200 raw -echo && exec journalctl --boot --follow --no-tail --output=short-precise >/dev/ttyS1'
		[Install]
		WantedBy=multi-user.target
	EOF
	chroot "$root" systemctl --quiet enable systemd-networkd.service journal-to-serial.service
	# Nothing that asks at the console, logs in, or reaches for the network on a timer.
	chroot "$root" systemctl --quiet mask systemd-firstboot.service getty@tty1.service \
		serial-getty@ttyS0.service apt-daily.timer apt-daily-upgrade.timer \
		e2scrub_all.timer fstrim.timer

	local kernel=("$root"/boot/vmlinuz-*) initrd=("$root"/boot/initrd.img-*)
	if [ ! -f "${kernel[0]}" ] || [ ! -f "${initrd[0]}" ]; then
		fail "no kernel or initrd under the guest's /boot"
	fi
	cp "${kernel[0]}" "$run/image/vmlinuz"
	cp "${initrd[0]}" "$run/image/initrd.img"
	mkfs.ext4 -q -F -L lmr-guest -d "$root" "$run/image/root.img" 1536M ||
		fail "mkfs.ext4 -d"
	echo "$key" >"$run/image/key"
	rm -rf "$image" && mv "$run/image" "$image"
	rm -rf "$root"
	ok "guest image built in $(since "$started") s: $image"
}
if [ "$(cat "$image/key" 2>/dev/null)" = "$key" ]; then
	ok "guest image cached in $image (same package and script)"
else
	build_image
fi
# The client's copy of the guest's key.
keys=$image/lomarind-keys
[ -s "$keys" ] || fail "no copy of the guest's key at $keys"

# ---------------------------------------------------------------------------------------
step "booting the guest (QEMU, TCG, 1 CPU, 512 MB)"
qmp_socket=$sock/qmp.sock
# The forwarded ports: VM_PORT, or the first from 45090 that no UDP socket holds, and
# VM_PLAIN_PORT, or the next free one after it.
free_port() {
	local port=$1
	while [ -n "$(ss -Huan "sport = :$port")" ]; do port=$((port + 1)); done
	echo "$port"
}
VM_PORT=${VM_PORT:-$(free_port 45090)}
VM_PLAIN_PORT=${VM_PLAIN_PORT:-$(free_port $((VM_PORT + 1)))}
qemu-system-x86_64 -machine pc -m 512 -smp 1 -accel tcg \
	-kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
	-append 'root=/dev/vda rw console=ttyS0 quiet mem_sleep_default=deep' \
	-drive "file=$image/root.img,if=virtio,format=raw,snapshot=on" \
	-netdev "user,id=n0,ipv6=off,hostfwd=udp:127.0.0.1:$VM_PORT-:9,hostfwd=udp:127.0.0.1:$VM_PLAIN_PORT-:7777" \
	-device virtio-net-pci,netdev=n0 \
	-serial "file:$run/console.log" -serial "file:$run/journal.log" \
	-qmp "unix:$qmp_socket,server=on,wait=off" -display none -no-reboot \
	>"$run/qemu.log" 2>&1 &
qemu_pid=$!
booted=$EPOCHREALTIME

alive() { ours "$qemu_pid" qemu-system-x86 || fail "QEMU ended: $(tail -n 5 "$run/qemu.log")"; }

# count FILE TEXT: how many lines of FILE hold TEXT (a fixed string); 0 while FILE is missing.
count() {
	local n
	n=$(grep -caF -- "$2" "$1" 2>/dev/null) || true
	echo "${n:-0}"
}
# await FILE TEXT N SECONDS: waits until N lines of FILE hold TEXT.
await() {
	local deadline=$((EPOCHSECONDS + $4))
	while [ "$(count "$1" "$2")" -lt "$3" ]; do
		alive
		[ "$EPOCHSECONDS" -lt "$deadline" ] || fail "no '$2' (#$3) in $(basename "$1") after $4 s"
		sleep 0.05
	done
}

# QMP: one connection for the whole run, so that no event is missed. Commands go in
# through a FIFO; replies and events (with QEMU's wall-clock timestamps) collect in qmp.log.
for _ in $(seq 300); do [ -S "$qmp_socket" ] && break; alive; sleep 0.1; done
[ -S "$qmp_socket" ] || fail "no QMP socket 30 s after QEMU started"
mkfifo "$sock/qmp.in"
exec {qmp_in}<>"$sock/qmp.in"
# The log exists before anything looks for a line in it.
: >"$run/qmp.log"
socat STDIO "UNIX-CONNECT:$qmp_socket" <"$sock/qmp.in" >>"$run/qmp.log" 2>&1 &
socat_pid=$!
qmp_id=0
# qmp COMMAND: runs a QMP command and sets qmp_reply to its reply line.
qmp() {
	qmp_id=$((qmp_id + 1))
	printf '{"execute": "%s", "id": "c%d"}\n' "$1" "$qmp_id" >&"$qmp_in"
	await "$run/qmp.log" "\"id\": \"c$qmp_id\"" 1 10
	qmp_reply=$(grep -aF "\"id\": \"c$qmp_id\"" "$run/qmp.log")
	case $qmp_reply in *'"error"'*) fail "QMP $1: $qmp_reply" ;; esac
}
# event_time NAME N: QEMU's timestamp of the Nth event NAME.
event_time() {
	grep -aF "\"event\": \"$1\"" "$run/qmp.log" | sed -n "$2p" |
		sed -n 's/.*"seconds": \([0-9]*\), "microseconds": \([0-9]*\).*/\1 \2/p' |
		awk '{ printf "%d.%06d", $1, $2 }'
}
# guest_status: sets vm_status to QMP's run state of the guest.
guest_status() {
	qmp query-status
	vm_status=$(sed -n 's/.*"status": "\([a-z-]*\)".*/\1/p' <<<"$qmp_reply")
}
qmp qmp_capabilities

await "$run/journal.log" "Startup finished in" 1 300
# The serial port writes a line a few bytes at a time: the wait is for the whole message.
await "$run/journal.log" "Starting Lomarind..." 2 10
boot=$(since "$booted")
ok "guest up and both units started, $boot s after QEMU started"

# The probe: one socket, driven line by line (a line out is a datagram to PORT; a line in is
# "TIME TEXT" for each datagram that came back). probe_start PORT starts it; probe_stop ends
# it (it ends when its standard input does).
probe_start() {
	coproc PROBE { exec "$probe" "$1"; }
	probe_pid=$PROBE_PID
	probe_part=''
}
probe_stop() {
	local input=${PROBE[1]}
	exec {input}>&-
	wait "$probe_pid" || fail "the probe ended with status $?"
	probe_pid=''
}
# probe_send WORD
probe_send() { printf '%s\n' "$1" >&"${PROBE[1]}"; }
# probe_read SECONDS: the next datagram within SECONDS, as reply_at and reply. Bash reads a
# pipe a byte at a time, so the time limit can run out inside a line that has already
# arrived: read keeps what it has read of it, and the rest comes with the next call. The
# part is kept here and completed by the next read, never taken for a whole line.
probe_part=''
probe_read() {
	local line
	if ! read -r -t "$1" -u "${PROBE[0]}" line; then
		probe_part+=$line
		return 1
	fi
	read -r reply_at reply <<<"$probe_part$line"
	probe_part=''
}
# probe_expect WORD SECONDS: skips the LOCKED answers to EHLOs still under way; fails on
# any other word or on silence.
probe_expect() {
	local deadline=$((EPOCHSECONDS + $2))
	while [ "$EPOCHSECONDS" -le "$deadline" ]; do
		probe_read 1 || continue
		[ "$reply" = "$1" ] && return 0
		[ "$reply" = LOCKED ] || fail "the probe got '$reply' while waiting for $1"
	done
	fail "no $1 reached the probe within $2 s"
}

# asleep ROUND SINCE [WHAT]: waits for the guest's Nth SUSPEND event and checks that it
# stays suspended; sets slept_after to the time from SINCE (WHAT, by default the daemon's OK)
# to the event.
asleep() {
	await "$run/qmp.log" '"event": "SUSPEND"' "$1" 30
	slept_after=$(since "$2" "$(event_time SUSPEND "$1")")
	guest_status
	[ "$vm_status" = suspended ] || fail "QMP status is '$vm_status' after the SUSPEND event"
	local what="the daemon's OK"
	[ -z "${3:-}" ] || what=$3
	ok "the guest is asleep: QMP SUSPEND event $slept_after s after $what, status suspended"
	sleep "$ASLEEP"
	guest_status
	[ "$vm_status" = suspended ] || fail "the guest woke by itself: status $vm_status"
	ok "still suspended after $ASLEEP s"
}
# wake: system_wakeup; sets woke to the time it returned.
wake() {
	qmp system_wakeup
	woke=$EPOCHREALTIME
}
# running: checks that the guest runs again after the wake.
running() {
	guest_status
	[ "$vm_status" = running ] || fail "QMP status is '$vm_status' after system_wakeup"
	ok "system_wakeup: status running"
}

# ---------------------------------------------------------------------------------------
step "round 1 (keyed): the packaged client, with the guest's key, confirms the guest's sleep"
# keyed CLIENT-ARGUMENTS...: the packaged client with the guest's key, to the keyed daemon's
# forwarded port; sets out and rc, never fails by itself.
keyed() {
	rc=0
	out=$("$client" --key-file="$keys" -p "$VM_PORT" "$@" 2>&1) || rc=$?
}
# The sensor of a dashboard: up, the guest is "awake" (status 0).
keyed -t 3 status 127.0.0.1
[ "$rc" -eq 0 ] && [ "$out" = "127.0.0.1: awake" ] ||
	fail "status before the suspend: '$out', status $rc; expected '127.0.0.1: awake', status 0"
ok "before the suspend, lomarind status: '$out' ($rc)"
# With --confirm the client says "suspended" only once the guest has stopped answering its
# proven probes: after QEMU's SUSPEND event, never before it, and after four of its probes
# 500 ms apart have gone unanswered. Meanwhile the probe asks the keyed daemon every 0.2 s
# with a keyed EHLO of its own (answered START, without a log line), so the guest's last
# answer is known: a probe of the client sent after it can be answered no more, and the
# fourth is sent 1.5 s after the first, so the client's answer comes at least 1.5 s, less a
# round trip, after that last answer (1.4 s is checked). The key id is the one the manual
# page's openssl line makes.
key_id=$(printf '%s' 'lomarind-v2 key-id' |
	openssl dgst -sha256 -mac HMAC -macopt "hexkey:$(cut -c1-64 "$keys" | head -n 1)" | sed 's/.*= //' | cut -c1-8)
[[ $key_id =~ ^[0-9a-f]{8}$ ]] || fail "cannot make the key id of the guest's key with openssl: '$key_id'"
probe_start "$VM_PORT"
confirm_began=$EPOCHREALTIME
(
	set +e
	"$client" --key-file="$keys" -p "$VM_PORT" -t 20 --confirm suspend 127.0.0.1 >"$run/confirm.out" 2>&1 &
	echo "$!" >"$run/confirm.pid"
	wait "$!"
	echo "$? $EPOCHREALTIME" >"$run/confirm.status.part" && mv "$run/confirm.status.part" "$run/confirm.status"
) &
confirm_pid=$!
last_answer='' answers=0
while [ ! -f "$run/confirm.status" ]; do
	alive
	before "$confirm_began" 30 || fail "client --confirm still runs 30 s after its start (-t 20)"
	probe_send "EHLO $key_id $(printf '%08x' "$answers")0123456789abcdef01234567"
	while probe_read 0.2; do
		case $reply in "START "*) ;; *) fail "the keyed daemon answered the probe's keyed EHLO with '$reply'" ;; esac
		last_answer=$reply_at answers=$((answers + 1))
	done
done
wait "$confirm_pid" || true
confirm_pid=''
read -r rc confirmed_at <"$run/confirm.status"
out=$(cat "$run/confirm.out")
# Nothing may answer once the client has said that the guest sleeps.
while probe_read 0.5; do
	awk -v a="$reply_at" -v c="$confirmed_at" 'BEGIN { exit !(a < c) }' ||
		fail "the guest answered the probe ('${reply:0:5}...') $(since "$confirmed_at" "$reply_at") s after the client said '$out'"
	last_answer=$reply_at answers=$((answers + 1))
done
probe_stop
confirm_took=$(since "$confirm_began" "$confirmed_at")
[ "$rc" -eq 0 ] && [ "$out" = "127.0.0.1: suspended" ] ||
	fail "client --confirm: '$out', status $rc after $confirm_took s; expected '127.0.0.1: suspended', status 0"
[ -n "$last_answer" ] || fail "the keyed daemon never answered the probe's keyed EHLO ($key_id)"
silent_for=$(since "$last_answer" "$confirmed_at")
awk -v s="$silent_for" 'BEGIN { exit !(s >= 1.4) }' ||
	fail "client --confirm said '$out' $silent_for s after the guest's last answer to the probe; four probes 500 ms apart take at least 1.5 s"
# QEMU stamps its events with this machine's wall clock, as EPOCHREALTIME is.
await "$run/qmp.log" '"event": "SUSPEND"' 1 30
suspend1_at=$(event_time SUSPEND 1)
confirm_after=$(since "$suspend1_at" "$confirmed_at")
awk -v s="$confirm_after" 'BEGIN { exit !(s > 0) }' ||
	fail "client --confirm said '$out' $(since "$confirmed_at" "$suspend1_at") s before QMP's SUSPEND event"
ok "client --key-file --confirm: '$out' ($rc) after $confirm_took s, $confirm_after s after QMP's SUSPEND event, $silent_for s after the guest's last answer to the probe ($answers answers)"
asleep 1 "$confirm_began" "the client's start"
slept1=$slept_after
# While the guest sleeps the sensor is off: "no answer" (status 3) within its -t, and the
# guest still asleep afterwards (the client's EHLOs did not wake it).
asleep_status_began=$EPOCHREALTIME
keyed -t 3 status 127.0.0.1
asleep_status_took=$(since "$asleep_status_began")
[ "$rc" -eq 3 ] && [ "$out" = "127.0.0.1: no answer" ] ||
	fail "status while the guest sleeps: '$out', status $rc; expected '127.0.0.1: no answer', status 3"
guest_status
[ "$vm_status" = suspended ] || fail "status $vm_status after lomarind status, which must not wake the guest"
ok "while asleep, lomarind -t 3 status: '$out' ($rc) after $asleep_status_took s; still suspended"
# wake --wait, started while the guest sleeps: it sends the magic packet (here to a loopback
# port where nothing listens: QEMU's user network carries no broadcast to the guest, and the
# wake is QMP's) and a keyed EHLO through the forwarded port every second, and must answer
# "awake after N s" only after system_wakeup.
magic_port=$(free_port $((VM_PLAIN_PORT + 1)))
wake_began=$EPOCHREALTIME
(
	set +e
	"$client" --key-file="$keys" -b 127.0.0.1 -p "$magic_port" -t 30 \
		wake --wait "127.0.0.1:$VM_PORT=52:54:00:12:34:56" >"$run/wake.out" 2>&1 &
	echo "$!" >"$run/wake.pid"
	wait "$!"
	echo "$? $EPOCHREALTIME" >"$run/wake.status"
) &
wake_pid=$!
sleep 1.5
[ ! -f "$run/wake.status" ] ||
	fail "wake --wait ended while the guest slept: '$(cat "$run/wake.out")', $(cat "$run/wake.status")"
wake
running
# The keyed daemon's next answer: a plain EHLO every 0.2 s from the probe until one is
# answered, with KEYED 2.
probe_start "$VM_PORT"
while :; do
	alive
	before "$woke" 60 || fail "no answer from the keyed daemon within 60 s of the wake"
	probe_send EHLO
	probe_read 0.2 && break
done
answer1=$(since "$woke" "$reply_at")
[ "$reply" = "KEYED 2" ] || fail "the keyed daemon answered a plain EHLO with '$reply'"
ok "the keyed daemon answered '$reply' $answer1 s after the wake"
probe_stop
wait "$wake_pid" || true
wake_pid=''
read -r wake_status wake_done <"$run/wake.status"
wake_out=$(cat "$run/wake.out")
wake_after=$(since "$woke" "$wake_done")
[ "$wake_status" -eq 0 ] && [[ $wake_out =~ ^127\.0\.0\.1:$VM_PORT:\ awake\ after\ ([0-9]+(\.[0-9]+)?)\ s$ ]] ||
	fail "wake --wait: '$wake_out', status $wake_status; expected '127.0.0.1:$VM_PORT: awake after N s', status 0"
awk -v s="$wake_after" 'BEGIN { exit !(s > 0) }' ||
	fail "wake --wait said '$wake_out' $(since "$wake_done" "$woke") s before system_wakeup returned"
ok "wake --wait, started $(since "$wake_began" "$woke") s before the wake: '$wake_out' ($wake_status), $wake_after s after it"
# The sensor is on again.
keyed -t 3 status 127.0.0.1
[ "$rc" -eq 0 ] && [ "$out" = "127.0.0.1: awake" ] ||
	fail "status after the wake: '$out', status $rc; expected '127.0.0.1: awake', status 0"
status_after=$(since "$woke")
ok "after the wake, lomarind status: '$out' ($rc), $status_after s after the wake"

# ---------------------------------------------------------------------------------------
step "round 2 (keyless): the probe opens a session with the keyless daemon and suspends the guest in it"
probe_start "$VM_PLAIN_PORT"
probe_send EHLO
probe_expect START 10
probe_send SUSPEND
probe_expect OK 10
ok_at=$reply_at
ok "probe: START, OK"
asleep 2 "$ok_at"
slept2=$slept_after
wake
# A QUIT right after the wake: the client meets the probe's session still open and must
# complete as soon as it has ended, within its time limit.
quit_began=$EPOCHREALTIME
(
	set +e
	"$client" -p "$VM_PLAIN_PORT" -t 15 quit 127.0.0.1 >"$run/quit.out" 2>&1 &
	echo "$!" >"$run/quit.pid"
	wait "$!"
	echo "$? $EPOCHREALTIME" >"$run/quit.status"
) &
quit_pid=$!
running
probe_expect END 30
end_at=$reply_at
end2=$(since "$woke" "$end_at")
# The session runs out more than 4 s after its START. The guest is normally asleep by then,
# and END comes after the wake; on a slow host the guest may still be on its way to sleep,
# and END comes before its SUSPEND event. Nothing can come while it sleeps. The QUIT can be
# carried out only once both the END and the wake are past.
if awk -v s="$end2" 'BEGIN { exit !(s > 0) }'; then
	ok "END reached the probe $end2 s after the wake"
	open_at=$end_at end_first=0
elif awk -v e="$end_at" -v s="$(event_time SUSPEND 2)" 'BEGIN { exit !(e < s) }'; then
	ok "END reached the probe $(since "$ok_at" "$end_at") s after its OK, before the guest was asleep"
	open_at=$woke end_first=1
else
	fail "END came $end2 s after the wake, while the guest slept"
fi
wait "$quit_pid" || true
quit_pid=''
read -r quit_status quit_done <"$run/quit.status"
quit_took=$(since "$quit_began" "$quit_done")
quit_after_open=$(since "$open_at" "$quit_done")
if [ "$quit_status" -ne 0 ] || [ "$(cat "$run/quit.out")" != "127.0.0.1: stopped" ]; then
	fail "lomarind -t 15 quit right after the wake: status $quit_status, '$(cat "$run/quit.out")' after $quit_took s (END came $end2 s after the wake)"
fi
# The client asks again once a second while locked: done within about a second of the END
# (or of the wake, if the END came first).
awk -v s="$quit_after_open" 'BEGIN { exit !(s < 2.5) }' ||
	fail "the quit completed $quit_after_open s after the session's END or the wake, whichever came later; expected within 2.5 s"
ok "lomarind -t 15 quit: '$(cat "$run/quit.out")' after $quit_took s, $quit_after_open s after the END (or the wake, if later)"

# ---------------------------------------------------------------------------------------
step "the keyed daemon, after both sleeps: the client's keyed QUIT"
keyed_quit_began=$EPOCHREALTIME
out=$("$client" --key-file="$keys" -p "$VM_PORT" -t 15 quit 127.0.0.1) || fail "client: status $?, '$out'"
[ "$out" = "127.0.0.1: stopped" ] || fail "client said '$out'"
keyed_quit=$(since "$keyed_quit_began")
ok "client --key-file: '$out' after $keyed_quit s"

# ---------------------------------------------------------------------------------------
step "both units stay stopped"
await "$run/journal.log" "lomarind-plain.service: Deactivated successfully." 1 20
await "$run/journal.log" "lomarind.service: Deactivated successfully." 1 20
# Longer than the unit's RestartSec, in case either were restarted.
sleep 8
# silent WHOSE: three EHLOs from the probe, a second apart, and no answer.
silent() {
	for _ in 1 2 3; do
		probe_send EHLO
		! probe_read 1 || fail "the $1 daemon answered '$reply' after its QUIT"
	done
}
# The probe is still the one of round 2.
silent keyless
probe_stop
probe_start "$VM_PORT"
silent keyed
probe_stop
ok "no answer to EHLO on either port 8 s after the QUITs"
# QEMU ends as soon as it has answered quit, maybe before the answer is in qmp.log: the
# outcome is QEMU's end, with status 0. Then socat ends, its socket closed.
printf '{"execute": "quit"}\n' >&"$qmp_in"
for _ in $(seq 300); do ours "$qemu_pid" qemu-system-x86 || break; sleep 0.1; done
ours "$qemu_pid" qemu-system-x86 && fail "QEMU still runs 30 s after QMP quit"
wait "$qemu_pid" || fail "QEMU ended with status $? after QMP quit"
qemu_pid=''
for _ in $(seq 100); do ours "$socat_pid" socat || break; sleep 0.1; done
ours "$socat_pid" socat && fail "socat still runs 10 s after QEMU ended"
wait "$socat_pid" || true
socat_pid=''

# ---------------------------------------------------------------------------------------
step "the guest's journal"
tr -d '\r' <"$run/journal.log" >"$run/journal.txt"
journal=$run/journal.txt
grep -a ' lmr\[' "$journal" >"$run/lmr.txt" || true
# Two daemons, told apart by their process ids: the keyed one is the one whose commands were
# proven with a key.
mapfile -t pids < <(sed -n 's/^.* lmr\[\([0-9]*\)\]: Starting Lomarind\.\.\.$/\1/p' "$run/lmr.txt")
[ "${#pids[@]}" -eq 2 ] || fail "expected 2 daemons started in the journal, found ${#pids[@]}: $(sed 's/^.* lmr/lmr/' "$run/lmr.txt")"
keyed_pid='' plain_pid=''
for pid in "${pids[@]}"; do
	if grep -qaF " lmr[$pid]: Command from client " "$run/lmr.txt"; then keyed_pid=$pid; else plain_pid=$pid; fi
done
[ -n "$keyed_pid" ] && [ -n "$plain_pid" ] ||
	fail "no daemon, or both, logged a proven command: $(sed 's/^.* lmr/lmr/' "$run/lmr.txt")"
stray=$(grep -avE " lmr\[($keyed_pid|$plain_pid)\]: " "$run/lmr.txt" || true)
[ -z "$stray" ] || fail "lines of another daemon process: $stray"
lines_of() { grep -aF " lmr[$1]: " "$run/lmr.txt" | sed 's/^.* lmr\[[0-9]*\]: //'; }

# The keyed daemon's lines, the KEYED answers to the probe's plain EHLOs left out, must be
# exactly these, in this order: each command preceded by the line naming its key (the
# package's key has no name: "default").
# Each daemon says how long the guest slept, once for each of the two sleeps, at its first
# turn after the wake; the lines' figures are checked against QMP's events further down.
lines_of "$keyed_pid" | grep -vxE 'EHLO without a key; Answered KEYED to client 10\.0\.2\.2:[0-9]+' >"$run/keyed.txt" || true
mapfile -t proven < <(sed -n 's/^Command from client \(.*\) proven with key default$/\1/p' "$run/keyed.txt")
[ "${#proven[@]}" -eq 2 ] || fail "expected 2 commands proven with key default, found ${#proven[@]}: $(cat "$run/keyed.txt")"
mapfile -t keyed_slept < <(grep -a '^Host slept for ' "$run/keyed.txt")
[ "${#keyed_slept[@]}" -eq 2 ] || fail "expected 2 'Host slept for' lines of the keyed daemon, found ${#keyed_slept[@]}: $(cat "$run/keyed.txt")"
cat >"$run/keyed-expected.txt" <<-EOF
	Starting Lomarind...
	Command from client ${proven[0]} proven with key default
	Received SUSPEND command. Suspending...
	${keyed_slept[0]}
	${keyed_slept[1]}
	Command from client ${proven[1]} proven with key default
	Received QUIT command. Stopping Lomarind...
EOF
diff -u "$run/keyed-expected.txt" "$run/keyed.txt" >&2 ||
	fail "the keyed daemon's lines are not the expected ones (diff above: - expected, + journal)"
keyed_answers=$(lines_of "$keyed_pid" | grep -cF 'EHLO without a key; Answered KEYED to client ' || true)

# The keyless daemon's lines, the LOCKED answers left out, likewise. The client sends its
# command only on a START to its own socket, so even a datagram of the QUIT lost while the
# guest resumes leaves no dropped command in the journal: nothing may differ.
lines_of "$plain_pid" | grep -vF 'Session locked in response to client 10.0.2.2:' >"$run/keyless.txt" || true
mapfile -t ids < <(sed -n 's/^Session started for client //p' "$run/keyless.txt")
[ "${#ids[@]}" -eq 2 ] || fail "expected 2 sessions of the keyless daemon, found ${#ids[@]}: $(cat "$run/keyless.txt")"
mapfile -t plain_slept < <(grep -a '^Host slept for ' "$run/keyless.txt")
[ "${#plain_slept[@]}" -eq 2 ] || fail "expected 2 'Host slept for' lines of the keyless daemon, found ${#plain_slept[@]}: $(cat "$run/keyless.txt")"
# The session of round 2 ends at the first turn after the wake, after the line of that turn
# that says how long the guest slept; or, when it ran out before the guest was asleep, before.
if [ "$end_first" -eq 1 ]; then
	round2=("Session ended for client ${ids[0]}" "${plain_slept[1]}")
else
	round2=("${plain_slept[1]}" "Session ended for client ${ids[0]}")
fi
cat >"$run/keyless-expected.txt" <<-EOF
	Starting Lomarind...
	${plain_slept[0]}
	Session started for client ${ids[0]}
	Received SUSPEND command. Suspending...
	${round2[0]}
	${round2[1]}
	Session started for client ${ids[1]}
	Received QUIT command. Stopping Lomarind...
EOF
diff -u "$run/keyless-expected.txt" "$run/keyless.txt" >&2 ||
	fail "the keyless daemon's lines are not the expected ones (diff above: - expected, + journal)"
for id in "${proven[@]}" "${ids[@]}"; do
	case $id in 10.0.2.2:*) ;; *) fail "a client at an unexpected address: $id" ;; esac
done
ok "the keyed daemon's lines, in order: $(wc -l <"$run/keyed.txt"), $keyed_answers KEYED answers left out; the keyless daemon's: $(wc -l <"$run/keyless.txt"), $(lines_of "$plain_pid" | grep -cF 'Session locked in response' || true) LOCKED answers left out"

# How long the guest slept, as each daemon says, against QMP: the kernel adds to the boot
# clock the time from stopping its clocks to starting them again, which is a little longer
# than from QEMU's SUSPEND event to its WAKEUP; and without a counter that runs through S3 (as
# under TCG) it reads that time from the real-time clock, in whole seconds, and shifts it to
# keep its own clock in step with that one. So each figure must be within 2 s of QMP's (it
# was 1.1 s short to 0.6 s long in the runs of 9 December 2026), and the bounce's words must
# come with a figure under 3 s and only then.
slept_tolerance=2
slept_figures=()
for round in 1 2; do
	qmp_slept=$(since "$(event_time SUSPEND "$round")" "$(event_time WAKEUP "$round")")
	figures="QMP SUSPEND to WAKEUP $qmp_slept s"
	for line in "${keyed_slept[round - 1]}" "${plain_slept[round - 1]}"; do
		[[ $line =~ ^Host\ slept\ for\ ([0-9]+\.[0-9])\ s(\;\ the\ sleep\ ended\ at\ once)?$ ]] ||
			fail "round $round: a line not of the form 'Host slept for N.N s[; the sleep ended at once]': '$line'"
		said=${BASH_REMATCH[1]} bounce=${BASH_REMATCH[2]}
		awk -v d="$said" -v q="$qmp_slept" -v t="$slept_tolerance" 'BEGIN { exit !(d - q <= t && q - d <= t) }' ||
			fail "round $round: '$line', but QMP's SUSPEND event came $qmp_slept s before its WAKEUP (more than $slept_tolerance s apart)"
		if awk -v d="$said" 'BEGIN { exit !(d < 3) }'; then
			[ -n "$bounce" ] || fail "round $round: '$line': a sleep under 3 s without the bounce's words"
		else
			[ -z "$bounce" ] || fail "round $round: '$line': the bounce's words for a sleep of 3 s or more"
		fi
	done
	figures+=", keyed daemon '${keyed_slept[round - 1]}', keyless daemon '${plain_slept[round - 1]}'"
	slept_figures+=("$figures")
	ok "round $round: $figures (within $slept_tolerance s)"
done

# Each round: between its SUSPEND line and the next command, the kernel enters S3 and
# comes back, in this order, and systemd-sleep says so.
for round in 1 2; do
	awk -v round="$round" '
		/ lmr\[[0-9]+\]: Received (SUSPEND|QUIT) command/ { n++; next }
		n == round' "$journal" >"$run/round$round.txt"
	grep -aF -e 'PM: suspend entry' -e 'system sleep state' -e 'PM: suspend exit' \
		"$run/round$round.txt" | sed 's/^.*kernel: //' >"$run/kernel$round.txt"
	printf '%s\n' 'PM: suspend entry (deep)' \
		'ACPI: PM: Preparing to enter system sleep state S3' \
		'ACPI: PM: Waking up from system sleep state S3' 'PM: suspend exit' |
		diff -u - "$run/kernel$round.txt" >&2 ||
		fail "round $round: the kernel's S3 lines are not the expected ones"
	grep -aF -e "Entering sleep state 'suspend'" -e 'System returned from sleep state' \
		"$run/round$round.txt" | sed 's/^.*systemd-sleep\[[0-9]*\]: //' >"$run/sleep$round.txt"
	printf '%s\n' "Entering sleep state 'suspend'..." 'System returned from sleep state.' |
		diff -u - "$run/sleep$round.txt" >&2 ||
		fail "round $round: systemd-sleep's lines are not the expected ones"
	ok "round $round: S3 entered and left (kernel and systemd-sleep, in order)"
done

# Nothing unexpected from either unit: one start each, no restart, no failure, no failed
# command. Only the daemons' own lines (syslog as lmr, standard error as server) and
# systemd's about the units are searched: a word from another program in the guest says
# nothing of ours.
grep -aE ' (lmr|server)\[[0-9]+\]: |lomarind(-plain)?\.service' "$journal" >"$run/unit.txt" || true
for unit in lomarind.service lomarind-plain.service; do
	[ "$(count "$run/unit.txt" "Started $unit")" -eq 1 ] ||
		fail "$unit was started $(count "$run/unit.txt" "Started $unit") times"
	for bad in "$unit: Scheduled restart job" "$unit: Failed" "$unit: Main process exited"; do
		[ "$(count "$run/unit.txt" "$bad")" -eq 0 ] || fail "the journal holds '$bad': $(grep -aF "$bad" "$run/unit.txt")"
	done
done
for bad in 'Failed to execute systemctl suspend' 'Send failed' 'Error'; do
	[ "$(count "$run/unit.txt" "$bad")" -eq 0 ] || fail "the journal holds '$bad': $(grep -aF "$bad" "$run/unit.txt")"
done
ok "one start of each unit, no restart, no failure"

step "passed in $(since "$began") s"
printf '%s\n' \
	"keyed --confirm (round 1): start to SUSPEND event $slept1 s, to 'suspended' $confirm_took s ($confirm_after s after the event, $silent_for s after the guest's last answer)" \
	"lomarind status while asleep (-t 3):              '127.0.0.1: no answer' (3) after $asleep_status_took s" \
	"wake --wait (round 1): answer after the wake:     $wake_after s ($wake_out)" \
	"lomarind status after the wake:                   '127.0.0.1: awake' (0), $status_after s after the wake" \
	"probe's OK (round 2) to QMP SUSPEND event:        $slept2 s" \
	"wake to the keyed daemon's next answer (round 1): $answer1 s" \
	"wake to END at the probe (round 2):               $end2 s" \
	"QUIT right after the wake (round 2):              $quit_took s, $quit_after_open s after the END or the wake" \
	"keyed QUIT after both sleeps:                     $keyed_quit s" \
	"QEMU start to both units started:                 $boot s" \
	"how long the guest slept (round 1):               ${slept_figures[0]}" \
	"how long the guest slept (round 2):               ${slept_figures[1]}"
