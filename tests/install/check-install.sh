#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop needs:
# every file in its place and nothing else, icons of their folder's size,
# a desktop entry and AppStream metainfo that pass their validators, and an
# installed splicora-cli that runs.
set -euo pipefail
build=$1
prefix=$2
rm -rf "$prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
id=org.splicora.Splicora
expected=(
  bin/splicora
  bin/splicora-cli
  "share/applications/$id.desktop"
  "share/metainfo/$id.metainfo.xml"
  share/splicora/HelpEN.htm
  share/splicora/HelpRU.htm
  share/man/man1/splicora.1.gz
  share/man/man1/splicora-cli.1.gz
  share/doc/splicora/copyright
  share/doc/splicora/changelog.gz
)
for size in 16 32 48 256; do expected+=("share/icons/hicolor/${size}x${size}/apps/$id.png"); done

fail=0
actual=$(cd "$prefix" && find . -type f | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected[@]}" | sort)
if [ "$actual" != "$wanted" ]; then
  echo "installed tree differs from the expected one:"
  diff <(echo "$wanted") <(echo "$actual") || true
  fail=1
fi
for exe in splicora splicora-cli; do
  [ -x "$prefix/bin/$exe" ] || { echo "not executable: bin/$exe"; fail=1; }
done
for size in 16 32 48 256; do
  png="$prefix/share/icons/hicolor/${size}x${size}/apps/$id.png"
  read -r w h < <(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4, $7*256+$8}')
  [ "$w $h" = "$size $size" ] || { echo "icon ${size}: ${w}x${h}"; fail=1; }
done

desktop="$prefix/share/applications/$id.desktop"
desktop-file-validate "$desktop" || fail=1
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" || fail=1
for line in 'Exec=splicora %F' "Icon=$id" 'MimeType=video/x-msvideo;' 'Categories=AudioVideo;Video;AudioVideoEditing;'; do
  grep -qxF "$line" "$desktop" || { echo "desktop entry lacks: $line"; fail=1; }
done
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$prefix/share/metainfo/$id.metainfo.xml" ||
  { echo "metainfo does not launch the desktop entry"; fail=1; }
grep -qi '<html' "$prefix/share/splicora/HelpRU.htm" || { echo "HelpRU.htm is no page"; fail=1; }

# Installed away from the build tree, the command line still works.
"$prefix/bin/splicora-cli" codecs >/dev/null || { echo "installed splicora-cli does not run"; fail=1; }
exit $fail
