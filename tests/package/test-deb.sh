#!/bin/sh
# Builds the Debian package with make package and treats it as an admin would: inspects its
# files, control fields and permissions and its -dbgsym companion; installs it with dpkg
# (which makes the key in the directory the package owns); checks that ldd of the daemon
# lists the C++ runtime and libsodium, and that the files are where the unit and the man
# page say; verifies the unit with systemd-analyze; runs the installed daemon as the unit
# does, keyed, with the installed client (in a private namespace, with a stand-in for
# systemctl), and the unit's reload check of the key; reinstalls it (the key stays); purges
# it and checks that nothing is left, the key included; runs lintian on the binary and the
# source package. Also checks that DEB_BUILD_OPTIONS=noopt builds with -O0, and a plain
# cmake --install with DESTDIR and a prefix.
#
# It installs and removes a package system-wide, so it runs as root on a disposable
# machine (CI does), never from ctest. It stops at the first failed check.
#   PKG_BUILD=dir  where make package builds the package (default build-pkg)
#   BUILD=dir      a CMake build directory for the check program and the cmake --install
#                  check (default build; configured if it is not yet)
set -eu
cd "$(dirname "$0")/../.."
top=$(pwd)
PKG_BUILD=${PKG_BUILD:-build-pkg}
BUILD=${BUILD:-build}

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
make package PKG_BUILD="$PKG_BUILD" >"$tmp/package.log" 2>&1 ||
	{ tail -n 40 "$tmp/package.log"; fail "make package (the whole log: above, the end)"; }
grep -E '^dpkg-deb: building package' "$tmp/package.log" | sed 's/^/   /'
version=$(dpkg-parsechangelog -S Version)
arch=$(dpkg --print-architecture)
deb="$PKG_BUILD/lomarind_${version}_${arch}.deb"
dbgsym="$PKG_BUILD/lomarind-dbgsym_${version}_${arch}.deb"
[ -n "$version" ] && [ -f "$deb" ] || fail "no package at $deb"
ok "built $deb"
grep -q "^project(lomarind VERSION $version " CMakeLists.txt ||
	fail "debian/changelog's version $version is not the version in project()"
ok "version $version, as project() and debian/changelog say"
grep -Eq '^[0-9]+/[0-9]+ Test +#[0-9]+: ' "$tmp/package.log" &&
	grep -q '^100% tests passed, 0 tests failed out of [1-9]' "$tmp/package.log" ||
	fail "the package build did not run the unit tests, or one failed"
ok "the package build ran the unit tests: $(grep '^100% tests passed' "$tmp/package.log")"
# The unit directory the package build asked pkg-config for.
unit_dir=$(pkg-config --variable=systemdsystemunitdir systemd)
[ -n "$unit_dir" ] || fail "pkg-config knows no systemdsystemunitdir"
unit=$unit_dir/lomarind.service

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
# libsodium is the shared library, so that its security updates reach the programs.
field Depends | grep -Eq 'libsodium[0-9]+ \(>= ' || fail "Depends lacks libsodium: '$(field Depends)'"
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
	echo ".$unit"
	echo ./usr/libexec/lomarind/server
	# Compressed, as Policy asks of documents over 4 kB; the developers' documents in docs/
	# are not for the user package.
	echo ./usr/share/doc/lomarind/README.md.gz
	echo ./usr/share/doc/lomarind/changelog.gz
	echo ./usr/share/doc/lomarind/copyright
	echo ./usr/share/doc/lomarind/examples/allow-controllers.conf
	echo ./usr/share/doc/lomarind/examples/keyless.conf
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
grep -q '^ExecStart=/usr/libexec/lomarind/server ' "$tmp/root$unit" ||
	fail "the unit does not start /usr/libexec/lomarind/server"
# The daemon reads the key file itself, at start and on reload; a reload checks the file
# first, and only then signals the daemon. No copy of the key is made (a credential's would
# not change until a restart).
# shellcheck disable=SC2016 # the unit's own text
grep -q '^ExecStart=.* --key-file=/etc/lomarind/keys [$]LOMARIND_OPTIONS$' "$tmp/root$unit" &&
	[ "$(sed -n 's/^ExecReload=//p' "$tmp/root$unit")" = '/usr/libexec/lomarind/server --check --key-file=/etc/lomarind/keys
/bin/kill -HUP $MAINPID' ] && ! grep -q '^LoadCredential' "$tmp/root$unit" ||
	fail "the unit's daemon does not read /etc/lomarind/keys, or a reload does not check it and then signal the daemon"
ok "man pages gzip -9 and warning-free; programs stripped; unit names the installed daemon and the key, checked on reload"

# The debugging information comes in lomarind-dbgsym, under each program's build id.
[ -f "$dbgsym" ] || fail "no -dbgsym package at $dbgsym"
dpkg-deb -c "$dbgsym" | awk '{ print $6 }' | grep '\.debug$' | sort >"$tmp/debug-files"
for program in "$tmp"/root/usr/libexec/lomarind/server "$tmp"/root/usr/bin/lomarind; do
	id=$(readelf -n "$program" | sed -n 's/^ *Build ID: \([0-9a-f]*\)$/\1/p')
	[ -n "$id" ] || fail "$program has no build id"
	grep -qx "\./usr/lib/debug/\.build-id/$(echo "$id" | cut -c1-2)/$(echo "$id" | cut -c3-)\.debug" "$tmp/debug-files" ||
		fail "$dbgsym lacks the debugging information of $program (build id $id)"
done
ok "$(basename "$dbgsym"): the debugging information of both programs, by build id"

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
key=/etc/lomarind/keys
[ "$(stat -c '%U:%G %a %F' "$key" 2>&1)" = "root:root 600 regular file" ] ||
	fail "postinst made no key root's alone: $(stat -c '%U:%G %a %F' "$key" 2>&1)"
grep -Eqx '[0-9a-f]{64}' "$key" && [ "$(stat -c %s "$key")" = 65 ] ||
	fail "$key is not 64 lower-case hex digits and a line feed"
key_sum=$(sha256sum <"$key")
ok "postinst made $key: root:root, 0600, 64 hex digits and a line feed"
# The package owns the directory; postinst makes only the key in it.
[ "$(dpkg -S /etc/lomarind 2>&1)" = "lomarind: /etc/lomarind" ] &&
	[ "$(stat -c '%U:%G %a' /etc/lomarind)" = "root:root 755" ] ||
	fail "/etc/lomarind: dpkg -S says '$(dpkg -S /etc/lomarind 2>&1)'; $(stat -c '%U:%G %a' /etc/lomarind 2>&1)"
ok "/etc/lomarind: the package's, root:root, 0755"
# The C++ runtime and libsodium are loaded from their own packages, so that their fixes reach
# the daemon without a rebuild.
ldd /usr/libexec/lomarind/server >"$tmp/ldd" 2>&1 || fail "ldd /usr/libexec/lomarind/server: $(cat "$tmp/ldd")"
for library in libstdc++ libsodium; do
	line=$(grep -F " => /" "$tmp/ldd" | grep -F "$library.so") ||
		fail "ldd /usr/libexec/lomarind/server lists no $library: $(tr '\n' ' ' <"$tmp/ldd")"
	ok "ldd /usr/libexec/lomarind/server:$line"
done

# ---------------------------------------------------------------------------------------
step "files where the unit and the man page say"
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
examples=$(sed -n 's/^# .*\(\/usr\/share\/doc\/lomarind\/examples\/[^ ]*\)\.$/\1/p' "$unit")
[ "$(printf '%s\n' "$examples" | wc -l)" = 2 ] || fail "the unit's comments name not two examples: $examples"
for example in $examples; do
	[ -f "$example" ] || fail "the unit's example drop-in '$example' is missing"
	ok "the unit's comment names $example"
done
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
# shellcheck disable=SC2086 # one word per example
cp $examples "$tmp/units/lomarind.service.d/"
printf '[Service]\nEnvironment=LOMARIND_PORT=7777\n' >"$tmp/units/lomarind.service.d/port.conf"
export SYSTEMD_UNIT_PATH="$tmp/units:"
verify "$tmp/units/lomarind.service" || fail "systemd-analyze verify with the example drop-ins"
unset SYSTEMD_UNIT_PATH
ok "systemd-analyze verify with the port, allow-controllers and keyless drop-ins: clean"

# ---------------------------------------------------------------------------------------
step "running the installed daemon and client (private namespace, systemctl stand-in)"
# The check program, from a plain build of this tree.
[ -f "$BUILD/CMakeCache.txt" ] || cmake -S . -B "$BUILD" --log-level=WARNING
cmake --build "$BUILD" -j 2 --target lomarind-package-check lomarind-package-files >"$tmp/check-build.log" 2>&1 ||
	{ tail -n 30 "$tmp/check-build.log"; fail "building lomarind-package-check in $BUILD"; }
# The command line the unit runs, with its environment settings filled in; it reads the key
# postinst made.
port=$(sed -n 's/^Environment=LOMARIND_PORT=\([0-9]*\)$/\1/p' "$unit")
[ "$port" = 9 ] || fail "the unit's LOMARIND_PORT is '$port', not 9"
verb=$(sed -n 's/^Environment=LOMARIND_SLEEP=//p' "$unit")
# Empty as packaged, so that the unit's command line has no word for it (dropped below).
grep -qx 'Environment=LOMARIND_OPTIONS=' "$unit" || fail "the unit does not set LOMARIND_OPTIONS empty"
command=$(sed -n 's/^ExecStart=//p' "$unit" |
	sed "s/\${LOMARIND_PORT}/$port/; s/\${LOMARIND_SLEEP}/$verb/; s/ [$]LOMARIND_OPTIONS$//")
echo "   $command"
client_option=
if [ "$with_client" = yes ]; then
	client_option="--client /usr/bin/lomarind --key-file $key"
fi
# shellcheck disable=SC2086
"$BUILD/tests/package/lomarind-package-check" $client_option --port "$port" -- $command ||
	fail "the installed daemon and client did not behave"
ok "the installed daemon, keyed, served the client with the key: suspended (pretended) and quit"
# The unit's reload check, as written, passes the key postinst made and names its one key.
check=$(sed -n 's/^ExecReload=\(.* --check .*\)$/\1/p' "$unit")
# shellcheck disable=SC2086 # the unit's words
checked=$($check 2>&1) || fail "the unit's reload check '$check' refused $key: $checked"
[ "$checked" = "$key: 1 key (default)" ] || fail "the unit's reload check '$check' printed '$checked'"
ok "$check: '$checked'"

# ---------------------------------------------------------------------------------------
step "installing again: the key stays"
dpkg --path-include="/usr/share/*" -i "$deb" || fail "dpkg -i over the installed package failed"
[ "$(sha256sum <"$key")" = "$key_sum" ] && [ "$(stat -c '%U:%G %a' "$key")" = "root:root 600" ] ||
	fail "the reinstallation changed $key"
ok "$key unchanged (sha256, owner and mode)"

# ---------------------------------------------------------------------------------------
step "purging with dpkg --purge"
dpkg --purge lomarind || fail "dpkg --purge failed"
installed=no
traces >"$tmp/after"
if ! diff -u "$tmp/before" "$tmp/after"; then
	fail "left behind after purge (+ above)"
fi
for dir in /usr/libexec/lomarind /usr/share/doc/lomarind /etc/lomarind; do
	[ ! -e "$dir" ] || fail "$dir is still there"
done
ok "nothing left: no key, no files, no enablement links, no deb-systemd-helper state"

# ---------------------------------------------------------------------------------------
step "lintian: the binary packages, then the source package"
# Tags the package overrides are listed with their reasons in
# debian/lomarind.lintian-overrides; any other tag, down to pedantic and experimental, fails.
changes="$PKG_BUILD/lomarind_${version}_${arch}.changes"
lintian --pedantic -I -E --show-overrides "$changes" 2>&1 | tee "$tmp/lintian" || true
if grep -E '^[EWIPXC]: ' "$tmp/lintian" >/dev/null; then
	fail "lintian reports the tags above"
fi
ok "lintian on $(basename "$changes") (lomarind and lomarind-dbgsym): no tags but the overridden ones"
# The source package, built with dpkg-buildpackage -S from a copy of this tree.
mkdir -p "$tmp/source/lomarind"
tar -C . --exclude='./build*' --exclude=./.git --exclude='./obj-*' -cf - . | tar -C "$tmp/source/lomarind" -xf -
(cd "$tmp/source/lomarind" && dpkg-buildpackage -S -us -uc) >"$tmp/source.log" 2>&1 ||
	{ tail -n 20 "$tmp/source.log"; fail "dpkg-buildpackage -S"; }
lintian --pedantic -I -E --show-overrides "$tmp/source/lomarind_${version}.dsc" 2>&1 | tee "$tmp/lintian-source" || true
if grep -E '^[EWIPXC]: ' "$tmp/lintian-source" >/dev/null; then
	fail "lintian reports the tags above on the source package"
fi
ok "lintian on lomarind_${version}.dsc: no tags"

# ---------------------------------------------------------------------------------------
step "DEB_BUILD_OPTIONS=noopt: dpkg-buildflags alone decide the optimisation"
make package PKG_BUILD="$PKG_BUILD-noopt" DEB_BUILD_OPTIONS="noopt nocheck" >"$tmp/noopt.log" 2>&1 ||
	{ tail -n 30 "$tmp/noopt.log"; fail "make package with noopt"; }
rm -rf "$PKG_BUILD-noopt"
# Every compiler command of the build: -O0, and no other -O.
grep -E '/usr/bin/c\+\+ .* -c ' "$tmp/noopt.log" >"$tmp/compiles" || fail "no compiler commands in the noopt build's log"
if grep -v -- ' -O0 ' "$tmp/compiles" | head -n 3 | grep . || grep -E -- ' -O[1-3sgz] ' "$tmp/compiles" | head -n 3 | grep .; then
	fail "with noopt, these compiler commands lack -O0 or carry another -O"
fi
ok "noopt: all $(wc -l <"$tmp/compiles") compiler commands with -O0 and no other -O"

# ---------------------------------------------------------------------------------------
step "cmake --install with DESTDIR and a prefix"
# The build tree of the check program, whose installable files were built above.
DESTDIR="$tmp/stage" cmake --install "$BUILD" --prefix /opt/lmr >/dev/null
(cd "$tmp/stage" && find . -type f | sort) >"$tmp/staged"
{
	echo ./opt/lmr/etc/ufw/applications.d/lomarind
	echo ./opt/lmr/lib/systemd/system/lomarind.service
	echo ./opt/lmr/libexec/lomarind/server
	echo ./opt/lmr/share/doc/lomarind/LICENSE
	echo ./opt/lmr/share/doc/lomarind/README.md
	echo ./opt/lmr/share/doc/lomarind/examples/allow-controllers.conf
	echo ./opt/lmr/share/doc/lomarind/examples/keyless.conf
	echo ./opt/lmr/share/man/man8/lomarind-server.8.gz
	[ "$with_client" = no ] || echo ./opt/lmr/bin/lomarind
	[ "$with_client_page" = no ] || echo ./opt/lmr/share/man/man1/lomarind.1.gz
} | sort >"$tmp/expected-staged"
diff -u "$tmp/expected-staged" "$tmp/staged" || fail "cmake --install put other files (- expected, + found)"
grep -q '^ExecStart=/opt/lmr/libexec/lomarind/server ' "$tmp/stage/opt/lmr/lib/systemd/system/lomarind.service" &&
	grep -q ' --key-file=/opt/lmr/etc/lomarind/keys [$]LOMARIND_OPTIONS$' "$tmp/stage/opt/lmr/lib/systemd/system/lomarind.service" &&
	grep -qx 'ExecReload=/opt/lmr/libexec/lomarind/server --check --key-file=/opt/lmr/etc/lomarind/keys' "$tmp/stage/opt/lmr/lib/systemd/system/lomarind.service" ||
	fail "the unit installed under /opt/lmr does not name /opt/lmr/libexec/lomarind/server and /opt/lmr/etc/lomarind/keys"
ok "DESTDIR and prefix honoured; the unit names the daemon and the key under the prefix"

printf '\nall package checks passed (%s)\n' "$deb"
cd "$top"
