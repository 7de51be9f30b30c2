#!/usr/bin/env bash
# The Debian package, from this build: packs it with CPack into a scratch
# directory, checks its contents and dependency line, validates the desktop
# entry and the metainfo, runs lintian (an error fails), then extracts it and
# starts the extracted program with a fake home. The package is never
# installed. Usage: package-test.sh BUILD_DIR SCRATCH_DIR
set -euo pipefail
build=$(realpath "$1")
scratch=$(realpath -m "$2")
fail() { echo "package test: $*" >&2; exit 1; }

for tool in cpack dpkg-deb dpkg-shlibdeps file desktop-file-validate appstreamcli lintian; do
  command -v "$tool" >/dev/null ||
    fail "$tool is missing: scripts/install-deps --test installs dpkg-dev, file, desktop-file-utils, appstream, lintian"
done

rm -rf "$scratch"
mkdir -p "$scratch"
cpack --config "$build/CPackConfig.cmake" -B "$scratch" >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; fail "cpack failed"; }
debs=("$scratch"/velkor_*_amd64.deb)
[[ -f ${debs[0]} ]] || fail "no velkor_<version>_amd64.deb in $scratch"
deb=${debs[0]}
echo "package: $(basename "$deb")"

# Contents.
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$scratch/contents"
for f in /usr/bin/velkor /usr/libexec/velkor/velkor-icmp /usr/share/velkor/installed \
         /usr/share/applications/velkor.desktop /usr/share/icons/hicolor/scalable/apps/velkor.svg \
         /usr/share/icons/hicolor/48x48/apps/velkor.png /usr/share/metainfo/io.github.velkor.velkor.metainfo.xml \
         /usr/share/man/man1/velkor.1.gz /usr/share/doc/velkor/copyright /usr/share/doc/velkor/changelog.gz \
         /usr/bin/velkor-check /usr/share/man/man1/velkor-check.1.gz /usr/lib/nagios/plugins/velkor-check \
         /usr/share/icinga2/include/plugins-contrib.d/velkor.conf /usr/share/velkor/naemon/velkor.cfg; do
  grep -qx "$f" "$scratch/contents" || fail "$f is not in the package"
done

# The install rules: an install of this build (whose default target the
# suite built) into a prefix of its own must succeed and hold exactly the
# package's files and links, so that no rule names a file the default target
# leaves unbuilt and the package carries nothing the install does not.
DESTDIR="$scratch/install" cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1 ||
  { cat "$scratch/install.log"; fail "cmake --install of the build failed"; }
(cd "$scratch/install" && find . ! -type d | sed 's|^\.||' | LC_ALL=C sort) >"$scratch/installed"
grep -v '/$' "$scratch/contents" | LC_ALL=C sort >"$scratch/packaged"
diff "$scratch/installed" "$scratch/packaged" >"$scratch/install.diff" ||
  { cat "$scratch/install.diff"; fail "the install and the package hold different files (< install, > package)"; }

# Dependencies: the libraries the binaries link, and those no binary shows.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for d in libc6 libqt6widgets6 libqt6gui6 libqt6core6 libsmbclient libssl3 libsqlite3-0 fonts-ipafont-gothic libcap2-bin ca-certificates; do
  [[ ", $depends," == *", $d "* || ", $depends," == *", $d,"* ]] || fail "Depends lacks $d"
done

# The postinst grants the helper, and nothing else, the capability.
dpkg-deb -e "$deb" "$scratch/control"
grep -q 'setcap cap_net_raw+ep "$helper"' "$scratch/control/postinst" || fail "the postinst does not grant the helper cap_net_raw"
grep -q '^helper=/usr/libexec/velkor/velkor-icmp$' "$scratch/control/postinst" || fail "the postinst names another helper"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/velkor.desktop" || fail "desktop entry"
appstreamcli validate --no-net "$root/usr/share/metainfo/io.github.velkor.velkor.metainfo.xml" || fail "metainfo"

lintian_ok=1
lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 || lintian_ok=0
grep -v 'running with root privileges' "$scratch/lintian.log" || true
[[ $lintian_ok == 1 ]] || fail "lintian reports errors"

# The extracted program with a fake home: a damaged settings file makes the
# start-up write an error-log line before it shows the settings dialog.
home=$scratch/home
mkdir -p "$home/.config/velkor"
printf '%%%% damaged %%%%\r\n' >"$home/.config/velkor/VKRSYS.DAT"
env -i HOME="$home" PATH=/usr/bin:/bin QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$scratch" \
  "$root/usr/bin/velkor" >"$scratch/velkor.out" 2>&1 &
pid=$!
errlog=$home/.local/state/velkor/velkorERR1.log
for _ in $(seq 1 150); do
  [[ -s $errlog ]] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.2
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
[[ -s $errlog ]] || { cat "$scratch/velkor.out"; fail "no error log at $errlog"; }
head -c 1 "$errlog" | grep -q ' ' || fail "the error log's line does not start with a blank"
[[ $(stat -c %a "$home/.local/state/velkor") == 700 ]] || fail "the state directory is not 0700"
[[ $(ls "$root/usr/bin" | tr '\n' ' ') == "velkor velkor-check " ]] || fail "files beside the executable: $(ls "$root/usr/bin")"
[[ $(ls "$root/usr/share/velkor" | tr '\n' ' ') == "installed naemon " ]] || fail "files beside the marker: $(ls "$root/usr/share/velkor")"
echo "package test: passed"
rm -rf "$scratch"
