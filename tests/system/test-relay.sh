#!/bin/bash
# The wake relay across a router: three network namespaces of the test's own, joined by veth
# pairs, none of them the machine's.
#
#   client (this script's)  c0 192.0.2.2/24 --- r0 192.0.2.1/24  relay  r1 10.9.0.1/24 --- h1 10.9.0.2/24  host
#
# The relay runs the daemon (build/server --key-file --wake-interface=r1, port 9999) and
# routes between the two networks; the host catches what arrives on its port 9 (socat), and
# once a magic packet has come it starts a daemon of its own, as a machine that wakes would.
# The client, in neither, then
#   - wakes the host through the relay and waits for its daemon (wake --via --wait): the
#     packet caught on the host's side is the magic packet, byte for byte;
#   - asks with a key the relay's key file does not let wake: refused, nothing sent;
#   - floods the relay with 100 wakes in one call: no more go out than the relay's allowance
#     (32 at once, 4 a second);
#   - asks a second relay daemon without --wake-interface: it sends on both its networks.
# Each command is printed with its output and exit status, with the daemons' log lines, and
# one PASS or FAIL line; the script fails if any check fails.
#
# It needs root (namespaces). Nothing leaves the namespaces, and nothing sleeps: no SUSPEND is
# sent, and the daemons find the stand-in tests/support/fake_systemctl first on their PATH
# all the same, bound over the real systemctl in the test's mount namespace.
#
#   BUILD=dir   the build with the daemon and the client (default build)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
test_name=test-relay
# shellcheck source=tests/system/namespace-lib.sh
. tests/system/namespace-lib.sh
BUILD=${BUILD:-build}
port=9999
mac=00:11:22:33:44:55

# --- inside the test's namespaces ----------------------------------------------------------

# ns NAME COMMAND...: runs COMMAND in the network namespace of the relay or the host. Started
# with &, it is the background process itself (exec), so that its pid is the one ended.
ns() {
	local pid=$relay_ns
	[ "$1" = host ] && pid=$host_ns
	shift
	if [ "$BASHPID" != "$$" ]; then
		exec nsenter --target "$pid" --net -- "$@"
	fi
	nsenter --target "$pid" --net -- "$@"
}

# A private /dev with its own log socket, the stand-in systemctl over the real one, the three
# networks, the packet catcher and the relay's daemon; then the checks.
inside() {
	trap end_started EXIT
	ip link set lo up || die "cannot bring loopback up"
	private_dev

	# Each namespace is held by a process that sleeps in it; the mount namespace stays this
	# one, so the log socket and the stand-in reach every daemon.
	unshare --net sleep infinity &
	relay_ns=$!
	unshare --net sleep infinity &
	host_ns=$!
	pids+=("$relay_ns" "$host_ns")
	wait_for "[ \"\$(readlink /proc/$relay_ns/ns/net)\" != \"\$(readlink /proc/self/ns/net)\" ] &&
		[ \"\$(readlink /proc/$host_ns/ns/net)\" != \"\$(readlink /proc/self/ns/net)\" ]" ||
		die "the namespaces did not come up"
	{
		ip link add c0 type veth peer name r0 &&
			ip link add r1 type veth peer name h1 &&
			ip link set r0 netns "$relay_ns" && ip link set r1 netns "$relay_ns" &&
			ip link set h1 netns "$host_ns" &&
			ip addr add 192.0.2.2/24 brd + dev c0 && ip link set c0 up &&
			ip route add 10.9.0.0/24 via 192.0.2.1 &&
			ns relay ip link set lo up &&
			ns relay ip addr add 192.0.2.1/24 brd + dev r0 && ns relay ip link set r0 up &&
			ns relay ip addr add 10.9.0.1/24 brd + dev r1 && ns relay ip link set r1 up &&
			ns relay sysctl -qw net.ipv4.ip_forward=1 &&
			ns host ip link set lo up &&
			ns host ip addr add 10.9.0.2/24 brd + dev h1 && ns host ip link set h1 up &&
			ns host ip route add default via 10.9.0.1
	} || die "cannot build the networks"

	ns host socat -u UDP4-RECV:9 OPEN:"$work/packets",creat,append &
	pids+=($!)
	# The host's daemon starts once a magic packet has come, as a machine's would after its
	# firmware and boot.
	(
		until [ -s "$work/packets" ]; do sleep 0.1; done
		sleep 2
		exec nsenter --target "$host_ns" --net -- env PATH="$work/bin:$PATH" \
			"$BUILD/server" -p "$port" --key-file="$work/host.keys"
	) >"$work/host-server.out" 2>&1 &
	pids+=($!)
	ns relay env PATH="$work/bin:$PATH" "$BUILD/server" -p "$port" \
		--key-file="$work/relay.keys" --wake-interface=r1 >"$work/relay-server.out" 2>&1 &
	pids+=($!)
	wait_for "[ -S /dev/log ] && ns relay ss -Hlun 'sport = :$port' | grep -q . &&
		ns host ss -Hlun 'sport = :9' | grep -q ." ||
		die "the relay's daemon or the catcher did not start: $(cat "$work/relay-server.out")"
	checks
}

output=
status=
# client_check TITLE EXPECTED-STATUS EXPECTED-OUTPUT-PATTERN ARGUMENTS...: runs the client
# here, prints the command, its output and exit status, and checks the status and that the
# output matches the extended regular expression (whole).
client_check() {
	local title=$1 want_status=$2 want_output=$3
	shift 3
	printf '\n$ lomarind %s\n' "$*" | sed -E 's/^(.{160}).+/\1 .../'
	"$BUILD/lomarind" "$@" >"$work/client.out" 2>&1
	status=$?
	output=$(cat "$work/client.out")
	printf '%s\n' "$output" | head -5
	[ "$(wc -l <"$work/client.out")" -le 5 ] || printf '... (%d lines)\n' "$(wc -l <"$work/client.out")"
	printf 'exit status %s\n' "$status"
	if [ "$status" = "$want_status" ] && printf '%s' "$output" | grep -Eqx "$want_output"; then
		verdict PASS "$title"
	else
		verdict FAIL "$title (expected status $want_status and: $want_output)"
	fi
}

# show_log PATTERN: prints the log lines that match the fixed text PATTERN.
show_log() { daemon_log | grep -F -- "$1" | sed 's/^/  log: /'; }
# How many magic packets the host has caught.
caught() { echo $(($(stat -c %s "$work/packets" 2>/dev/null || echo 0) / 102)); }

checks() {
	client_check "wake --via --wait: the relay sends the packet, the host's daemon answers" 0 \
		'10\.9\.0\.2:9999: awake after [0-9]+\.[0-9] s' \
		--key-file "$work/laptop.keys" -t 20 wake --via "192.0.2.1:$port" --wait "10.9.0.2:$port=$mac"
	od -An -tx1 -v "$work/packets" | sed 's/^ */  caught: /'
	check "the datagram caught on the host's port 9 is $mac's magic packet, byte for byte" \
		cmp -s "$work/packets" "$work/expected-packet"
	show_log "Wake for"
	check "the relay logged the MAC, where it sent the packet, the key and the client" \
		grep -Eq "Wake for $mac relayed to 10\.9\.0\.255 with key laptop; Told client 192\.0\.2\.2:[0-9]+" \
		"$work/daemon.log"

	local before
	before=$(caught)
	client_check "a key that the relay's key file does not let wake" 5 \
		'00:11:22:33:44:66: refused by the relay \(this key may not wake\)' \
		--key-file "$work/phone.keys" wake --via "192.0.2.1:$port" 00:11:22:33:44:66
	sleep 0.5
	show_log "44:66"
	check "nothing more was sent" [ "$(caught)" = "$before" ]
	check "the refusal is logged with the MAC and the key" grep -Eq \
		"Wake for 00:11:22:33:44:66 refused: key phone may not wake; Told client 192\.0\.2\.2:[0-9]+" \
		"$work/daemon.log"

	# A flood: 100 wakes in one call, each a proven request of its own, for 2 seconds.
	local macs=() i start end relayed sent allowed
	for i in $(seq 0 99); do macs+=("$(printf '02:00:00:00:00:%02x' "$i")"); done
	before=$(caught)
	start=$(date +%s%N)
	client_check "a flood of 100 wakes in one call" 5 '(.|\n)*' \
		--key-file "$work/laptop.keys" -t 2 wake --via "192.0.2.1:$port" "${macs[@]}"
	end=$(date +%s%N)
	sleep 0.5
	relayed=$(grep -c 'magic packet sent by' "$work/client.out")
	sent=$(($(caught) - before))
	allowed=$((32 + 4 * ((end - start) / 1000000000 + 1)))
	printf '  %d reported relayed, %d refused for the rate; %d packets caught in %d ms; at most %d allowed\n' \
		"$relayed" "$(grep -c 'too many wakes' "$work/client.out")" "$sent" \
		"$(((end - start) / 1000000))" "$allowed"
	printf '  log: %d "relayed" lines, %d "more than the relay'"'"'s rate" lines, %s\n' \
		"$(daemon_log | grep -c ' relayed to ')" "$(daemon_log | grep -c "more than the relay's rate")" \
		"$(daemon_log | grep -F 'log lines about datagrams held back' | tail -1)"
	check "the host caught one packet for each wake reported relayed" [ "$sent" = "$relayed" ]
	check "no more than the allowance went out (32 at once, 4 a second)" \
		test "$sent" -ge 32 -a "$sent" -le "$allowed"

	# A second relay daemon, without --wake-interface: every network of the relay.
	ns relay env PATH="$work/bin:$PATH" "$BUILD/server" -p 9998 \
		--key-file="$work/relay.keys" >"$work/relay2-server.out" 2>&1 &
	pids+=($!)
	wait_for "ns relay ss -Hlun 'sport = :9998' | grep -q ." || die "the second relay did not start"
	client_check "a relay without --wake-interface" 0 'nas: magic packet sent by 192\.0\.2\.1:9998' \
		--key-file "$work/laptop.keys" wake --via 192.0.2.1:9998 nas=00:11:22:33:44:77
	show_log "44:77"
	check "it sent on both of its networks" grep -Eq \
		"Wake for 00:11:22:33:44:77 relayed to (192\.0\.2\.255, 10\.9\.0\.255|10\.9\.0\.255, 192\.0\.2\.255) with key laptop" \
		"$work/daemon.log"

	printf '\n%d passed, %d failed\n' "$((checks - failures))" "$failures"
	[ "$failures" = 0 ]
}

# --- outside: build, keys ------------------------------------------------------------------

if [ "${1:-}" = --inside ]; then
	inside
	exit
fi

[ "$(id -u)" -eq 0 ] || die "needs root: namespaces"
for tool in unshare nsenter ip ss socat od; do
	command -v "$tool" >/dev/null || die "$tool is missing: scripts/install-deps socat iproute2 installs it"
done
[ -f "$BUILD/CMakeCache.txt" ] ||
	cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo --log-level=WARNING ||
	die "cannot configure $BUILD"
cmake --build "$BUILD" -j 2 --target server lomarind >/dev/null || die "cannot build $BUILD"

work=$(mktemp -d /tmp/lmr-relay-XXXXXX) || die "mktemp failed"
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir -p "$work/bin"
fake=$(realpath tests/support/fake_systemctl)
cp "$fake" "$work/bin/systemctl"
laptop=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
phone=$(od -An -tx1 -N32 /dev/urandom | tr -d ' \n')
(
	umask 077
	printf '%s laptop wake\n%s phone\n' "$laptop" "$phone" >"$work/relay.keys"
	printf '%s laptop\n' "$laptop" >"$work/host.keys"
	printf '%s\n' "$laptop" >"$work/laptop.keys"
	printf '%s\n' "$phone" >"$work/phone.keys"
)
{
	printf '\xff%.0s' 1 2 3 4 5 6
	for _ in $(seq 16); do printf '\x00\x11\x22\x33\x44\x55'; done
} >"$work/expected-packet"

BUILD=$(realpath "$BUILD")
export BUILD work fake port mac
unshare --mount --net --propagation private -- "$0" --inside
