#!/usr/bin/env python3
"""Two team mates who talk over their team's board.

The scout wanders and writes where it is to the board ("U at x y"); the
follower joins the same team and, whenever the board changes (the
'team_msg' event), reads it and jumps next to the scout.

    python3 examples/team.py [--steps 40]
"""

import argparse

from quillmere import Turtle

TEAM = 3


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--steps", type=int, default=40, help="scout's moves")
    args = ap.parse_args()

    scout, follower = Turtle(), Turtle()
    scout.name("scout")
    follower.name("follower")
    for t in (scout, follower):
        t.team(TEAM)
    follower.pencolor("cyan")
    follower.pendown()               # the follower draws the scout's route
    seen = []

    def on_board(t: Turtle, reply) -> None:
        # the board holds the scout's last message: "at x y"
        _, text = t.board()
        words = text.split()
        if len(words) == 3 and words[0] == "at":
            x, y = float(words[1]), float(words[2])
            seen.append((x, y))
            t.goto(x - 25, y)        # stand beside the scout, not on it

    follower.on("team_msg", on_board)

    for i in range(args.steps):
        scout.forward(6)
        scout.left(9 if i % 20 < 10 else -9)   # an S-shaped walk
        if i % 4 == 0:
            x, y = scout.pos()
            scout.say("at %.1f %.1f" % (x, y))
            follower.nop()           # the follower's next reply brings the event
    print("the follower heard the scout %d times" % len(seen))
    scout.close()
    follower.close()


if __name__ == "__main__":
    main()
