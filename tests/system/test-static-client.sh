#!/bin/bash
# The static client (make static-client) where no shared library is: builds it, checks that
# ldd finds it not dynamic, and runs it in an empty root, a directory that holds only the
# client, its key file, /etc/hosts and /etc/resolv.conf. In a network and mount namespace of
# its own (loopback only) a keyed daemon (build/server) listens on port 9999, a name server
# (dnsmasq) on 127.0.0.1:53 knows media.lan, and socat catches what arrives on port 9 and on
# a private /dev/log. The client, chrooted into the empty root, then
#   - makes its key file there (keygen, two keys named after the hosts),
#   - suspends nas, which the root's /etc/hosts names (the stand-in systemctl records it),
#   - asks the status of nas and of media.lan, which only the name server knows,
#   - finds no address for a name that neither knows,
#   - sends 00:11:22:33:44:55's magic packet to 127.255.255.255 (caught byte for byte),
#   - asks media.lan's status again with an /etc/nsswitch.conf that names a lookup method
#     whose library is not there.
# Each command is printed with its output and exit status, and one PASS or FAIL line; the
# script fails if any check fails. Last, the client's size (stat, size) and its start-up
# time (--help, run 100 times, beside the dynamic build/lomarind), as figures only.
#
# It needs root (namespaces, chroot). The machine never sleeps: the daemon finds the
# stand-in tests/support/fake_systemctl first on its PATH, and bound over the real
# systemctl in the test's mount namespace.
#
#   BUILD=dir          the normal build, for the daemon (default build)
#   STATIC_BUILD=dir   where make static-client builds the client (default build-static)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
test_name=test-static-client
# shellcheck source=tests/system/namespace-lib.sh
. tests/system/namespace-lib.sh
BUILD=${BUILD:-build}
STATIC_BUILD=${STATIC_BUILD:-build-static}
port=9999
mac=00:11:22:33:44:55

# --- inside the test's namespaces ----------------------------------------------------------

# The daemon's world: loopback up, a private /dev with the log socket, the stand-in
# systemctl, the daemon, the name server and the packet catcher; then the checks.
inside() {
	trap end_started EXIT
	ip link set lo up || die "cannot bring loopback up"

	private_dev
	socat -u UDP4-RECV:9 OPEN:"$work/packet",creat,append &
	pids+=($!)
	dnsmasq --keep-in-foreground --no-resolv --no-hosts --addn-hosts="$work/dns-hosts" \
		--listen-address=127.0.0.1 --bind-interfaces --user=root --pid-file= \
		--log-queries --log-facility="$work/dnsmasq.log" &
	pids+=($!)
	wait_for "[ -S /dev/log ] && bound 9 && bound 53" ||
		die "socat or dnsmasq did not start (log: $work/dnsmasq.log)"

	if ! { run_client keygen /keys nas ctl-nas && run_client keygen /keys media.lan ctl-media; } \
		>"$work/host.keys"; then
		die "keygen in the empty root failed"
	fi
	chmod 600 "$work/host.keys"
	PATH="$work/bin:$PATH" LMR_FAKE_SYSTEMCTL_RECORD="$work/systemctl-calls" \
		"$BUILD/server" -p "$port" --key-file="$work/host.keys" >"$work/server.out" 2>&1 &
	pids+=($!)
	wait_for "bound $port" || die "the daemon did not bind port $port: $(cat "$work/server.out")"

	checks
}

# run_client ARGUMENTS...: the static client in the empty root.
run_client() { chroot "$root" /lomarind "$@"; }

output=
status=
# client_check TITLE EXPECTED-STATUS EXPECTED-OUTPUT ARGUMENTS...: runs the client in the empty
# root, prints the command, its output (lines sorted: hosts answer in any order) and exit
# status, and checks both.
client_check() {
	local title=$1 want_status=$2 want_output=$3
	shift 3
	printf '\n$ chroot ROOT /lomarind %s\n' "$*"
	run_client "$@" >"$work/client.out" 2>&1
	status=$?
	output=$(LC_ALL=C sort "$work/client.out")
	printf '%s\n' "$output"
	printf 'exit status %s\n' "$status"
	if [ "$status" = "$want_status" ] && [ "$output" = "$want_output" ]; then
		verdict PASS "$title"
	else
		verdict FAIL "$title (expected status $want_status and: $want_output)"
	fi
}

checks() {
	echo "The empty root:"
	(cd "$root" && find . | LC_ALL=C sort | sed 's/^/  /')

	client_check "keyed suspend of a name from /etc/hosts" 0 "nas: suspended" \
		--key-file /keys -p "$port" suspend nas
	check "the daemon ran the stand-in's suspend once" \
		[ "$(cat "$work/systemctl-calls" 2>/dev/null)" = suspend ]
	daemon_log | grep -F ' proven with key ' | sed 's/^/  log: /'
	check "the daemon logged the suspend as proven with key ctl-nas" \
		grep -q 'Command from client 127\.0\.0\.1:[0-9]* proven with key ctl-nas' "$work/daemon.log"

	client_check "keyed status of names from /etc/hosts and from the name server" 0 \
		"$(printf 'media.lan: awake\nnas: awake')" --key-file /keys -p "$port" status nas media.lan
	grep -F 'media.lan' "$work/dnsmasq.log" | sed 's/^.*dnsmasq\[[0-9]*\]: /  dnsmasq: /'
	check "the name server was asked for media.lan and gave 127.0.0.3" \
		grep -q 'media\.lan is 127\.0\.0\.3' "$work/dnsmasq.log"

	client_check "a name that neither knows" 3 "nosuch.lan: cannot resolve" \
		-p "$port" status nosuch.lan

	client_check "wake sends the magic packet" 0 "$mac: magic packet sent" \
		-b 127.255.255.255 wake "$mac"
	wait_for "[ \$(stat -c %s '$work/packet' 2>/dev/null || echo 0) -ge 102 ]"
	od -An -tx1 -v "$work/packet" | sed 's/^ */  caught: /'
	check "the datagram caught on port 9 is $mac's magic packet, byte for byte" \
		cmp -s "$work/packet" "$work/expected-packet"

	echo 'hosts: files mdns4_minimal dns' >"$root/etc/nsswitch.conf"
	client_check "an nsswitch.conf naming a lookup method whose library is missing" 0 \
		"media.lan: awake" --key-file /keys -p "$port" status media.lan
	rm "$root/etc/nsswitch.conf"

	printf '\n%d passed, %d failed\n' "$((checks - failures))" "$failures"
	[ "$failures" = 0 ]
}

# --- outside: build, the empty root, the figures -------------------------------------------

if [ "${1:-}" = --inside ]; then
	inside
	exit
fi

[ "$(id -u)" -eq 0 ] || die "needs root: namespaces and chroot"
for tool in unshare chroot ip ss socat dnsmasq size; do
	command -v "$tool" >/dev/null || die "$tool is missing: scripts/install-deps --static-test installs it"
done

make --no-print-directory static-client STATIC_BUILD="$STATIC_BUILD" || die "make static-client failed"
[ -f "$BUILD/CMakeCache.txt" ] ||
	cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo --log-level=WARNING ||
	die "cannot configure $BUILD"
cmake --build "$BUILD" -j 2 --target server lomarind >/dev/null || die "cannot build $BUILD/server"
client=$(realpath "$STATIC_BUILD/lomarind")

printf '\n$ ldd %s\n' "$STATIC_BUILD/lomarind"
ldd_output=$(ldd "$client" 2>&1)
printf '%s\n' "$ldd_output"
if [ "$(printf '%s' "$ldd_output" | tr -d '[:space:]')" != notadynamicexecutable ]; then
	die "ldd does not say that $STATIC_BUILD/lomarind is not a dynamic executable"
fi

work=$(mktemp -d /tmp/lmr-static-XXXXXX) || die "mktemp failed"
trap 'rm -rf --one-file-system "$work"' EXIT
root=$work/root
mkdir -p "$root/etc" "$work/bin"
cp "$client" "$root/lomarind"
printf '127.0.0.1\tlocalhost\n127.0.0.2\tnas\n' >"$root/etc/hosts"
printf 'nameserver 127.0.0.1\n' >"$root/etc/resolv.conf"
printf '127.0.0.3 media.lan\n' >"$work/dns-hosts"
fake=$(realpath tests/support/fake_systemctl)
cp "$fake" "$work/bin/systemctl"
{
	printf '\xff%.0s' 1 2 3 4 5 6
	for _ in $(seq 16); do printf '\x00\x11\x22\x33\x44\x55'; done
} >"$work/expected-packet"

dynamic=$BUILD/lomarind
BUILD=$(realpath "$BUILD")
export BUILD work root fake
unshare --mount --net --propagation private -- "$0" --inside
result=$?

printf '\nSize:\n$ stat -c %%s %s\n%s\n$ size %s\n%s\n' "$STATIC_BUILD/lomarind" \
	"$(stat -c %s "$STATIC_BUILD/lomarind")" "$STATIC_BUILD/lomarind" "$(size "$STATIC_BUILD/lomarind")"

# Wall time per run of --help, over 100 runs, for the static client and the dynamic one.
per_run_us() {
	local start end
	start=$(date +%s%N)
	for _ in $(seq 100); do "$1" --help >/dev/null; done
	end=$(date +%s%N)
	echo $(((end - start) / 100000))
}
printf '\nStart-up (lomarind --help, 100 runs, wall time per run):\n'
printf '  %s: %s us\n' "$STATIC_BUILD/lomarind (static)" "$(per_run_us "$client")" \
	"$dynamic (dynamic)" "$(per_run_us "$dynamic")"
exit "$result"
