#!/usr/bin/env python3
"""The far end of virtual serial lines, for trying the program without a cable.

    echo-peer.py NAME...

Makes one pseudo-terminal pair per NAME (COM1, COM2, ...), prints the near
ends' paths on stdout, one a line, in the order given, then echoes every byte
it receives back down the same line and reports it on stderr as text and hex.
"""
import os
import select
import sys
import tty


def report(name, data):
    text = data.decode("latin-1").encode("unicode_escape").decode("ascii")
    print("%s peer got %d byte%s: \"%s\"  [%s]" % (name, len(data), "" if len(data) == 1 else "s",
                                                  text, data.hex(" ")), file=sys.stderr, flush=True)


def main():
    names = sys.argv[1:] or ["COM1", "COM2"]
    lines = {}
    for name in names:
        master, slave = os.openpty()
        tty.setraw(slave)  # raw before the program opens it
        # The peer keeps the near end open too, so the line stays up between
        # the program's opens and its settings last.
        lines[master] = (name, slave)
        print(os.ttyname(slave), flush=True)
    for master, (name, _) in lines.items():
        print("%s is %s; the peer echoes what it gets." % (name, os.ttyname(lines[master][1])),
              file=sys.stderr, flush=True)
    while True:
        for master in select.select(list(lines), [], [])[0]:
            data = os.read(master, 4096)
            report(lines[master][0], data)
            os.write(master, data)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
