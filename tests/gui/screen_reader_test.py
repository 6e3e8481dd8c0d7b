#!/usr/bin/python3
"""The Linux program as a screen reader hears it, through AT-SPI.

    screen_reader_test.py PROGRAM

Runs the program on its own Xvfb display with openbox and a private D-Bus
session (the test starts itself again under dbus-run-session), with Qt's
accessibility always on, as it is when a screen reader runs. Reads back the
window's role and name, then moves through the window with Tab and reads the
role and name of each control that takes the focus, as a screen reader says
them; ends by pressing the exit button through its accessible action.
"""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from support import wait_for  # noqa: E402  the tests' shared support
from support.desktops import XDesktop, on_own_session_bus  # noqa: E402

PROGRAM = None  # set from the command line

# What each Tab reaches from the start, and the label that names each memo.
TAB_ORDER = [
    ("push button", "開啟通訊埠"),
    ("push button", "結束系統"),
    ("push button", "接收資料"),
    ("radio button", "COM1"),
    ("text", "傳送資料"),
    ("text", "接收資料"),
    ("push button", "傳送資料"),
    ("push button", "開啟通訊埠"),
]


def descendants(node):
    for child in node:
        if child is not None:
            yield child
            yield from descendants(child)


class ScreenReader(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        import pyatspi  # noqa: F401 (fails here, loudly, where it is missing)
        cls.desktop = XDesktop((1024, 768))

    @classmethod
    def tearDownClass(cls):
        cls.desktop.close()

    def window(self):
        import pyatspi
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.name == "comtester":
                for child in app:
                    if child is not None and child.name == "Form1":
                        return child
        return None

    def focused(self, window):
        import pyatspi
        for node in descendants(window):
            if node.getState().contains(pyatspi.STATE_FOCUSED):
                return (node.getRoleName(), node.name)
        return None

    def test_every_control_is_announced_by_its_caption_or_label(self):
        import pyatspi
        env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        env.pop("QT_QPA_PLATFORM", None)
        program = subprocess.Popen([PROGRAM], env=env, stderr=subprocess.PIPE)
        try:
            window = wait_for(self.window)
            self.assertIsNotNone(window, "no window named Form1 in the accessibility tree")
            self.assertEqual(window.getRoleName(), "frame")

            # Each memo is labelled by the label above it, and that label is for it.
            for memo_name in ("傳送資料", "接收資料"):
                memo = [n for n in descendants(window)
                        if n.getRoleName() == "text" and n.name == memo_name]
                self.assertEqual(len(memo), 1, memo_name)
                labels = [r.getTarget(i) for r in memo[0].getRelationSet()
                          if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                          for i in range(r.getNTargets())]
                self.assertEqual([(l.getRoleName(), l.name) for l in labels], [("label", memo_name)])
                targets = [r.getTarget(i) for r in labels[0].getRelationSet()
                           if r.getRelationType() == pyatspi.RELATION_LABEL_FOR
                           for i in range(r.getNTargets())]
                self.assertEqual([(t.getRoleName(), t.name) for t in targets], [("text", memo_name)])

            # Moving with Tab, as a screen reader user does.
            self.desktop.activate(self.desktop.window("Form1"))
            heard = [wait_for(lambda: self.focused(window))]
            for _ in TAB_ORDER[1:]:
                before = len(heard)
                self.desktop.keys("Tab")
                # The start and the end are the same button: wait for the change.
                heard.append(wait_for(lambda: (f := self.focused(window)) != heard[before - 1] and f,
                                      3) or self.focused(window))
            self.assertEqual(heard, TAB_ORDER)

            # The exit button, pressed through its action, ends the program.
            exit_button = [n for n in descendants(window)
                           if n.getRoleName() == "push button" and n.name == "結束系統"]
            self.assertEqual(len(exit_button), 1)
            exit_button[0].queryAction().doAction(0)
            self.assertEqual(program.wait(timeout=30), 0)
        finally:
            if program.poll() is None:
                program.kill()
                program.wait()
            program.stderr.close()


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    on_own_session_bus()
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
