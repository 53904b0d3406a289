#!/usr/bin/env python3
"""A coin collector: scatters a few coins, fetches them one by one and
banks them at home, a corner of the field where it drops its haul.

Coins are not sensed through the turtle; their places come from the
arena's viewer server, the JSON feed http://HOST:2280/coin.

    python3 examples/coins.py [--coins 5]
"""

import argparse
import json
import math
import os
import urllib.request
from typing import Callable, Optional

from quillmere import Turtle

HOME = (-200.0, -200.0)   # where the coins are banked
HTTP_PORT = int(os.environ.get("QMERE_HTTP_PORT", "2280"))


def coins_on_field() -> list:
    """[(x, y), ...] of the coins lying on the field, from the coin feed."""
    host = os.environ.get("QMERE_HOST", "127.0.0.1")
    with urllib.request.urlopen("http://%s:%d/coin" % (host, HTTP_PORT), timeout=10) as r:
        return [(c["x"], c["y"]) for c in json.load(r)]


def walk_to(t: Turtle, x: float, y: float,
            arrived: Optional[Callable[[], bool]] = None) -> bool:
    """Walk (not jump) to (x, y), or until arrived() says so; False if we
    got stuck on the way."""
    for _ in range(400):
        px, py = t.pos()
        d = math.hypot(x - px, y - py)
        if d < 3 or (arrived and arrived()):
            return True
        t.setheading(math.degrees(math.atan2(y - py, x - px)))
        if not t.forward(min(d, 10)):   # bumped: step aside and try again
            t.left(60)
            t.forward(15)
    return False


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--coins", type=int, default=5, help="coins to scatter and fetch")
    args = ap.parse_args()

    with Turtle() as t:
        t.name("collector")
        for _ in range(args.coins):
            t.scatter_coin()              # the bank puts a coin somewhere
        fetched = 0
        while fetched < args.coins:
            here = t.pos()
            # coins already banked at home stay there
            coins = [c for c in coins_on_field() if math.dist(c, HOME) > 30]
            if not coins:
                break
            # the nearest coin first; a coin within reach (20) can be picked
            x, y = min(coins, key=lambda c: math.dist(c, here))
            if walk_to(t, x, y, lambda: t.coins_near() > 0) and t.pick_coin():
                fetched += 1
                print("picked coin %d at (%.0f, %.0f)" % (fetched, x, y))
            else:
                break
        walk_to(t, *HOME)
        banked = 0
        while t.drop_coin():               # empty our pockets at home
            banked += 1
        print("banked %d coins at home (%.0f, %.0f)" % (banked, *HOME))


if __name__ == "__main__":
    main()
