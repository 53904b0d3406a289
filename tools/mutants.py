#!/usr/bin/env python3
"""mutants.py -- how many small faults in src/ do the tests catch?

Applies a fixed list of small faults to a copy of the source tree, one at a
time, rebuilds incrementally, runs the tests and prints for each fault which
layer caught it:

    caught (compiler)     the build failed
    caught (unit)         unit_tests, paint_tests or headless_tests failed
    caught (integration)  an arena suite (integration, clients, examples,
                          browser) failed
    missed                every test passed
    n/a                   the snippet is no longer in the file (the source
                          moved on); the fault is not applied

The fast binaries run first; the arena suites only for a fault they miss.
Each arena suite runs alone in a private network namespace with its own
/tmp (needs root), so the fixed ports and X display numbers of other
sessions never collide with it.

Arena suites are judged by their test cases. Without any fault each suite
runs twice, and a case that fails in either run is known bad and ignored
from then on (a whole suite that fails without naming a case is left out).
With a fault, a suite whose cases fail is run once more, and the fault is
caught only by a case that fails both times; a case that fails only once is
taken for flaky and ignored from then on too. The summary names them all.

    tools/mutants.py                      # every fault, every layer
    tools/mutants.py --fast-only          # compiler and fast binaries only
    tools/mutants.py --only W01,S03 -j 4  # some faults, four build jobs
    tools/mutants.py --list               # the faults and whether they apply

The caller's checkout is never touched: its files (tracked and untracked,
not ignored) are copied into a work directory under /var/tmp, which is
removed at the end unless --keep is given.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# (id, file, what a client sees, exact snippet, replacement). A snippet must
# occur exactly once in its file. The "W" faults are the world-rules sample.
FAULTS = [
    # ---- world rules: one number in a score, a countdown, a radius, a range
    ("W01", "src/frame.cpp", "a hit gives the shooter 12 instead of 11",
     "            s->score += HIT_REWARD;\n            victim->score -= HIT_LOSS;",
     "            s->score += HIT_REWARD + 1;\n            victim->score -= HIT_LOSS;"),
    ("W02", "src/frame.cpp", "a hit costs the victim 29 instead of 30",
     "victim->score -= HIT_LOSS;", "victim->score -= HIT_LOSS - 1;"),
    ("W03", "src/frame.cpp",
     "after a hit the shooter's blast lasts 26 frames instead of 25",
     "            } else {\n                s->bttf = BLAST_FRAMES;\n",
     "            } else {\n                s->bttf = BLAST_FRAMES + 1;\n"),
    ("W04", "src/frame.cpp", "a bullet hits within 9 of a turtle's centre instead of 10",
     "return dx * dx + dy * dy < BULLET_HIT_SQ;", "return dx * dx + dy * dy < BULLET_HIT_SQ - 19;"),
    ("W05", "src/frame.cpp", "a killed turtle goes 51 frames after the hit instead of 50",
     "ttl[tid].ttl = DYING_FRAMES;", "ttl[tid].ttl = DYING_FRAMES + 1;"),
    ("W06", "src/turtle.cpp", "the sonar reports entries 25 ahead instead of 20",
     "SONAR_RANGE = 20.0;", "SONAR_RANGE = 25.0;"),
    ("W07", "src/frame.cpp", "a robot walks 0.3 a frame instead of 0.15",
     "turtle_step_forward(tid, ROBOT_STEP)", "turtle_step_forward(tid, 2 * ROBOT_STEP)"),
    ("W08", "src/turtle.cpp", "a shot costs the shooter 2 points instead of 1",
     "t->score -= 1;", "t->score -= 2;"),
    ("W09", "src/turtle.cpp", "a new turtle starts with 101 points instead of 100",
     "t->score = START_SCORE;", "t->score = START_SCORE + 1;"),
    ("W10", "src/turtle.cpp", "in battle mode a step goes up to 3 instead of 2",
     "BATTLE_MAX_STEP = 2.0;", "BATTLE_MAX_STEP = 3.0;"),
    ("W11", "src/turtle.cpp", "in battle mode a turn goes up to 4 degrees instead of 3",
     "BATTLE_MAX_TURN = 3.0;", "BATTLE_MAX_TURN = 4.0;"),
    ("W12", "src/geofunc.cpp", "a coin is within reach at 22 instead of 20",
     "if (d < COIN_REACH_SQ) {", "if (d < COIN_REACH_SQ + 84) {"),
    ("W13", "src/turtle.cpp", "a loan (O B) gives 11 coins instead of 10",
     "ttl[tid].ncoin += COIN_LOAN;", "ttl[tid].ncoin += COIN_LOAN + 1;"),
    ("W14", "src/frame.cpp", "shooting a doughnut pays 11 only from within 30 instead of 40",
     "if (dist_t2t(tid, v) < DOUGHNUT_REWARD_DIST)",
     "if (dist_t2t(tid, v) < DOUGHNUT_REWARD_DIST - 10)"),
    # ---- turtle operations and queries
    ("T01", "src/turtle.cpp", "I 5 joins team 5 (teams are 1 to 4)",
     "if (team < 1 || team >= MAX_TEAM) return 0;", "if (team < 1 || team > MAX_TEAM) return 0;"),
    ("T02", "src/turtle.cpp", "bumping a wall no longer reports event 16",
     "t->event |= EV_BUMP_WALL;", ""),
    ("T03", "src/turtle.cpp", "a new team board no longer reports event 256 to team mates",
     "if (ttl[j].team == t) ttl[j].event |= EV_TEAM_MSG;", "(void)t;"),
    ("T04", "src/turtle.cpp", "with walls on, a jump past the top edge is accepted",
     "if (x < Xmin || x > Xmax || y < Ymin || y > Ymax) return -1;",
     "if (x < Xmin || x > Xmax || y < Ymin) return -1;"),
    ("T05", "src/turtle.cpp", "Q R finds nothing (the ranking's comparison flipped)",
     "while (k < RADAR_SLOTS && !(q[k] > qj)) k++;", "while (k < RADAR_SLOTS && !(q[k] < qj)) k++;"),
    ("T06", "src/turtle.cpp", "T S heads 270 instead of -90",
     "case 4: ttl[tid].heading = -90.0; break;", "case 4: ttl[tid].heading = 270.0; break;"),
    ("T07", "src/turtle.cpp", "a turtle carrying no coin can drop one (O S, and carries -1)",
     "if (t->ncoin <= 0) return -1;", "if (t->ncoin < 0) return -1;"),
    ("T08", "src/turtle.cpp", "a message of exactly 127 characters is refused",
     "std::strlen(str) > static_cast<size_t>(MSG_MAX)",
     "std::strlen(str) >= static_cast<size_t>(MSG_MAX)"),
    ("T09", "src/turtle.cpp",
     "a free step no longer clears the bump latch: the next bump reports no event",
     "    t->status &= ~ST_TOUCH_ENTRY;\n", ""),
    # ---- the frame
    ("F01", "src/frame.cpp", "coming within reach of a coin no longer reports event 32",
     "p->event |= EV_COIN;", ""),
    ("F02", "src/frame.cpp", "a victim left with exactly 0 points dies (only below 0 should)",
     "if (victim->score < 0) {", "if (victim->score <= 0) {"),
    ("F03", "src/frame.cpp", "a dead turtle's program stays connected",
     "        disconnect_client_for(tid, p->cid);\n", ""),
    ("F04", "src/frame.cpp", "a brush stroke paints from its third move instead of its fourth",
     "if (t->nstroke > 3) f->paint = PAINT_BRUSH;", "if (t->nstroke > 2) f->paint = PAINT_BRUSH;"),
    ("F05", "src/frame.cpp", "a hit no longer reports event 1 to the victim",
     "victim->event |= EV_HIT;", ""),
    # ---- the command language
    ("C01", "src/command.cpp", "F no longer counts against the per-frame budget",
     "{'F', READ_1, 1, cmd_forward},", "{'F', READ_1, 0, cmd_forward},"),
    ("C02", "src/command.cpp", "Q S answers the alive flag (1) instead of the score",
     "{'S', Q_SCORE, q_int},", "{'S', Q_ALIVE, q_int},"),
    ("C03", "src/command.cpp", "replies lose the blank after @ (\"OK @12 0\")",
     r'"%s%s%s @ %lu %u\n"', r'"%s%s%s @%lu %u\n"'),
    ("C04", "src/command.cpp", "a refused command replies OK instead of ERR",
     "(rc < 0 || ans < 0) ? \"ERR\"", "(rc < 0 && ans < 0) ? \"ERR\""),
    ("C05", "src/command.cpp", "T R 90 turns left instead of right",
     "case 'R': return real(c->p2, &a) ? turtle_turn(c->tid, -a) : -1;",
     "case 'R': return real(c->p2, &a) ? turtle_turn(c->tid, a) : -1;"),
    ("C06", "src/command.cpp", "J 10 20 jumps to (20, 10)",
     "? turtle_jump(c->tid, x, y) : -1;", "? turtle_jump(c->tid, y, x) : -1;"),
    ("C07", "src/command.cpp", "hex digit F (upper case) reads as 0 in N and S",
     "if (c >= 'A' && c <= 'F')", "if (c >= 'A' && c < 'F')"),
    ("C08", "src/command.cpp", "Q R 5 is refused (ranks are 1 to 5)",
     "(rank < 1 || rank > RADAR_RANKS) ? -1", "(rank < 1 || rank >= RADAR_RANKS) ? -1"),
    ("C09", "src/command.cpp", "Q W answers right, front, left instead of left, front, right",
     "\"%d %d %d\", l, f, r", "\"%d %d %d\", r, f, l"),
    ("C10", "src/command.cpp", "commands in lower-case y are refused",
     "letter > 'y') return -1;", "letter > 'x') return -1;"),
    # ---- the command server
    ("S01", "src/tcpserver.cpp", "';' no longer ends a command (\"F 1;F 1\" is one command)",
     r"if (b == ';' || b == '\n') {", r"if (b == '\n') {"),
    ("S02", "src/tcpserver.cpp",
     "an eleventh client is closed without the \"reaches MAX_CLIENT\" line",
     "if (nclient > MAX_CLIENT - 1) {", "if (nclient > MAX_CLIENT) {"),
    ("S03", "src/tcpserver.cpp", "a client is served more than one batch of commands a frame",
     "if (c->socket < 0 || !ready[cl] || c->nup != 0) continue;",
     "if (c->socket < 0 || !ready[cl]) continue;"),
    ("S04", "src/tcpserver.cpp",
     "private mode lets remote command clients in and public mode turns them away",
     "if (private_mode && a.sin_addr.s_addr", "if (!private_mode && a.sin_addr.s_addr"),
    ("S05", "src/tcpserver.cpp", "a departed client's turtle vanishes instead of staying a zombie",
     "            leave_zombie(cl);\n            disconnect_client(cl);\n",
     "            disconnect_client(cl);\n"),
    ("S06", "src/tcpserver.cpp", "dropped lock: commands run without the frame lock",
     "    frame_guard lk;\n    // commands, departures", "    // commands, departures"),
    ("S07", "src/tcpserver.cpp", "a client that never reads its replies is no longer dropped",
     "replies_stuck[cl] = true;", "(void)0;"),
    # ---- the viewer server's content
    ("H01", "src/webcontent.cpp", "the turtle feed gives a doughnut type 3 and a stone type 2",
     "(r->status & ST_DOUGHNUT) ? 2 : (r->status & ST_STONE) ? 3 : 1",
     "(r->status & ST_DOUGHNUT) ? 3 : (r->status & ST_STONE) ? 2 : 1"),
    ("H02", "src/webcontent.cpp", "the turtle feed's head of 720 stays 720 instead of 0",
     "put_fixed(&s, std::fmod(r->heading, 360.0));", "put_fixed(&s, r->heading);"),
    ("H03", "src/webcontent.cpp", "the wall feed lists the back faces (normals reversed)",
     "if (w[i].status & WALL_BACK) continue;", "if (!(w[i].status & WALL_BACK)) continue;"),
    ("H04", "src/webcontent.cpp", "the coin feed lists the empty slots, not the coins on the field",
     "if (!(c[i].status & COIN_ON_FIELD)) continue;", "if (c[i].status & COIN_ON_FIELD) continue;"),
    ("H05", "src/webcontent.cpp", "img/0 serves the stone tile instead of the turtle from above",
     "(v < 0 || v > LAST_PNG) ? LAST_PNG", "(v < 1 || v > LAST_PNG) ? LAST_PNG"),
    ("H06", "src/webcontent.cpp", "the turtle feed's got_hit shows a bump (event 2), not a hit",
     "s += flag(ev & EV_HIT);", "s += flag(ev & EV_BUMP_TURTLE);"),
    ("H07", "src/webcontent.cpp", "a turtle's camera looks 90 degrees off its heading",
     "x1 = x0 + 100.0 * std::cos(h);", "x1 = x0 + 100.0 * std::sin(h);"),
    # ---- the HTTP server
    ("D01", "src/httpd.cpp", "\"Connection: close\" is ignored; the connection stays open",
     "keep_connection = -1;", "keep_connection = 1;"),
    ("D02", "src/httpd.cpp", "a HEAD answer carries the body",
     "\"HEAD\", 4) == 0) is_head = 1;", "\"HEAD\", 4) == 0) is_head = 0;"),
    ("D03", "src/httpd.cpp", "the canvas gets 304 for a stale ETag and 200 for the current one",
     "strcmp(content.etag, if_none_match) == 0", "strcmp(content.etag, if_none_match) != 0"),
    ("D04", "src/httpd.cpp", "Content-Length says one byte more than the body",
     "etag, content->length, SERVER_LINE);", "etag, content->length + 1, SERVER_LINE);"),
    ("D05", "src/httpd.cpp", "private mode lets remote browsers in, public mode turns them away",
     "if (private_mode.load() && peer", "if (!private_mode.load() && peer"),
    # ---- the teacher's console
    ("K01", "src/console.cpp", "the key's last character is not checked",
     "for (size_t i = 0; i < n; i++) {", "for (size_t i = 0; i + 1 < n; i++) {"),
    ("K02", "src/console.cpp", "/control/state reports battle and maze swapped",
     "b(battle), b(maze),", "b(maze), b(battle),"),
    ("K03", "src/console.cpp", "GET on a console action runs it instead of answering 405",
     "if (!post) {", "if (!post && !get) {"),
    ("K04", "src/console.cpp", "dropped lock: /control/state reads the field without the lock",
     "        frame_guard lock;\n        battle = battle_mode;", "        battle = battle_mode;"),
    # ---- the canvas feed
    ("V01", "src/canvas_feed.cpp", "the canvas ETag loses its closing quote",
     r'"\"%08x-%u\""', r'"\"%08x-%u"'),
    # ---- geometry, maze, coin map
    ("G01", "src/geofunc.cpp", "the maze's first row never grows walls to the south",
     "maze_wall_from(i, 1, 4);", "maze_wall_from(i, 1, 3);"),
    ("G02", "src/geofunc.cpp", "the maze holds 3 doughnuts instead of 4",
     "    set_object_at(-h, -h, ST_DOUGHNUT);\n", ""),
    ("G03", "src/geofunc.cpp", "coins in the coin map's row above a turtle are never in reach",
     "for (int cy = iy - 1; cy <= iy + 1; cy++) {", "for (int cy = iy - 1; cy < iy + 1; cy++) {"),
    ("G04", "src/geofunc.cpp", "the bottom boundary wall faces out of the field",
     "setup_wall(Xmin, Ymin, Xmax, Ymin, 0, 1, 0);", "setup_wall(Xmin, Ymin, Xmax, Ymin, 0, -1, 0);"),
    ("G05", "src/geofunc.cpp", "a wall's distance ignores the segment's far end",
     "    if (t > 1) t = 1;\n", ""),
    # ---- the field: modes and coins
    ("Q01", "src/qmere.cpp", "battle mode no longer turns the walls on",
     "    field_set_boundary_mode(1);\n", "    field_set_boundary_mode(0);\n"),
    ("Q02", "src/qmere.cpp", "the log line reads \"entering battle mode..\" (two dots)",
     r'"entering battle mode...\n"', r'"entering battle mode..\n"'),
    ("Q03", "src/qmere.cpp", "O X scatters 2 coins instead of 1",
     "if (++placed >= nc) break;", "if (++placed > nc) break;"),
    ("Q04", "src/qmere.cpp", "Q N counts stones as turtles",
     "if ((ttl[t].status & ST_ALIVE) && !(ttl[t].status & ST_STONE)) n++;",
     "if (ttl[t].status & ST_ALIVE) n++;"),
    ("Q05", "src/qmere.cpp", "leaving maze mode keeps the maze's walls",
     "    field_kill_all_turtles();\n    reset_wall();\n    maze_mode = 0;",
     "    field_kill_all_turtles();\n    maze_mode = 0;"),
    # ---- painting
    ("P01", "src/paint.cpp", "a last brush stroke heading exactly 30 degrees tapers as style 7, not 2",
     "if (angle >= 0.0 && angle < 30.0) return 7;", "if (angle >= 0.0 && angle <= 30.0) return 7;"),
    ("P02", "src/paint.cpp", "a filled polygon takes 5 trail points instead of 6",
     "FILL_REACH = HISTORY - 2;", "FILL_REACH = HISTORY - 3;"),
    ("P03", "src/paint.cpp", "a pen line's colours are swapped end for end",
     "const struct color& c0 = t->col[2];\n        const struct color& c1 = t->col[1];",
     "const struct color& c0 = t->col[1];\n        const struct color& c1 = t->col[2];"),
    # ---- image files, scene and toolkit
    ("I01", "src/imagefile.cpp", "a capture is written as qmere_capture-N.png",
     "\"%s/qmere-capture-%ld.png\"", "\"%s/qmere_capture-%ld.png\""),
    ("X01", "src/scene.cpp", "a turtle without a team is drawn blue instead of green",
     "{0.2f, 1.0f, 0.1f}, {0.7f, 0.3f, 1.0f}", "{0.1f, 0.2f, 1.0f}, {0.7f, 0.3f, 1.0f}"),
    ("X02", "src/glutil.cpp", "the port-in-use warning is drawn green instead of red",
     "    set_material_both(1.0f, 0.1f, 0.0f, 1.0f);\n    for (const text_line& l : lines)",
     "    set_material_both(0.1f, 1.0f, 0.0f, 1.0f);\n    for (const text_line& l : lines)"),
]

FAST_BINARIES = ["tests/unit_tests", "tests/paint_tests", "tests/headless_tests"]
FAST_TIMEOUT = 120  # seconds per binary; a hang counts as caught
# The arena suites, quick ones first: a fault stops at the first that fails.
ARENA_SUITES = [
    "clients_c", "clients_python", "clients_js", "integration_window", "integration_http",
    "integration_scene", "integration_recording", "integration_field_hazards",
    "integration_field_control", "examples_smoke", "browser_viewer", "browser_timeline",
]
ARENA_TIMEOUT = 900  # seconds per suite, over ctest's own per-test limit

# NOTE: the program probes the display with a connection of its own and closes
# it just before the window toolkit opens one; an X server left without clients
# resets in between, and the toolkit's open then fails now and then. The suites
# run against an Xvfb that does not reset, so that this start-up race does not
# pass for a caught fault.
XVFB_WRAPPER = '#!/bin/sh\nexec /usr/bin/Xvfb -noreset "$@"\n'


def log(msg):
    print(msg, file=sys.stderr, flush=True)


def run(cmd, cwd=None, env=None, timeout=None, out=None):
    """Runs cmd in its own process group; returns (exit code, timed out)."""
    with open(out or os.devnull, "ab") as sink:
        p = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=sink,
                             stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return p.wait(timeout=timeout), False
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            return -1, True
        except BaseException:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()
            raise


class Work:
    """The work directory: a copy of the tree, its build, logs, private /tmps."""

    def __init__(self, repo, base, jobs, isolate):
        self.repo = repo
        self.root = tempfile.mkdtemp(prefix="qmere-mutants-", dir=base)
        self.src = os.path.join(self.root, "src")
        self.build = os.path.join(self.root, "build")
        self.logs = os.path.join(self.root, "logs")
        self.bin = os.path.join(self.root, "bin")
        self.jobs = jobs
        self.isolate = isolate
        os.makedirs(self.logs)
        os.makedirs(self.bin)
        wrapper = os.path.join(self.bin, "Xvfb")
        with open(wrapper, "w") as f:
            f.write(XVFB_WRAPPER)
        os.chmod(wrapper, 0o755)

    def copy_tree(self):
        files = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"],
                               cwd=self.repo, check=True, capture_output=True).stdout
        for rel in files.decode().split("\0"):
            if not rel or not os.path.lexists(os.path.join(self.repo, rel)):
                continue  # deleted in the checkout but still tracked
            dst = os.path.join(self.src, rel)
            os.makedirs(os.path.dirname(dst), exist_ok=True)
            shutil.copy2(os.path.join(self.repo, rel), dst, follow_symlinks=False)
        # the viewer's npm packages are read only: linked, not copied
        modules = os.path.join(self.repo, "web", "node_modules")
        if os.path.isdir(modules):
            os.symlink(modules, os.path.join(self.src, "web", "node_modules"))

    def configure(self):
        return run(["cmake", "-S", self.src, "-B", self.build, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"],
                   out=os.path.join(self.logs, "configure.log"))[0] == 0

    def make(self, logname):
        return run(["cmake", "--build", self.build, "-j%d" % self.jobs],
                   out=os.path.join(self.logs, logname))[0] == 0

    def fast_binaries(self):
        return [b for b in FAST_BINARIES if os.access(os.path.join(self.build, b), os.X_OK)]

    def run_fast(self, tag):
        """The first fast binary that fails, with its first failing test, or None."""
        for b in self.fast_binaries():
            out = os.path.join(self.logs, "%s-%s.log" % (tag, os.path.basename(b)))
            rc, hung = run([os.path.join(self.build, b)], cwd=self.build, timeout=FAST_TIMEOUT,
                           out=out)
            if hung:
                return "%s: hung" % os.path.basename(b)
            if rc != 0:
                return "%s: %s" % (os.path.basename(b), first_failed_gtest(out))
        return None

    def run_suite(self, suite, tag):
        """The failing cases of an arena suite run alone in its own namespaces:
        empty when it passes, WHOLE_SUITE when it fails without naming one."""
        out = os.path.join(self.logs, "%s-%s.log" % (tag, suite))
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ.get("PATH", ""))
        ctest = ["ctest", "--output-on-failure", "-R", "^%s$" % suite]
        if not self.isolate:
            rc = run(ctest, cwd=self.build, env=env, timeout=ARENA_TIMEOUT, out=out)[0]
        else:
            private_tmp = tempfile.mkdtemp(prefix="tmp-", dir=self.root)
            os.chmod(private_tmp, 0o1777)
            script = ('mount --bind "$1" /tmp && ip link set lo up && cd "$2" && shift 2 && '
                      'exec "$@"')
            cmd = (["unshare", "-n", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                    private_tmp, self.build] + ctest)
            try:
                rc = run(cmd, env=env, timeout=ARENA_TIMEOUT, out=out)[0]
            finally:
                shutil.rmtree(private_tmp, ignore_errors=True)
        if rc == 0:
            return set()
        return failed_cases(out) or {WHOLE_SUITE}


WHOLE_SUITE = "(the whole suite)"

# How the suites name a failed case: Python's unittest, node's TAP, the
# examples' shell script.
CASE_PATTERNS = [
    re.compile(r"^(?:FAIL|ERROR): (\S+ \(\S+\))"),
    re.compile(r"^\s*not ok \d+ - (.+?)\s*$"),
    re.compile(r"^FAILED: (.+?)\s*$"),
]


def failed_cases(path):
    found = set()
    try:
        with open(path, errors="replace") as f:
            for line in f:
                for pat in CASE_PATTERNS:
                    m = pat.match(line)
                    if m:
                        found.add(m.group(1))
    except OSError:
        pass
    return found


def first_failed_gtest(path):
    try:
        with open(path, errors="replace") as f:
            for line in f:
                m = re.match(r"\[  FAILED  \] (\S+)", line)
                if m:
                    return m.group(1)
    except OSError:
        pass
    return "failed"


def check_snippet(work_src, fault):
    fid, rel, what, old, new = fault
    try:
        with open(os.path.join(work_src, rel)) as f:
            text = f.read()
    except OSError:
        return None, "n/a", "no file %s" % rel
    n = text.count(old)
    if n != 1:
        return None, "n/a", "snippet found %d times" % n
    return text, None, None


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--only", help="comma-separated fault ids")
    ap.add_argument("--fast-only", action="store_true", help="skip the arena suites")
    ap.add_argument("-j", type=int, default=2, help="build jobs (default 2)")
    ap.add_argument("--list", action="store_true", help="list the faults and whether they apply")
    ap.add_argument("--keep", action="store_true", help="keep the work directory and its logs")
    ap.add_argument("--workdir", default="/var/tmp", help="where the work directory goes")
    ap.add_argument("--no-unshare", action="store_true",
                    help="run the arena suites without private namespaces (the caller has "
                         "isolated the whole run)")
    args = ap.parse_args()

    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    faults = FAULTS
    if args.only:
        wanted = [w.strip() for w in args.only.split(",") if w.strip()]
        unknown = [w for w in wanted if w not in {f[0] for f in FAULTS}]
        if unknown:
            sys.exit("mutants: no fault %s" % ", ".join(unknown))
        faults = [f for f in FAULTS if f[0] in wanted]

    if args.list:
        for fault in faults:
            _, status, why = check_snippet(repo, fault)
            print("%-4s %-16s %-8s %s%s" % (fault[0], os.path.basename(fault[1]),
                                            status or "applies", fault[2],
                                            "  [%s]" % why if why else ""))
        return 0

    slow = not args.fast_only
    isolate = not args.no_unshare
    if slow and isolate and (os.geteuid() != 0 or not shutil.which("unshare")):
        sys.exit("mutants: the arena suites need root for their private namespaces; run as "
                 "root, or with --fast-only, or inside your own namespace with --no-unshare")

    started = time.monotonic()
    work = Work(repo, args.workdir, max(1, args.j), isolate)
    log("mutants: work directory %s" % work.root)
    try:
        return measure(work, faults, slow, started)
    finally:
        if args.keep:
            log("mutants: logs kept in %s" % work.logs)
        else:
            shutil.rmtree(work.root, ignore_errors=True)


def measure(work, faults, slow, started):
    log("mutants: copying the tree and building it once")
    work.copy_tree()
    if not work.configure() or not work.make("build-baseline.log"):
        log("mutants: the unchanged tree does not build (see %s)" % work.logs)
        return 2
    failing = work.run_fast("baseline")
    if failing:
        log("mutants: the fast tests fail without any fault (%s); nothing to measure" % failing)
        return 2
    suites = []
    ignored = {}  # suite -> cases known bad or flaky, with why
    if slow:
        for s in ARENA_SUITES:
            bad = work.run_suite(s, "baseline") | work.run_suite(s, "baseline-again")
            if WHOLE_SUITE in bad:
                log("mutants: %s fails without any fault; left out" % s)
                continue
            suites.append(s)
            ignored[s] = {case: "fails without any fault" for case in bad}
    left_out = [s for s in ARENA_SUITES if slow and s not in suites]
    log("mutants: fast binaries %s; arena suites %s" % (
        ", ".join(os.path.basename(b) for b in work.fast_binaries()),
        ", ".join(suites) if slow else "skipped (--fast-only)"))

    totals = {}
    for fault in faults:
        fid, rel, what, old, new = fault
        t0 = time.monotonic()
        status, detail = try_fault(work, fault, suites, ignored)
        totals[status] = totals.get(status, 0) + 1
        print("%-4s %-16s %-66s %-21s %s" % (fid, os.path.basename(rel), what, status,
                                             "[%s]" % detail if detail else ""), flush=True)
        log("mutants: %s took %.0f s" % (fid, time.monotonic() - t0))

    order = ["caught (compiler)", "caught (unit)", "caught (integration)", "missed", "n/a"]
    caught = sum(totals.get(k, 0) for k in order[:3])
    applied = len(faults) - totals.get("n/a", 0)
    print("")
    print("faults: %d, applied: %d, caught: %d, missed: %d" % (
        len(faults), applied, caught, totals.get("missed", 0)))
    print("  " + ", ".join("%s %d" % (k, totals.get(k, 0)) for k in order))
    if left_out:
        print("  arena suites left out (they fail without any fault): " + ", ".join(left_out))
    for s in suites:
        for case, why in sorted(ignored[s].items()):
            print("  ignored in %s (%s): %s" % (s, why, case))
    if not slow:
        print("  arena suites not run (--fast-only)")
    print("  elapsed: %.0f min" % ((time.monotonic() - started) / 60))
    return 0


def try_fault(work, fault, suites, ignored):
    fid, rel, what, old, new = fault
    text, status, why = check_snippet(work.src, fault)
    if status:
        return status, why
    path = os.path.join(work.src, rel)
    with open(path, "w") as f:
        f.write(text.replace(old, new, 1))
    try:
        if not work.make("build-%s.log" % fid):
            return "caught (compiler)", None
        failing = work.run_fast(fid)
        if failing:
            return "caught (unit)", failing
        for s in suites:
            first = work.run_suite(s, fid) - ignored[s].keys()
            if not first:
                continue
            # asked again: only a case that fails both times catches the fault
            again = work.run_suite(s, fid + "-again") - ignored[s].keys()
            both = first & again
            for case in (first | again) - both:
                ignored[s][case] = "flaky with %s" % fid
            if both:
                return "caught (integration)", "%s: %s" % (s, sorted(both)[0])
        return "missed", None
    finally:
        # NOTE: written back (not renamed back) so its time stamp is new and
        # the next build recompiles the file from the original text.
        with open(path, "w") as f:
            f.write(text)


if __name__ == "__main__":
    sys.exit(main())
