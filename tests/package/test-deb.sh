#!/bin/sh
# Builds the Debian package and treats it as an admin would: inspects its files, control
# fields and permissions; installs it with dpkg; checks that the files are where the unit
# and the man page say; verifies the unit with systemd-analyze; runs the installed daemon
# and client (in a private namespace, with a stand-in for systemctl); purges the package
# and checks that nothing is left; runs lintian. Also checks a plain cmake --install with
# DESTDIR and a prefix.
#
# It installs and removes a package system-wide, so it runs as root on a disposable
# machine (CI does), never from ctest. It stops at the first failed check.
#   BUILD=dir  the build directory for the package (default build-pkg)
set -eu
cd "$(dirname "$0")/../.."
top=$(pwd)
BUILD=${BUILD:-build-pkg}

step() { printf '\n== %s\n' "$*"; }
ok() { printf 'ok: %s\n' "$*"; }
fail() {
	printf 'FAILED: %s\n' "$*" >&2
	exit 1
}

[ "$(id -u)" -eq 0 ] || fail "needs root: it installs the package with dpkg"
if dpkg-query -W -f '${Status}' lomarind 2>/dev/null | grep -q 'installed'; then
	fail "lomarind is already installed here; this test would replace it"
fi

tmp=$(mktemp -d /tmp/lmr-deb-XXXXXX)
installed=no
policy=none
cleanup() {
	status=$?
	if [ "$installed" = yes ]; then
		dpkg --purge lomarind >/dev/null 2>&1 || true
	fi
	case "$policy" in
	ours) rm -f /usr/sbin/policy-rc.d ;;
	moved) mv -f "$tmp/policy-rc.d" /usr/sbin/policy-rc.d ;;
	esac
	rm -rf "$tmp"
	exit $status
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---------------------------------------------------------------------------------------
step "building the package (make package)"
make package PKG_BUILD="$BUILD"
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BUILD/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
deb="$BUILD/lomarind_${version}_${arch}.deb"
[ -n "$version" ] && [ -f "$deb" ] || fail "no package at $deb"
ok "built $deb"
grep -q "^project(lomarind VERSION $version " CMakeLists.txt ||
	fail "package version $version is not the version in project()"
zcat "$BUILD/packaging/changelog.gz" | head -n 1 | grep -q "^lomarind ($version) " ||
	fail "the changelog's newest entry is not version $version"
ok "version $version, as project() and the changelog say"

# The client and its page are part of the tree once they exist; until then the package is
# the daemon alone.
with_client=no
[ -d src/client ] && with_client=yes
with_client_page=no
[ -f man/lomarind.1 ] && with_client_page=yes

# ---------------------------------------------------------------------------------------
step "control fields"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = lomarind ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)'"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = admin ] || fail "Section is '$(field Section)'"
[ "$(field Priority)" = optional ] || fail "Priority is '$(field Priority)'"
field Maintainer | grep -Eq '^[^<]+ <[^@ ]+@[^> ]+>$' || fail "Maintainer is '$(field Maintainer)'"
# Computed by dpkg-shlibdeps from the binaries, so they carry version constraints.
field Depends | grep -Eq 'libc6 \(>= [0-9.]+\)' || fail "Depends lacks libc6: '$(field Depends)'"
field Depends | grep -Eq 'libstdc\+\+6 \(>= ' || fail "Depends lacks libstdc++6: '$(field Depends)'"
[ "$(field Recommends)" = systemd ] || fail "Recommends is '$(field Recommends)'"
summary=$(field Description | head -n 1)
[ -n "$summary" ] && [ "$(field Description | wc -l)" -gt 2 ] ||
	fail "Description needs a summary and a long text"
dpkg-deb -I "$deb" control | sed 's/^/   /'
ok "control fields"

# ---------------------------------------------------------------------------------------
step "file list and permissions"
dpkg-deb -c "$deb" >"$tmp/contents"
sed 's/^/   /' "$tmp/contents"
awk '{ print $6 }' "$tmp/contents" | grep -v '/$' | sort >"$tmp/files"
{
	echo ./etc/ufw/applications.d/lomarind
	echo ./lib/systemd/system/lomarind.service
	echo ./usr/libexec/lomarind/server
	echo ./usr/share/doc/lomarind/README.md
	echo ./usr/share/doc/lomarind/changelog.gz
	echo ./usr/share/doc/lomarind/docs/first-run.md
	echo ./usr/share/doc/lomarind/docs/fuzzing-and-analysis.md
	echo ./usr/share/doc/lomarind/docs/performance.md
	echo ./usr/share/doc/lomarind/docs/system-tests.md
	echo ./usr/share/doc/lomarind/copyright
	echo ./usr/share/doc/lomarind/examples/allow-controllers.conf
	echo ./usr/share/doc/lomarind/examples/keyed.conf
	echo ./usr/share/lintian/overrides/lomarind
	echo ./usr/share/man/man8/lomarind-server.8.gz
	[ "$with_client" = no ] || echo ./usr/bin/lomarind
	[ "$with_client_page" = no ] || echo ./usr/share/man/man1/lomarind.1.gz
} | sort >"$tmp/expected"
diff -u "$tmp/expected" "$tmp/files" || fail "the package's files differ from the expected list (- expected, + found)"
ok "exactly the expected files ($(wc -l <"$tmp/files"))"

# Everything belongs to root; programs are 0755, other files 0644, directories 0755.
awk '
	$2 != "root/root" { print "owner " $2 ": " $6; bad = 1 }
	$6 ~ /\/$/ && $1 != "drwxr-xr-x" { print "mode " $1 ": " $6; bad = 1 }
	$6 ~ /^\.\/usr\/(bin|libexec\/lomarind)\/[^\/]+$/ && $1 != "-rwxr-xr-x" { print "mode " $1 ": " $6; bad = 1 }
	$6 !~ /\/$/ && $6 !~ /^\.\/usr\/(bin|libexec\/lomarind)\// && $1 != "-rw-r--r--" { print "mode " $1 ": " $6; bad = 1 }
	END { exit bad }
' "$tmp/contents" || fail "wrong owners or modes"
ok "owners root/root; programs 0755, files 0644, directories 0755"

# The maintainer scripts run as programs; the other control files are data.
dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - >"$tmp/control"
for script in postinst prerm postrm; do
	grep -Eq "^-rwxr-xr-x root/root .* \./$script\$" "$tmp/control" || fail "control/$script is not 0755 root"
done
for data in control md5sums conffiles; do
	grep -Eq "^-rw-r--r-- root/root .* \./$data\$" "$tmp/control" || fail "control/$data is not 0644 root"
done
[ "$(dpkg-deb -I "$deb" conffiles)" = /etc/ufw/applications.d/lomarind ] ||
	fail "conffiles should list the ufw profile alone"
ok "maintainer scripts 0755; conffiles lists /etc/ufw/applications.d/lomarind"

# Contents: man pages gzip -9 without a time stamp, programs stripped, the unit pointing at
# the installed daemon.
dpkg-deb -x "$deb" "$tmp/root"
for page in "$tmp"/root/usr/share/man/man*/*.gz; do
	file -b "$page" | grep -q 'max compression' || fail "$page is not gzip -9: $(file -b "$page")"
	man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null | grep . && fail "$page: roff warnings above"
done
for program in "$tmp"/root/usr/libexec/lomarind/server "$tmp"/root/usr/bin/*; do
	[ -e "$program" ] || continue
	file -b "$program" | grep -q ', stripped' || fail "$program is not stripped"
done
grep -q '^ExecStart=/usr/libexec/lomarind/server ' "$tmp/root/lib/systemd/system/lomarind.service" ||
	fail "the unit does not start /usr/libexec/lomarind/server"
ok "man pages gzip -9 and warning-free; programs stripped; unit names the installed daemon"

# ---------------------------------------------------------------------------------------
step "installing with dpkg -i"
# Everything with the package's name anywhere it could leave a trace, before and after.
traces() {
	find /etc /lib/systemd /usr/bin /usr/libexec /usr/share/doc /usr/share/man \
		/usr/share/lintian /var/lib/systemd /var/lib/dpkg/info \
		-name '*lomarind*' -print 2>/dev/null | sort
}
# Whatever init system this machine runs, the test never lets the package start the real
# daemon: deb-systemd-invoke asks policy-rc.d first, and 101 means "do not start". One that
# is already there is put back afterwards.
if [ -e /usr/sbin/policy-rc.d ]; then
	mv /usr/sbin/policy-rc.d "$tmp/policy-rc.d"
	policy=moved
else
	policy=ours
fi
printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
chmod 755 /usr/sbin/policy-rc.d
if [ -d /run/systemd/system ]; then
	echo "   systemd runs here; policy-rc.d keeps the unit from being started"
else
	echo "   systemd is not the running init system here; postinst must only enable the unit"
fi
traces >"$tmp/before"
installed=yes
# A machine whose dpkg is told to drop documentation (as slim container images are) would
# leave out the man pages and docs this test looks for; they are asked for explicitly.
dpkg --path-include="/usr/share/*" -i "$deb" || fail "dpkg -i failed"
dpkg-query -W -f '${Status}\n' lomarind | grep -qx 'install ok installed' || fail "not installed"
ok "installed"
wants=/etc/systemd/system/multi-user.target.wants/lomarind.service
[ "$(readlink "$wants")" = /lib/systemd/system/lomarind.service ] ||
	fail "postinst did not enable the unit ($wants)"
[ -e /var/lib/systemd/deb-systemd-helper-enabled/lomarind.service.dsh-also ] ||
	fail "deb-systemd-helper has no record of the enablement"
ok "postinst enabled lomarind.service through deb-systemd-helper"

# ---------------------------------------------------------------------------------------
step "files where the unit and the man page say"
unit=/lib/systemd/system/lomarind.service
daemon=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
[ -x "$daemon" ] || fail "ExecStart names $daemon, which is not an installed program"
ok "ExecStart: $daemon"
for page in $(sed -n 's/^Documentation=//p' "$unit"); do
	# man:lomarind-server(8) -> man -w 8 lomarind-server
	name=${page#man:}
	section=${name#*(}
	section=${section%)}
	name=${name%(*}
	found=$(man -w "$section" "$name") || fail "Documentation=$page: no such man page"
	ok "Documentation=$page: $found"
done
example=$(sed -n 's/^# \(\/usr\/share\/doc\/lomarind\/examples\/[^ ]*\)\.$/\1/p' "$unit")
[ -n "$example" ] && [ -f "$example" ] || fail "the unit's example drop-in '$example' is missing"
ok "the unit's comment names $example"
# Every fixed path in the man page's FILES section, except the log socket.
zcat /usr/share/man/man8/lomarind-server.8.gz |
	sed -n '/^\.SH FILES/,/^\.SH /s/^\.I \(\/.*\)$/\1/p' | sed 's/\\-/-/g' >"$tmp/man-files"
[ -s "$tmp/man-files" ] || fail "no FILES section found in lomarind-server(8)"
while read -r path; do
	case "$path" in
	*'*'* | /dev/log) continue ;;
	esac
	[ -e "$path" ] || fail "lomarind-server(8) names $path, which is not installed"
	ok "lomarind-server(8) FILES: $path"
done <"$tmp/man-files"
grep -qx 'ports=9/udp' /etc/ufw/applications.d/lomarind || fail "the ufw profile is not for 9/udp"
ok "ufw profile for 9/udp"

# ---------------------------------------------------------------------------------------
step "systemd-analyze verify"
# verify loads the unit as the service manager would (no running systemd needed): syntax,
# the executable, the man pages of Documentation=. A unit path of our own, ahead of the
# system's, also checks the unit with the drop-ins the man page and README show.
verify() {
	systemd-analyze verify "$@" >"$tmp/verify" 2>&1 || {
		cat "$tmp/verify"
		return 1
	}
	if grep -i 'lomarind' "$tmp/verify"; then
		return 1
	fi
	return 0
}
verify "$unit" || fail "systemd-analyze verify $unit"
ok "systemd-analyze verify $unit: clean"
mkdir -p "$tmp/units/lomarind.service.d"
cp "$unit" "$tmp/units/"
cp "$example" "$(dirname "$example")/keyed.conf" "$tmp/units/lomarind.service.d/"
printf '[Service]\nEnvironment=LOMARIND_PORT=7777\n' >"$tmp/units/lomarind.service.d/port.conf"
export SYSTEMD_UNIT_PATH="$tmp/units:"
verify "$tmp/units/lomarind.service" || fail "systemd-analyze verify with the example drop-ins"
unset SYSTEMD_UNIT_PATH
ok "systemd-analyze verify with the port, allow-controllers and keyed drop-ins: clean"

# ---------------------------------------------------------------------------------------
step "running the installed daemon and client (private namespace, systemctl stand-in)"
# The command line the unit runs, with its environment settings filled in.
port=$(sed -n 's/^Environment=LOMARIND_PORT=\([0-9]*\)$/\1/p' "$unit")
[ "$port" = 9 ] || fail "the unit's LOMARIND_PORT is '$port', not 9"
verb=$(sed -n 's/^Environment=LOMARIND_SLEEP=//p' "$unit")
command=$(sed -n 's/^ExecStart=//p' "$unit" | sed "s/\${LOMARIND_PORT}/$port/; s/\${LOMARIND_SLEEP}/$verb/")
echo "   $command"
client_option=
if [ "$with_client" = yes ]; then
	client_option="--client /usr/bin/lomarind"
fi
# shellcheck disable=SC2086
"$BUILD/tests/package/lomarind-package-check" $client_option --port "$port" -- $command ||
	fail "the installed daemon and client did not behave"
ok "the installed daemon served, suspended (pretended) and quit"

# ---------------------------------------------------------------------------------------
step "purging with dpkg --purge"
dpkg --purge lomarind || fail "dpkg --purge failed"
installed=no
traces >"$tmp/after"
if ! diff -u "$tmp/before" "$tmp/after"; then
	fail "left behind after purge (+ above)"
fi
for dir in /usr/libexec/lomarind /usr/share/doc/lomarind; do
	[ ! -e "$dir" ] || fail "$dir is still there"
done
ok "nothing left: no files, no enablement links, no deb-systemd-helper state"

# ---------------------------------------------------------------------------------------
step "lintian"
# Tags the package overrides are listed with their reasons in
# packaging/debian/lintian-overrides; anything at error or warning level fails.
lintian --info --display-info --show-overrides "$deb" | tee "$tmp/lintian" || true
if grep -E '^(E|W):' "$tmp/lintian" >/dev/null; then
	fail "lintian reports errors or warnings (above)"
fi
ok "lintian: no errors or warnings"

# ---------------------------------------------------------------------------------------
step "cmake --install with DESTDIR and a prefix"
DESTDIR="$tmp/stage" cmake --install "$BUILD" --prefix /opt/lmr >/dev/null
(cd "$tmp/stage" && find . -type f | sort) >"$tmp/staged"
{
	echo ./opt/lmr/etc/ufw/applications.d/lomarind
	echo ./opt/lmr/lib/systemd/system/lomarind.service
	echo ./opt/lmr/libexec/lomarind/server
	echo ./opt/lmr/share/doc/lomarind/LICENSE
	echo ./opt/lmr/share/doc/lomarind/README.md
	echo ./opt/lmr/share/doc/lomarind/docs/first-run.md
	echo ./opt/lmr/share/doc/lomarind/docs/fuzzing-and-analysis.md
	echo ./opt/lmr/share/doc/lomarind/docs/performance.md
	echo ./opt/lmr/share/doc/lomarind/docs/system-tests.md
	echo ./opt/lmr/share/doc/lomarind/examples/allow-controllers.conf
	echo ./opt/lmr/share/doc/lomarind/examples/keyed.conf
	echo ./opt/lmr/share/man/man8/lomarind-server.8.gz
	[ "$with_client" = no ] || echo ./opt/lmr/bin/lomarind
	[ "$with_client_page" = no ] || echo ./opt/lmr/share/man/man1/lomarind.1.gz
} | sort >"$tmp/expected-staged"
diff -u "$tmp/expected-staged" "$tmp/staged" || fail "cmake --install put other files (- expected, + found)"
grep -q '^ExecStart=/opt/lmr/libexec/lomarind/server ' "$tmp/stage/opt/lmr/lib/systemd/system/lomarind.service" ||
	fail "the unit installed under /opt/lmr does not name /opt/lmr/libexec/lomarind/server"
ok "DESTDIR and prefix honoured; the unit names the daemon under the prefix"

printf '\nall package checks passed (%s)\n' "$deb"
cd "$top"
