#!/usr/bin/env python3
"""A maze walker: the left-hand rule, one 32-unit maze cell at a time.

Press M at the arena window for a maze. From the middle of a cell the
sonar's front beam reaches the cell's own walls (16 away) but not the next
cell's, so looking left, ahead and right tells which ways are open. With
the left hand always on a wall the turtle walks every corridor; on an open
field (no maze) it just circles a block of four cells. Steps of 2 and turns
of 3 degrees keep within battle mode's limits.

    python3 examples/maze.py [--seconds 20]
"""

import argparse
import time

from quillmere import Turtle

CELL = 32.0   # the maze grid
STEP = 2.0    # the longest step battle mode allows
TURN = 3.0    # the widest turn battle mode allows


def turn(t: Turtle, angle: float) -> None:
    """Turn by `angle` degrees (+ left) in battle-sized pieces."""
    while abs(angle) > 1e-9:
        a = max(-TURN, min(TURN, angle))
        if not t.left(a):
            return                    # refused: our score is spent
        angle -= a


def go(t: Turtle, distance: float) -> None:
    """Walk `distance` forward in battle-sized steps."""
    while distance > 1e-9:
        if not t.forward(min(STEP, distance)):
            return                    # bumped into something
        distance -= STEP


def along(t: Turtle, distance: float) -> None:
    """Walk `distance` along the heading, backwards (turned round) if < 0."""
    if distance < 0:
        turn(t, 180)
        go(t, -distance)
        turn(t, 180)
    else:
        go(t, distance)


def centre_of_cell(v: float) -> float:
    """The nearest cell centre (-240, -208, ..., 240) to coordinate v."""
    k = round((v + 240.0) / CELL)
    return -240.0 + CELL * max(0, min(15, k))


def open_ahead(t: Turtle) -> bool:
    return t.sonar()[1] == 0


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--seconds", type=float, default=20, help="how long to walk")
    args = ap.parse_args()

    with Turtle() as t:
        t.name("maze walker")
        end = time.monotonic() + args.seconds

        # to the middle of our cell: first along x facing east, then along y
        turn(t, (-t.heading() + 180.0) % 360.0 - 180.0)
        x, y = t.pos()
        along(t, centre_of_cell(x) - x)
        turn(t, 90)
        along(t, centre_of_cell(y) - y)

        t.pencolor("yellow")
        t.pendown()
        cells = 0
        while time.monotonic() < end:
            # left hand on the wall: left if we can, else ahead, else right, else back
            turn(t, 90)
            for _ in range(3):
                if open_ahead(t):
                    break
                turn(t, -90)
            go(t, CELL)
            cells += 1
        x, y = t.pos()
        print("walked %d cells, now at (%.0f, %.0f)" % (cells, x, y))


if __name__ == "__main__":
    main()
