#!/usr/bin/env python3
"""Scripted devices on pseudo-terminals for the Windows platform tests.

Opens one pseudo-terminal per role given on the command line, prints
"ready <role> <slave path>" for each, then serves them until standard input
closes or the time limit runs out. Roles:

  echo     sends back every byte it receives
  silent   takes every byte and never answers
  stuck    never takes a byte, so the sender's queue fills up and stalls
  trickle  on any byte received sends "abc", one byte every 2.2 s
  hangup   on any byte received closes its side, as a device unplugged
"""
import os
import select
import sys
import time
import tty

TRICKLE_GAP_S = 2.2


def main():
    roles = sys.argv[1:]
    limit = time.monotonic() + 300
    ptys = {}  # master fd -> [role, pending trickle bytes, next send time]
    slaves = []
    for role in roles:
        master, slave = os.openpty()
        tty.setraw(slave)
        os.set_blocking(master, False)
        # The slave stays open here as well, so its settings and the node
        # survive the program under test closing and reopening the port.
        slaves.append(slave)
        ptys[master] = [role, b"", 0.0]
        print("ready", role, os.ttyname(slave), flush=True)

    while time.monotonic() < limit:
        now = time.monotonic()
        readers = [sys.stdin.fileno()] + [m for m, s in ptys.items() if s[0] != "stuck"]
        timeout = 0.05
        r, _, _ = select.select(readers, [], [], timeout)
        if sys.stdin.fileno() in r:
            if not os.read(sys.stdin.fileno(), 100):
                break
        for master in list(ptys):
            state = ptys[master]
            role = state[0]
            if master in r:
                try:
                    data = os.read(master, 65536)
                except OSError:
                    data = b""
                if role == "echo" and data:
                    view = memoryview(data)
                    while view:
                        try:
                            n = os.write(master, view)
                            view = view[n:]
                        except BlockingIOError:
                            time.sleep(0.001)
                elif role == "trickle" and data and not state[1]:
                    state[1] = b"abc"
                    state[2] = now + TRICKLE_GAP_S
                elif role == "hangup" and data:
                    os.close(master)
                    del ptys[master]
                    continue
            if role == "trickle" and state[1] and now >= state[2]:
                os.write(master, state[1][:1])
                state[1] = state[1][1:]
                state[2] = now + TRICKLE_GAP_S


if __name__ == "__main__":
    main()
