#!/usr/bin/env bash
# Builds kelvane-patch and runs it on a broken installation laid out in a temporary directory:
# archives and an executable left in the parent directory, short-named archives (one read-only)
# inside, and an unrelated file that must stay where it is. Then runs it again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake ninja-build g++ libgtest-dev python3 >&2
cmake --preset host >/dev/null
cmake --build --preset host --target kelvane-patch >/dev/null

work=$(mktemp -d /tmp/kelvane-demo-XXXXXX)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
parent="$work/Games"
install="$parent/Kelvane"
mkdir -p "$install"

# Sixteen archives have no short form; three of them, and the game, ended up one level too high.
for name in 11 12 13 14 15 16 17 anim anim_low cinema sfx text prebump mesh marks fix; do
  echo "$name archive" >"$install/$name.pak"
done
mv "$install/11.pak" "$install/12.pak" "$install/cinema.pak" "$parent/"
echo "game" >"$parent/kelvane.exe"
echo "not the game's" >"$parent/shopping-list.txt"

# The other twenty-two are present: eighteen under their long names, four under short ones,
# and one of those four, fects.pak, then moves to the parent.
for name in dlganims0 dlganims1 dlganims2 dlganims3 dlganims4 dlganims5 dlganims6 voices1+ \
            voices2+ voices3+ voices4+ voices5+ voices6+ voicesgen+ effects400 effects512 \
            presentation presentation400; do
  echo "$name archive" >"$install/$name.pak"
done
for short in fects tion512 feedback zvoices; do
  echo "$short archive" >"$install/$short.pak"
done
echo "fects archive" >"$parent/fects.pak"
rm "$install/fects.pak"
chmod a-w "$install/tion512.pak" "$parent/12.pak"

export KELVANE_PATCH_REGISTRY="$work/registry"
key="$KELVANE_PATCH_REGISTRY/HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory"
mkdir -p "$key"
printf 'Z:%s\0' "${install//\//\\}" >"$key/Directory"

listing() { (cd "$work" && find Games -mindepth 1 -printf '  %M  %P\n' | sort -k2); }
echo "Registry value: $(tr -d '\0' <"$key/Directory")"
echo
echo "Before:"
listing
echo
echo "First run, the message:"
echo "  $(build/host/kelvane-patch)"
echo
echo "After:"
listing
echo
echo "Second run, the message:"
echo "  $(build/host/kelvane-patch)"
