#!/usr/bin/env bash
# Builds the Debian packages from a built CMake tree; the build's `deb` target
# runs it:
#   netbackend_<version>_<arch>.deb
#       the program under the four brand names tamo, solena, zalor and orbec
#       (one file and three hard links), the man page, the copyright file and
#       the changelog;
#   netbackend-gprinter_<version>_<arch>.deb
#       the name gprinter, which lists every printer whatever its brand. It is
#       a copy of the program: a package cannot hold a hard link to a file of
#       another package;
#   netbackend-printer-app_<version>_<arch>.deb
#       where the build has the printer application (it needs PAPPL): the
#       program, its man page, its systemd unit and defaults file, and the
#       maintainer scripts that make and, on purge, remove its system user
#       and state (pkg/netbackend-printer-app.*).
#
# The staging trees come from `cmake --install --strip` and are packed by
# dpkg-deb, which keeps hard links as links (CPack's DEB generator stored each
# name as a file of its own). The control files come from pkg/control and
# pkg/changelog through dpkg-gencontrol, and the library dependencies from
# dpkg-shlibdeps, as a Debian source package would have them.
#
# Reproducible: every time stamp is SOURCE_DATE_EPOCH (by default the time of
# the last commit), files belong to root, dpkg-deb sorts the members, xz runs
# on one thread, and the compressed documents are made with gzip -9n.
#
# Usage: pkg/build-deb.sh BUILD_DIR VERSION BACKEND_DIR
#   VERSION      the project's version; pkg/changelog must have an entry for it
#   BACKEND_DIR  the backend directory as configured (absolute, or relative
#                to /usr)
set -euo pipefail

if [ $# != 3 ]; then
  echo "usage: $0 BUILD_DIR VERSION BACKEND_DIR" >&2
  exit 2
fi
BUILD=$(cd "$1" && pwd)
VERSION=$2
BACKEND_DIR=$3
[[ $BACKEND_DIR == /* ]] || BACKEND_DIR=/usr/$BACKEND_DIR
SRC=$(cd "$(dirname "$0")/.." && pwd)
PKG=$SRC/pkg
umask 022
export LC_ALL=C TZ=UTC

die() { echo "build-deb: $*" >&2; exit 1; }

for tool in dpkg-deb dpkg-gencontrol dpkg-shlibdeps dpkg-parsechangelog; do
  command -v "$tool" >/dev/null || die "needs $tool (Debian's dpkg-dev package)"
done

changelog_version=$(dpkg-parsechangelog -l "$PKG/changelog" -SVersion)
[ "$changelog_version" = "$VERSION" ] \
  || die "pkg/changelog's latest entry is $changelog_version, the project's version is $VERSION: add an entry"

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$SRC" log -1 --format=%ct 2>/dev/null) \
    || SOURCE_DATE_EPOCH=$(dpkg-parsechangelog -l "$PKG/changelog" -STimestamp)
fi
export SOURCE_DATE_EPOCH

# Laid out as in a Debian source package, where dpkg-shlibdeps and
# dpkg-gencontrol expect it: debian/control and debian/changelog, and a
# staging tree debian/<package> for each package.
out=$BUILD/deb
rm -rf "$out"
mkdir -p "$out/debian"
cp "$PKG/control" "$PKG/changelog" "$out/debian/"
main=$out/debian/netbackend
gprinter=$out/debian/netbackend-gprinter
app=$out/debian/netbackend-printer-app
packages=(netbackend netbackend-gprinter)

# The program, its hard links, the man page and the documents, stripped. Only
# the backend component: gprinter, if the build was configured to install it,
# goes to its own package below.
DESTDIR=$main cmake --install "$BUILD" --prefix /usr --component backend --strip \
  >"$out/install.log" || { cat "$out/install.log" >&2; die "cmake --install failed"; }
names=("$main$BACKEND_DIR"/*)
[ -f "${names[0]}" ] || die "nothing installed in $BACKEND_DIR"
install -D -m 0644 "$PKG/netbackend.lintian-overrides" \
  "$main/usr/share/lintian/overrides/netbackend"

install -d "$gprinter$BACKEND_DIR" "$gprinter/usr/share/doc/netbackend-gprinter"
cp --preserve=mode "${names[0]}" "$gprinter$BACKEND_DIR/gprinter"
install -m 0644 "$main/usr/share/doc/netbackend/copyright" \
  "$main/usr/share/doc/netbackend/changelog.gz" "$gprinter/usr/share/doc/netbackend-gprinter/"
install -D -m 0644 "$PKG/netbackend-gprinter.lintian-overrides" \
  "$gprinter/usr/share/lintian/overrides/netbackend-gprinter"

# The printer application: its own component, installed only here.
DESTDIR=$app cmake --install "$BUILD" --prefix /usr --component app --strip \
  >>"$out/install.log" || { cat "$out/install.log" >&2; die "cmake --install failed"; }
if [ -e "$app/usr/sbin/netbackend-printer-app" ]; then
  packages+=(netbackend-printer-app)
  install -d "$app/DEBIAN"
  for script in postinst prerm postrm; do
    install -m 0755 "$PKG/netbackend-printer-app.$script" "$app/DEBIAN/$script"
  done
  # Every file under /etc is the administrator's: dpkg keeps their changes.
  (cd "$app" && find etc -type f -printf '/%p\n' | sort) > "$app/DEBIAN/conffiles"
  chmod 0644 "$app/DEBIAN/conffiles"
  install -D -m 0644 "$PKG/netbackend-printer-app.lintian-overrides" \
    "$app/usr/share/lintian/overrides/netbackend-printer-app"
fi

for package in "${packages[@]}"; do
  root=$out/debian/$package
  mkdir -p "$root/DEBIAN"
  if [ "$package" = netbackend-printer-app ]; then
    programs=("$root/usr/sbin/netbackend-printer-app")
  else
    programs=("$root$BACKEND_DIR"/*)
  fi
  (cd "$out" \
    && dpkg-shlibdeps -T"debian/$package.substvars" "${programs[@]}" \
    && dpkg-gencontrol -p"$package" -T"debian/$package.substvars" -P"$root" -fdebian/files) \
    || die "control file of $package"
  # dpkg keeps the conffiles' sums itself: they are not listed here.
  (cd "$root" && find . -path ./DEBIAN -prune -o -path ./etc -prune -o -type f -printf '%P\0' \
    | sort -z | xargs -0r md5sum) > "$root/DEBIAN/md5sums"
  chmod 0644 "$root/DEBIAN/md5sums" "$root/DEBIAN/control"
  find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
  dpkg-deb --root-owner-group -Zxz --threads-max=1 --build "$root" "$BUILD"
done
