#!/bin/sh
# Runs every example against the arena at QMERE_HOST/QMERE_PORT (see
# with_arena.py), each the way a student would: the Python package
# installed by pip into a virtual environment, the npm package packed and
# installed from its tarball, the C bot built with cc, the shell bot run
# through qmere-bot.   Usage: smoke_examples.sh PATH/TO/qmere-bot
set -eu
bot=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
cd "$(dirname "$0")/../.."
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
passed=0

run() { # NAME COMMAND...: runs one example, then clears its zombie away
  name=$1; shift
  echo "--- $name"
  if "$@"; then passed=$((passed + 1)); else echo "FAILED: $name"; failed=$((failed + 1)); fi
  "$bot" -- sh -c 'echo "C A"; read reply' || true
}

# Debian's python3 brings setuptools and wheel, so no package index is needed
py=/usr/bin/python3
[ -x "$py" ] || py=python3
"$py" -m venv --system-site-packages "$tmp/venv"
cp -r clients/python "$tmp/pysrc"  # pip builds in the source folder: not in ours
"$tmp/venv/bin/pip" install -q --no-build-isolation --no-index "$tmp/pysrc"
"$tmp/venv/bin/python" -c 'import quillmere; assert "site-packages" in quillmere.__file__'
(cd clients/js && npm pack -q --pack-destination "$tmp" >/dev/null)
mkdir "$tmp/js"
(cd "$tmp/js" && npm init -y >/dev/null && npm install -q --offline --no-audit --no-fund "$tmp"/quillmere-*.tgz)
cp examples/*.mjs "$tmp/js/"
cc examples/c_bot.c -o "$tmp/c_bot"

run square.sh "$bot" -- sh examples/square.sh
run c_bot "$tmp/c_bot"
run spiral.py "$tmp/venv/bin/python" examples/spiral.py --steps 60
run flower.mjs node "$tmp/js/flower.mjs" --petals 6
run team.py "$tmp/venv/bin/python" examples/team.py --steps 20
run coins.py "$tmp/venv/bin/python" examples/coins.py --coins 3
run maze.py "$tmp/venv/bin/python" examples/maze.py --seconds 4
run hunter.mjs node "$tmp/js/hunter.mjs" --seconds 4  # leaves robots: last

# qmere-bot itself: the program's status comes back, a missing arena is named
echo "--- qmere-bot"
status=0
"$bot" -- sh -c 'echo "Q A"; read reply; [ "${reply%% *}" = 1 ] && exit 3' || status=$?
if [ "$status" -eq 3 ]; then passed=$((passed + 1)); else
  echo "FAILED: the program's status 3 came back as $status"; failed=$((failed + 1))
fi
status=0
"$bot" --port 1 -- true 2>"$tmp/err" || status=$?
if [ "$status" -eq 2 ] && grep -q "cannot connect to the arena at 127.0.0.1:1" "$tmp/err"; then
  passed=$((passed + 1))
else
  echo "FAILED: no arena gave status $status: $(cat "$tmp/err")"; failed=$((failed + 1))
fi
echo "examples: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
