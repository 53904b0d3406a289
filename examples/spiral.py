#!/usr/bin/env python3
"""A coloured spiral: the pen walks the rainbow while the steps grow.

    pip install ./clients/python      (once)
    python3 examples/spiral.py [--steps 120]
"""

import argparse
import colorsys

from quillmere import Turtle


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--steps", type=int, default=120, help="segments to draw")
    args = ap.parse_args()

    with Turtle() as t:               # QMERE_HOST/QMERE_PORT, else 127.0.0.1:2222
        t.name("spiral")
        t.reset()                     # the origin, facing east
        t.pensize(3)
        t.pendown()
        for i in range(args.steps):
            # the hue goes once round the colour wheel
            t.pencolor(colorsys.hsv_to_rgb(i / args.steps, 1.0, 1.0))
            t.forward(2 + i * 1.5)    # each side a little longer ...
            t.left(59)                # ... and just off a hexagon, so it twists
        t.penup()
        print("spiral done at (%.0f, %.0f)" % t.pos())


if __name__ == "__main__":
    main()
