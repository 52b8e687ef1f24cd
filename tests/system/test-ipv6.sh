#!/bin/bash
# The daemon with --ipv6 (build/server) and the client (build/lomarind) over IPv6: two network
# namespaces of the test's own, joined by a veth pair whose ends have the link-local addresses
# fe80::1 (the daemon's side, veth0) and fe80::2 (the client's side, veth1). socat catches the
# daemon's log on a private /dev/log. Then
#   - keyless: suspend over fe80::1%veth1 and over ::1, and quit over ::1;
#   - keyed (a key file made by keygen): status and suspend over fe80::1%veth1 and over ::1,
#     status over 127.0.0.1, and a status sent to the all-nodes group ff02::1%veth1, which the
#     daemon drops;
#   - without --ipv6: one socket, IPv4 only, and ::1 has no daemon;
# and the identity texts the daemon logged. Each command is printed with its output and exit
# status, and one PASS or FAIL line; the script fails if any check fails.
#
# It needs root (namespaces). The machine never sleeps: the daemon finds the stand-in
# tests/support/fake_systemctl first on its PATH, and bound over the real systemctl in the
# test's mount namespace. Traffic stays inside the test's namespaces.
#
#   BUILD=dir   the build of the daemon and the client (default build)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
test_name=test-ipv6
# shellcheck source=tests/system/namespace-lib.sh
. tests/system/namespace-lib.sh
BUILD=${BUILD:-build}
port=9999

# --- inside the test's namespaces ----------------------------------------------------------

# The daemon's namespace: loopback and veth0 up, a private /dev with the log socket, the
# stand-in systemctl; the client's namespace, held by a sleeping process, with veth1.
inside() {
	trap end_started EXIT
	ip link set lo up || die "cannot bring loopback up"

	private_dev

	# The client's namespace: a process that only holds it.
	unshare --net sleep infinity &
	pids+=($!)
	holder=$!
	wait_for "[ \"\$(readlink /proc/$holder/ns/net)\" != \"\$(readlink /proc/self/ns/net)\" ]" ||
		die "the client's namespace did not come up"
	ip link add veth0 type veth peer name veth1 || die "cannot make the veth pair"
	ip link set veth1 netns "$holder" || die "cannot move veth1 to the client's namespace"
	# No link-local address of the kernel's making beside ours: the client's datagrams leave
	# from fe80::2, so that the identities in the log are known in advance.
	ip link set veth0 addrgenmode none
	client_side ip link set veth1 addrgenmode none
	ip -6 addr add fe80::1/64 dev veth0 nodad || die "cannot give veth0 fe80::1"
	ip link set veth0 up
	client_side ip link set lo up
	client_side ip -6 addr add fe80::2/64 dev veth1 nodad || die "cannot give veth1 fe80::2"
	client_side ip link set veth1 up
	wait_for "ip -6 addr show dev veth0 | grep -q 'fe80::1/64 scope link' &&
		[ -z \"\$(ip -6 addr show dev veth0 tentative)\" ] &&
		[ -n \"\$(client_side ip -6 route show dev veth1)\" ]" ||
		die "the link-local addresses did not come up"
	wait_for "[ -S /dev/log ]" || die "socat did not start"

	"$BUILD/lomarind" keygen "$work/keys" >/dev/null || die "keygen failed"
	checks
}

# client_side COMMAND...: COMMAND in the client's network namespace.
client_side() { nsenter --net="/proc/$holder/ns/net" "$@"; }

server=
# serve ARGUMENTS...: starts the daemon on the port with ARGUMENTS, and waits until every
# socket it opens is bound (ss lists them).
serve() {
	PATH="$work/bin:$PATH" LMR_FAKE_SYSTEMCTL_RECORD="$work/systemctl-calls" \
		"$BUILD/server" -p "$port" "$@" >"$work/server.out" 2>&1 &
	server=$!
	pids+=("$server")
	local sockets=1
	case " $* " in *" --ipv6 "*) sockets=2 ;; esac
	wait_for "[ \$(ss -Hlun 'sport = :$port' | wc -l) -eq $sockets ]" ||
		die "the daemon did not bind port $port: $(cat "$work/server.out")"
	printf '\n$ server -p %s %s\n$ ss -Hlun sport = :%s\n' "$port" "$*" "$port"
	ss -Hlun "sport = :$port" | awk '{ print "  " $4 }'
}

# stop: ends the daemon started last (SIGTERM) and waits for it.
stop() {
	kill "$server" 2>/dev/null
	wait "$server" 2>/dev/null
}

# client_check TITLE SIDE EXPECTED-STATUS EXPECTED-OUTPUT ARGUMENTS...: runs the client on
# SIDE (client: the client's namespace; daemon: the daemon's), prints the command, its output
# and exit status, and checks both.
client_check() {
	local title=$1 side=$2 want_status=$3 want_output=$4 status output
	shift 4
	printf '\n$ lomarind %s    (%s namespace)\n' "$*" "$side"
	if [ "$side" = client ]; then
		client_side "$BUILD/lomarind" "$@" >"$work/client.out" 2>&1
	else
		"$BUILD/lomarind" "$@" >"$work/client.out" 2>&1
	fi
	status=$?
	output=$(cat "$work/client.out")
	printf '%s\nexit status %s\n' "$output" "$status"
	if [ "$status" = "$want_status" ] && [ "$output" = "$want_output" ]; then
		verdict PASS "$title"
	else
		verdict FAIL "$title (expected status $want_status and: $want_output)"
	fi
}

# logged TITLE PATTERN: PASS when a line of the daemon's log matches the extended regular
# expression PATTERN (waiting up to 5 s for it).
logged() {
	if wait_for "daemon_log | grep -Eq '$2'"; then verdict PASS "$1"; else verdict FAIL "$1"; fi
}

# The calls the stand-in systemctl recorded, on one line.
calls() { tr '\n' ' ' <"$work/systemctl-calls" 2>/dev/null; }

checks() {
	local peer='\[fe80::2%veth0\]:[0-9]+' loopback='\[::1\]:[0-9]+'
	echo "Addresses: daemon's side"
	ip -6 addr show dev veth0 | sed -n 's/^ *inet6 /  /p'
	echo "Addresses: client's side"
	client_side ip -6 addr show dev veth1 | sed -n 's/^ *inet6 /  /p'

	echo
	echo "=== keyless"
	serve --ipv6
	client_check "keyless suspend over fe80::1%veth1" client 0 "fe80::1%veth1: suspended" \
		-p "$port" suspend fe80::1%veth1
	logged "the session's owner is [fe80::2%veth0]:port" "Session started for client $peer$"
	logged "its session ends, with END to the scoped owner" "Session ended for client $peer$"
	client_check "keyless suspend over [::1]:$port" daemon 0 "[::1]:$port: suspended" \
		suspend "[::1]:$port"
	logged "the session's owner is [::1]:port" "Session started for client $loopback$"
	check_calls "suspend suspend "
	client_check "keyless quit over ::1" daemon 0 "::1: stopped" -p "$port" quit ::1
	wait "$server"
	check_status "the daemon ended with status 0 after QUIT" $? 0

	echo
	echo "=== keyed"
	serve --ipv6 --key-file="$work/keys"
	client_check "keyed status over fe80::1%veth1" client 0 "fe80::1%veth1: awake" \
		--key-file "$work/keys" -p "$port" status fe80::1%veth1
	client_check "keyed suspend over [fe80::1%veth1]:$port" client 0 \
		"[fe80::1%veth1]:$port: suspended" --key-file "$work/keys" suspend "[fe80::1%veth1]:$port"
	logged "the proven command names [fe80::2%veth0]:port" \
		"Command from client $peer proven with key default$"
	client_check "keyed status over ::1" daemon 0 "::1: awake" \
		--key-file "$work/keys" -p "$port" status ::1
	client_check "keyed suspend over [::1]" daemon 0 "[::1]: suspended" \
		--key-file "$work/keys" -p "$port" suspend "[::1]"
	logged "the proven command names [::1]:port" \
		"Command from client $loopback proven with key default$"
	client_check "keyed status over 127.0.0.1, beside IPv6" daemon 0 "127.0.0.1:$port: awake" \
		--key-file "$work/keys" status "127.0.0.1:$port"
	client_check "a status sent to the all-nodes group is not answered" client 3 \
		"ff02::1%veth1: no answer" --key-file "$work/keys" -p "$port" -t 1 status ff02::1%veth1
	logged "the datagram to ff02::1 was dropped as sent to a group" \
		"Datagram to a broadcast or multicast address; Dropping packet from $peer$"
	check_calls "suspend suspend suspend suspend "
	stop

	echo
	echo "=== without --ipv6"
	serve --key-file="$work/keys"
	client_check "keyed suspend over 127.0.0.1" daemon 0 "127.0.0.1: suspended" \
		--key-file "$work/keys" -p "$port" suspend 127.0.0.1
	logged "the IPv4 identity is a.b.c.d:port" \
		"Command from client 127\.0\.0\.1:[0-9]+ proven with key default$"
	client_check "::1 has no daemon" daemon 8 "::1: no daemon on port $port" \
		--key-file "$work/keys" -p "$port" status ::1
	stop

	echo
	echo "The daemon's log (identity texts):"
	daemon_log | grep -E 'client|Dropping' | sed 's/^<[0-9]*>/  /'

	printf '\n%d passed, %d failed\n' "$((checks - failures))" "$failures"
	[ "$failures" = 0 ]
}

# check_calls EXPECTED: the stand-in systemctl's calls so far, on one line.
check_calls() {
	wait_for "[ \"\$(calls)\" = '$1' ]"
	if [ "$(calls)" = "$1" ]; then
		verdict PASS "systemctl was called: $1"
	else
		verdict FAIL "systemctl was called: $(calls), not $1"
	fi
}

# check_status TITLE STATUS EXPECTED.
check_status() {
	if [ "$2" = "$3" ]; then verdict PASS "$1"; else verdict FAIL "$1 (status $2)"; fi
}

# --- outside: build, the namespaces ---------------------------------------------------------

if [ "${1:-}" = --inside ]; then
	inside
	exit
fi

[ "$(id -u)" -eq 0 ] || die "needs root: namespaces"
for tool in unshare nsenter ip ss socat; do
	command -v "$tool" >/dev/null || die "$tool is missing: scripts/install-deps --ipv6-test installs it"
done
[ -f "$BUILD/CMakeCache.txt" ] ||
	cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo --log-level=WARNING ||
	die "cannot configure $BUILD"
cmake --build "$BUILD" -j 2 --target server lomarind >/dev/null || die "cannot build $BUILD"

work=$(mktemp -d /tmp/lmr-ipv6-XXXXXX) || die "mktemp failed"
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir -p "$work/bin"
fake=$(realpath tests/support/fake_systemctl)
cp "$fake" "$work/bin/systemctl"
BUILD=$(realpath "$BUILD")
export BUILD work fake
unshare --mount --net --propagation private -- "$0" --inside
