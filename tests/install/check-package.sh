#!/usr/bin/env bash
# Builds the Debian package with cpack into a scratch folder and checks it as
# apt and a reviewer would: its fields (dependencies from dpkg-shlibdeps plus
# the ones loaded at run time), every file in place with root ownership and
# sane modes, the unpacked programs running, and lintian without errors.
set -euo pipefail
build=$1
out=$2
version=$3
for tool in cpack dpkg-deb dpkg-shlibdeps lintian; do
  command -v "$tool" >/dev/null || { echo "$tool is not installed (tools/install-deps.sh)"; exit 1; }
done
rm -rf "$out"
mkdir -p "$out"
cpack -G DEB -B "$out" --config "$build/CPackConfig.cmake" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log"; exit 1; }
debs=("$out"/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "expected one .deb in $out"; ls "$out"; exit 1; }
deb=${debs[0]}
fail=0
field() { dpkg-deb -f "$deb" "$1"; }

# --- Fields.
[ "$(field Package)" = splicora ] || { echo "Package: $(field Package)"; fail=1; }
[ "$(field Version)" = "$version" ] || { echo "Version: $(field Version), expected $version"; fail=1; }
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || { echo "Architecture: $(field Architecture)"; fail=1; }
[ "$(field Section)" = video ] || { echo "Section: $(field Section)"; fail=1; }
[ -n "$(field Maintainer)" ] || { echo "no Maintainer"; fail=1; }
[ "$(field Description | head -1)" = "join AVI clips into one AVI file" ] ||
  { echo "Description synopsis: $(field Description | head -1)"; fail=1; }
[ "$(field Description | wc -l)" -ge 3 ] || { echo "Description has no long text"; fail=1; }
depends=$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ *(.*//; s/ *|.*//' | sort -u)
# Loaded at run time (no linker can see them) and found by dpkg-shlibdeps.
for dep in libmp3lame0 qt6-translations-l10n libc6 libstdc++6 libqt6widgets6 libqt6gui6 libqt6core6; do
  grep -qx "$dep" <<<"$depends" || { echo "Depends lacks $dep: $(field Depends)"; fail=1; }
done
grep -q '^libavformat' <<<"$depends" || { echo "Depends lacks FFmpeg's libavformat: $(field Depends)"; fail=1; }

# --- Contents: each expected file, owned by root, with its mode; nothing else.
id=org.splicora.Splicora
expected=(
  "-rwxr-xr-x ./usr/bin/splicora"
  "-rwxr-xr-x ./usr/bin/splicora-cli"
  "-rw-r--r-- ./usr/share/applications/$id.desktop"
  "-rw-r--r-- ./usr/share/metainfo/$id.metainfo.xml"
  "-rw-r--r-- ./usr/share/splicora/HelpEN.htm"
  "-rw-r--r-- ./usr/share/splicora/HelpRU.htm"
  "-rw-r--r-- ./usr/share/man/man1/splicora.1.gz"
  "-rw-r--r-- ./usr/share/man/man1/splicora-cli.1.gz"
  "-rw-r--r-- ./usr/share/doc/splicora/copyright"
  "-rw-r--r-- ./usr/share/doc/splicora/changelog.gz"
)
for size in 16 32 48 256; do expected+=("-rw-r--r-- ./usr/share/icons/hicolor/${size}x${size}/apps/$id.png"); done
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | awk '{print $1, "root/root", $2}' | sort)
if [ "$actual" != "$wanted" ]; then
  echo "package contents differ from the expected ones:"
  diff <(echo "$wanted") <(echo "$actual") || true
  fail=1
fi
dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root") {print "odd folder:", $0; bad=1} END {exit bad}' ||
  fail=1

# --- Unpacked, the programs run and the desktop files validate.
root=$out/root
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/splicora-cli" --version | grep -q '^splicora-cli ' || { echo "unpacked splicora-cli does not run"; fail=1; }
for exe in splicora splicora-cli; do
  file -L "$root/usr/bin/$exe" | grep -q ', stripped' || { echo "$exe is not stripped"; fail=1; }
done
desktop-file-validate "$root/usr/share/applications/$id.desktop" || fail=1
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >/dev/null || fail=1
zcat "$root/usr/share/man/man1/splicora-cli.1.gz" | grep -q '^\.TH SPLICORA-CLI 1' || { echo "man page not packed"; fail=1; }

# --- lintian: errors fail (exit 1), the rest is shown; 2 and up: it did not run.
rc=0
lint=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1) || rc=$?
[ -z "$lint" ] || echo "$lint"
case $rc in
  0) ;;
  1) echo "lintian reports errors"; fail=1 ;;
  *) echo "lintian failed to run (exit $rc)"; fail=1 ;;
esac
echo "$(basename "$deb"): $(dpkg-deb -c "$deb" | wc -l) entries; Depends: $(field Depends)"
exit $fail
