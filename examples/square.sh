#!/bin/sh
# A square from the shell: every line we print is a command, every line we
# read is its reply.   Run:  qmere-bot -- sh examples/square.sh
echo "P D"; read reply                      # pen down
for side in 1 2 3 4; do echo "F 80"; read reply; echo "T L 90"; read reply; done
echo "Q P"; read reply; echo "square done, turtle at: $reply" >&2
