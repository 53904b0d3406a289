#!/bin/sh
# smoke_examples.sh PATH/TO/qmere-bot -- every example against the arena at
# QMERE_HOST/QMERE_PORT as a student runs it (pip, an npm tarball, cc, qmere-bot).
set -eu
bot=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
cd "$(dirname "$0")/../.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0

check() { # NAME COMMAND...: runs one check, then clears the zombies away
  echo "--- $1"
  name=$1; shift
  "$@" || { echo "FAILED: $name"; failed=$((failed + 1)); }
  "$bot" -- sh -c 'echo "C A"; read reply' || true
}

# Debian's python3 brings setuptools and wheel, so no package index is needed
/usr/bin/python3 -m venv --system-site-packages "$tmp/venv"
cp -r clients/python "$tmp/pysrc"  # pip builds in the source folder: not in ours
"$tmp/venv/bin/pip" install -q --no-build-isolation --no-index "$tmp/pysrc"
"$tmp/venv/bin/python" -c 'import quillmere; assert "site-packages" in quillmere.__file__'
(cd clients/js && npm pack -q --pack-destination "$tmp" >/dev/null)
mkdir "$tmp/js"
(cd "$tmp/js" && npm init -y >/dev/null && npm install -q --offline --no-audit --no-fund "$tmp"/quillmere-*.tgz)
cp examples/*.mjs "$tmp/js/"
cc examples/c_bot.c -o "$tmp/c_bot"
py=$tmp/venv/bin/python

check square.sh "$bot" -- sh examples/square.sh
check c_bot "$tmp/c_bot"
check spiral.py "$py" examples/spiral.py --steps 60
check flower.mjs node "$tmp/js/flower.mjs" --petals 6
check team.py "$py" examples/team.py --steps 20
check coins.py "$py" examples/coins.py --coins 3
check maze.py "$py" examples/maze.py --seconds 2
check hunter.mjs node "$tmp/js/hunter.mjs" --seconds 2  # leaves robots: last
# qmere-bot itself: the program's status comes back, a missing arena is named
status_comes_back() { "$bot" -- sh -c 'echo "Q A"; read r; [ "${r%% *}" = 1 ] && exit 3'; [ $? -eq 3 ]; }
no_arena_is_named() {
  "$bot" --port 1 -- true 2>"$tmp/err"; [ $? -eq 2 ] && grep -q "cannot connect to the arena at 127.0.0.1:1" "$tmp/err"
}
check "qmere-bot's status" status_comes_back
check "qmere-bot without an arena" no_arena_is_named
echo "examples: $failed failed"
[ "$failed" -eq 0 ]
