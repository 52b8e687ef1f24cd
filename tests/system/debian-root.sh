# Shared by the system tests: a minimal Debian 12 root, built once with debootstrap and kept
# as a tarball under the build directory so that a rerun only unpacks it. Source this file.

# The Debian mirror this machine's own apt uses for bookworm. No host name is written into
# the repository: the tests go wherever the machine's apt sources point.
debian_mirror() {
  apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk '$2 == "bookworm" { print $1; exit }'
}

# debian_root ROOT TARBALL PACKAGES: fills the empty directory ROOT with a minbase bookworm
# holding PACKAGES (comma-separated), from TARBALL when it exists and was made for the same
# PACKAGES, else by debootstrap, after which TARBALL is written for the next run.
debian_root() {
  local root=$1 tarball=$2 packages=$3
  mkdir -p "$root"
  if [ -s "$tarball" ] && [ "$(cat "$tarball.packages" 2>/dev/null)" = "$packages" ]; then
    tar -C "$root" -xpf "$tarball"
    return
  fi
  local mirror
  mirror=$(debian_mirror)
  if [ -z "$mirror" ]; then
    echo "no bookworm mirror in this machine's apt sources (run apt-get update first)" >&2
    return 1
  fi
  debootstrap --variant=minbase --include="$packages" bookworm "$root" "$mirror" \
    >"$tarball.log" 2>&1 || { tail -n 20 "$tarball.log" >&2; return 1; }
  tar -C "$root" -cpf "$tarball.tmp" . && mv "$tarball.tmp" "$tarball" &&
    printf '%s\n' "$packages" >"$tarball.packages"
}

# package_depends DEB: the packages DEB depends on, comma-separated, without versions (the
# first of any alternatives), for debian_root's PACKAGES.
package_depends() {
  dpkg-deb -f "$1" Depends | sed 's/([^)]*)//g; s/|[^,]*//g; s/[[:space:]]//g'
}

# autopkgtest_tests CONTROL: one line per test of a debian/tests/control file, its name and
# then its restrictions, blank-separated ("installed needs-root"). Fields are read from one
# line each, which is how this package writes them.
autopkgtest_tests() {
  awk '
    function flush() { if (tests != "") { n = split(tests, t, /[ ,]+/); for (i = 1; i <= n; i++) if (t[i] != "") print t[i], restrictions }; tests = ""; restrictions = "" }
    /^#/ { next }
    /^$/ { flush(); next }
    /^Tests:/ { sub(/^Tests:[ \t]*/, ""); tests = $0 }
    /^Restrictions:/ { sub(/^Restrictions:[ \t]*/, ""); gsub(/,/, " "); restrictions = $0 }
    END { flush() }
  ' "$1"
}

# autopkgtest_depends CONTROL: the packages the tests of CONTROL depend on, comma-separated,
# without "@" (the package under test) or versions, for debian_root's PACKAGES.
autopkgtest_depends() {
  sed -n 's/^Depends:[[:space:]]*//p' "$1" | tr ',' '\n' | sed 's/([^)]*)//; s/[[:space:]]//g' |
    grep -v '^@$' | grep . | sort -u | paste -sd, -
}

