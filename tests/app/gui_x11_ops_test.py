#!/usr/bin/env python3
"""The window's operations under a private X server, driven with real input.

Run as: xvfb-run -a gui_x11_ops_test.py CASE (erase, burn_extract), with the
environment of gui_x11_test.py. Every click and key goes through xdotool; the
program's test probe reports where its widgets are. Screenshots of every
dialog go to SKARVO_GUI_OUT.
"""
import filecmp
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import gui_x11_test as g  # noqa: E402  (the shared driver of the program)


def settings(scratch, **values):
    """Writes the program's settings before it starts."""
    folder = os.path.join(scratch, "config", "Skarvo")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "Skarvo CD & DVD Burner.ini"), "w") as f:
        f.write("[Options]\n")
        for k, v in values.items():
            f.write("%s=%s\n" % (k, v))


def window(p, name):
    """Widgets and rows of one window only (names repeat across dialogs)."""
    widgets, rows = {}, []
    text = p.ask("dump " + name)
    g.LAST_DUMP[0] = text
    for line in text.splitlines():
        parts = line.split("\t")
        if len(parts) < 4:
            continue
        kind, wname, rect = parts[0], parts[1], [int(v) for v in parts[2].split(",")]
        value = "\t".join(parts[3:])
        if kind == "row":
            rows.append((wname, rect, value))
        else:
            widgets.setdefault(wname, (kind, rect, value))
            if kind == "message":
                widgets["message"] = (kind, rect, value)
    return widgets, rows


def wait_window(p, name, timeout=g.TIMEOUT):
    return g.wait_for("the window " + name, lambda: (lambda w: w if name in w else None)(window(p, name)[0]),
                      timeout)


def wait_gone(p, name):
    g.wait_for(name + " to close", lambda: name not in window(p, name)[0])


def answer_message(p, expect, shot):
    """Waits for a message box, checks its text, saves it and presses OK."""
    w = wait_window(p, "msgBox", 300)
    text = w["message"][2]
    p.shot("msgBox", shot)
    if not text.startswith(expect):
        g.fail("the message reads %r, not %r" % (text, expect))
    g.click(w["cmdOK"][1])
    wait_gone(p, "msgBox")
    return text


def answer_question(p, contains, shot):
    w = wait_window(p, "msgQuestion")
    if contains not in w["message"][2]:
        g.fail("the question reads %r" % w["message"][2])
    p.shot("msgQuestion", shot)
    g.click(w["cmdYes"][1])
    wait_gone(p, "msgQuestion")


def medium_read(p):
    return g.wait_for("the medium", lambda: (lambda t: t if "MaxMemory=0" not in t else None)(
        window(p, "frmMain")[0]["cdsSize"][2]))


def choose_drive(p, name):
    """Opens the drive list and picks the drive with the keyboard."""
    w = window(p, "frmMain")[0]
    items = w["cmbDrives"][2].split("{", 1)[1].rstrip("}").split(" | ")
    index = [i for i, t in enumerate(items) if "," + name + " " in t][0]
    g.click(w["cmbDrives"][1])
    time.sleep(0.5)
    g.xdotool("key", "Home")
    for _ in range(index):
        g.xdotool("key", "Down")
    g.xdotool("key", "Return")
    g.wait_for("drive " + name, lambda: window(p, "frmMain")[0]["lblDrive"][2] == "Drive " + name)


def watch_erase(p):
    """Follows an erase until its message; returns the highest bar position."""
    highest = 0
    end = time.monotonic() + 300
    while time.monotonic() < end:
        w = window(p, "frmMain")[0]
        if "msgBox" in window(p, "msgBox")[0]:
            return highest
        value, maximum = (int(v) for v in w["prgProgress"][2].split("/"))
        if w["lblBurnState"][2] == "Erasing Data..." and maximum == 100:
            highest = max(highest, value)
        time.sleep(0.1)
    g.fail("the erase did not end")


def case_erase(scratch):
    g.vdrive(scratch, "add", "cd1", "--model", "cdrw-writer")
    g.vdrive(scratch, "insert", "cd1", "--media", "CD-RW")
    g.vdrive(scratch, "add", "dvd2", "--model", "dvd-writer")
    g.vdrive(scratch, "insert", "dvd2", "--media", "DVD+RW", "--formatted")
    settings(scratch, FirstRun=0, EjectDisc=0)
    p = g.Program(scratch)
    try:
        g.main_window(p)
        medium_read(p)
        w = window(p, "frmMain")[0]
        g.click(w["cmdQuickErase"][1])
        answer_question(p, "quick erase the disc", "question-quick-erase.png")
        highest = watch_erase(p)
        answer_message(p, "Erase process completed.", "message-erase-completed.png")
        if highest <= 0:
            g.fail("the progress bar never moved during the erase")
        w = window(p, "frmMain")[0]
        if w["lblBurnState"][2] != "Ready" or w["prgProgress"][2].split("/")[0] != "100":
            g.fail("after the erase: %s, %s" % (w["lblBurnState"][2], w["prgProgress"][2]))

        # The zeros an erase writes after formatting a DVD+RW are refused.
        choose_drive(p, "dvd2")
        g.vdrive(scratch, "fault", "dvd2", "writeerror", "--lba", "0", "--count", "-1")
        w = window(p, "frmMain")[0]
        g.click(w["cmdQuickErase"][1])
        answer_question(p, "quick erase the disc", "question-quick-erase-dvd.png")
        watch_erase(p)
        answer_message(p, "Erase process completed with errors.", "message-erase-failed.png")
        result = window(p, "frmMain")[0]["lblResult"][2]
        if not result.startswith("Erase process completed with errors."):
            g.fail("the result line reads: " + result)
        p.shot("frmMain", "main-window-after-erase.png")
        p.close()
    finally:
        p.kill()


if __name__ == "__main__":
    case = sys.argv[1]
    scratch = tempfile.mkdtemp(prefix="skarvo-gui-ops-")
    try:
        os.makedirs(os.path.join(scratch, "home"), exist_ok=True)
        globals()["case_" + case](scratch)
        print("PASS", case)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
