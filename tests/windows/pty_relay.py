#!/usr/bin/env python3
"""Two ptys joined master to master: a null-modem pair for Wine COM ports.

  pty_relay.py READY_FILE

Writes "A B" (the two slave paths) to READY_FILE once both are raw and
relaying, then copies bytes between the masters until SIGTERM, or for at
most 150 s. Bytes for B wait here while nobody holds B open, as a virtual
pair with a buffer does: the program on B may open its port after the one
on A has written (Wine takes a while to start a program).
"""
import os
import select
import signal
import sys
import time
import tty


def open_pty():
    master, slave = os.openpty()
    name = os.ttyname(slave)
    tty.setraw(slave)
    # Closed once opened: the master reports POLLHUP while nobody holds the
    # slave open, which is how B's openness is seen below.
    os.close(slave)
    return master, name


def main():
    ready = sys.argv[1]
    a, a_name = open_pty()
    b, b_name = open_pty()
    for fd in (a, b):
        os.set_blocking(fd, False)
    with open(ready + ".tmp", "w") as f:
        f.write(f"{a_name} {b_name}\n")
    os.rename(ready + ".tmp", ready)
    stop = []
    signal.signal(signal.SIGTERM, lambda *_: stop.append(1))
    for_a, for_b = bytearray(), bytearray()
    end = time.monotonic() + 150
    while not stop and time.monotonic() < end:
        poller = select.poll()
        poller.register(a, select.POLLIN)
        poller.register(b, select.POLLIN)
        events = dict(poller.poll(5))
        b_hung = bool(events.get(b, 0) & select.POLLHUP)
        for fd, queue in ((a, for_b), (b, for_a)):
            if events.get(fd, 0) & select.POLLIN:
                try:
                    queue += os.read(fd, 65536)
                except OSError:
                    pass
        for fd, queue, hung in ((a, for_a, False), (b, for_b, b_hung)):
            if queue and not hung:
                try:
                    del queue[:os.write(fd, bytes(queue))]
                except (BlockingIOError, OSError):
                    pass
        if b_hung:
            # A hung-up master polls ready at once.
            time.sleep(0.005)

if __name__ == "__main__":
    main()
