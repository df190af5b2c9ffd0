#!/usr/bin/env python3
"""The program under a private X server, driven with real input events.

Run as: xvfb-run -a gui_x11_test.py CASE, with SKARVO_BURNER, SKARVO,
URI_DRAG_SOURCE and SKARVO_GUI_OUT (where screenshots go) set. The program's
test probe (SKARVO_GUI_PROBE) reports where its widgets are and takes
screenshots; every click, key and drag goes through xdotool.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

BURNER = os.environ["SKARVO_BURNER"]
CLI = os.environ["SKARVO"]
OUT = os.environ.get("SKARVO_GUI_OUT", tempfile.gettempdir())
TIMEOUT = 60.0


LAST_DUMP = [""]


def fail(msg):
    print("FAIL:", msg, flush=True)
    if LAST_DUMP[0]:
        print("Last state of the windows:\n" + LAST_DUMP[0], flush=True)
    sys.exit(1)


def wait_for(what, pred, timeout=TIMEOUT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = pred()
        if v:
            return v
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def xdotool(*args):
    return subprocess.run(["xdotool", *map(str, args)], check=False, capture_output=True, text=True)


class Program:
    """One run of the program with its own folders and probe."""

    def __init__(self, scratch, probe=True, extra_env=None):
        self.scratch = scratch
        self.probe = os.path.join(scratch, "probe") if probe else None
        env = dict(os.environ)
        env.update(base_env(scratch))
        if self.probe:
            env["SKARVO_GUI_PROBE"] = self.probe
            # A record left by an earlier run in this folder is not this run's.
            for stale in ("events", "out", "cmd"):
                if os.path.exists(os.path.join(self.probe, stale)):
                    os.remove(os.path.join(self.probe, stale))
        else:
            env.pop("SKARVO_GUI_PROBE", None)
        env.update(extra_env or {})
        self.started = time.monotonic()
        # The second start's message is read from its stderr; the others
        # write theirs into the test's output.
        pipe = None if probe else subprocess.PIPE
        self.proc = subprocess.Popen([BURNER], env=env, stdout=pipe, stderr=pipe, text=True)

    def ask(self, command, may_end=False):
        """The probe's answer; None when may_end and the program has ended."""
        cmd = os.path.join(self.probe, "cmd")
        out = os.path.join(self.probe, "out")
        if os.path.exists(out):
            os.remove(out)
        wait_for("the probe folder", lambda: os.path.isdir(self.probe))
        with open(cmd + ".tmp", "w") as f:
            f.write(command)
        os.rename(cmd + ".tmp", cmd)
        wait_for("an answer to " + command, lambda: self.proc.poll() is not None or not os.path.exists(cmd))
        if os.path.exists(cmd):
            if may_end:
                return None
            fail("the program ended while asked: " + command)
        with open(out) as f:
            return f.read()

    def dump(self):
        widgets, rows = {}, []
        text = self.ask("dump")
        LAST_DUMP[0] = text
        for line in text.splitlines():
            parts = line.split("\t")
            if len(parts) < 4:
                continue
            kind, name, rect = parts[0], parts[1], [int(v) for v in parts[2].split(",")]
            text = "\t".join(parts[3:])
            if kind == "row":
                rows.append((name, rect, text))
            else:
                widgets.setdefault(name, (kind, rect, text))
        return widgets, rows

    def widget(self, name):
        return wait_for(name, lambda: self.dump()[0].get(name))

    def shot(self, name, file):
        path = os.path.join(OUT, file)
        if self.ask("shot %s %s" % (name, path)).strip() != "ok":
            fail("no screenshot of " + name)
        return path

    def screen(self, file):
        path = os.path.join(OUT, file)
        if self.ask("screen " + path).strip() != "ok":
            fail("no screenshot of the screen")

    def close(self):
        self.ask("close")
        try:
            rc = self.proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            fail("the program did not end after its windows closed")
        if rc != 0:
            fail("the program ended with %d" % rc)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def base_env(scratch):
    run = os.path.join(scratch, "run")
    os.makedirs(run, mode=0o700, exist_ok=True)
    return {
        "HOME": os.path.join(scratch, "home"),
        "SKARVO_VDRIVES": os.path.join(scratch, "vdrives"),
        "XDG_CONFIG_HOME": os.path.join(scratch, "config"),
        "XDG_DATA_HOME": os.path.join(scratch, "data"),
        "XDG_RUNTIME_DIR": run,
        "SKARVO_VDRIVE_CLOCK": "50",
    }


def vdrive(scratch, *args):
    env = dict(os.environ)
    env.update(base_env(scratch))
    r = subprocess.run([CLI, "vdrive", *args], env=env, capture_output=True, text=True)
    if r.returncode != 0:
        fail("skarvo vdrive %s: %s" % (" ".join(args), r.stderr))


def centre(rect, dx=None, dy=None):
    x, y, w, h = rect
    return (x + (w // 2 if dx is None else dx), y + (h // 2 if dy is None else dy))


def click(rect, dx=None, dy=None):
    x, y = centre(rect, dx, dy)
    xdotool("mousemove", "--sync", x, y)
    xdotool("click", 1)


def drag(src, dst):
    xdotool("mousemove", "--sync", *src)
    xdotool("mousedown", 1)
    x0, y0 = src
    x1, y1 = dst
    for i in range(1, 21):
        xdotool("mousemove", "--sync", x0 + (x1 - x0) * i // 20, y0 + (y1 - y0) * i // 20)
        time.sleep(0.05)
    time.sleep(0.3)
    xdotool("mousemove", "--sync", x1 + 2, y1 + 2)
    time.sleep(0.3)
    xdotool("mouseup", 1)


def main_window(p):
    """Waits until the main window shows with its drives filled in."""
    wait_for("the main window", lambda: "frmMain" in p.dump()[0])
    return wait_for("the drive list", lambda: (lambda w: w if w.get("cmbDrives", ("", 0, ""))[2].strip(" {}") and
                                               "vd0" in w["cmbDrives"][2] or "cd1" in w.get("cmbDrives", ("", 0, ""))[2]
                                               else None)(p.dump()[0]))


def folder_size(path):
    total = 0
    for root, _, files in os.walk(path):
        for f in files:
            total += os.path.getsize(os.path.join(root, f))
    return total


def window_events(p):
    """(ms, show|hide, name) for each window shown or hidden so far."""
    path = os.path.join(p.probe, "events")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [(int(a), b, c) for a, b, c in (line.split() for line in f if line.strip())]


def first_event(p, kind, name):
    for ms, k, n in window_events(p):
        if k == kind and n == name:
            return ms
    return None


def case_start(scratch):
    p = Program(scratch)
    try:
        w = main_window(p)
        # The program's own record of its windows: the splash first, the main
        # window two seconds later, the splash gone with it.
        splash_at = first_event(p, "show", "frmSplash")
        main_at = first_event(p, "show", "frmMain")
        if splash_at is None or main_at is None or main_at < splash_at + 1900:
            fail("splash and main window shown at %s and %s ms" % (splash_at, main_at))
        if "frmSplash" in w:
            fail("the splash is still shown with the main window")
        p.shot("frmSplash", "splash.png")
        if "vd0" not in w["cmbDrives"][2] or not w["lblDrive"][2].startswith("Drive "):
            fail("no virtual drive in the list: " + w["cmbDrives"][2])
        bar = wait_for("the usage bar", lambda: (lambda t: t if "MaxCDSize=650 " not in t else None)(
            p.dump()[0]["cdsSize"][2]))
        if "MaxMemory=0" in bar:
            fail("no medium read: " + bar)
        time.sleep(max(0.0, 3.0 - (time.monotonic() - p.started)))
        p.screen("screen-after-3s.png")
        p.shot("frmMain", "main-window.png")

        # A second start: the message, no window, and the first keeps running.
        second = Program(scratch, probe=False)
        box = wait_for("the message of the second start",
                       lambda: xdotool("search", "--name", "^Information$").stdout.split())
        p.screen("second-start.png")
        xdotool("windowfocus", "--sync", box[0])
        xdotool("key", "--window", box[0], "Return")
        try:
            second.proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            second.kill()
            fail("the second start did not end")
        err = second.proc.stderr.read()
        if "Skarvo CD & DVD Burner is already running" not in err:
            fail("the second start said: " + err)
        if p.proc.poll() is not None:
            fail("the first instance ended")
        # The second instance saved the settings it loaded.
        ini = os.path.join(scratch, "config", "Skarvo", "Skarvo CD & DVD Burner.ini")
        if not os.path.exists(ini):
            fail("the second start saved no settings")
        p.close()
        with open(ini) as f:
            if f.read().count("=") < 18:
                fail("the settings file lacks values")
        if not os.path.isdir(os.path.join(scratch, "data", "skarvo", "Extract")):
            fail("the extract folder was not created")

        # A click hides the splash at once; the window still comes after two seconds.
        p = Program(scratch)
        splash_at = wait_for("the splash", lambda: first_event(p, "show", "frmSplash"))
        geo = wait_for("the splash on the screen", lambda: [
            x for x in xdotool("search", "--onlyvisible", "--name", "^Skarvo CD & DVD Burner$").stdout.split()
            if "Geometry: 359x195" in xdotool("getwindowgeometry", x).stdout])
        g = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", geo[0]).stdout.split())
        click((int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])))
        hidden_at = wait_for("the splash to hide", lambda: first_event(p, "hide", "frmSplash"))
        main_window(p)
        main_at = first_event(p, "show", "frmMain")
        if main_at - splash_at < 1900:
            fail("the main window came %d ms after the splash" % (main_at - splash_at))
        if hidden_at >= main_at:
            print("note: the machine was too slow to click before the timer", flush=True)
        p.close()
    finally:
        p.kill()


def case_drag(scratch):
    home = os.path.join(scratch, "home")
    os.makedirs(os.path.join(home, "docs", "inner"))
    with open(os.path.join(home, "docs", "report.txt"), "wb") as f:
        f.write(b"r" * 12345)
    with open(os.path.join(home, "docs", "inner", "x.bin"), "wb") as f:
        f.write(b"x" * 1000)
    p = Program(scratch)
    try:
        w = main_window(p)
        click(w["cmdAddFiles"][1])
        dlg = wait_for("the add-files dialog", lambda: p.dump()[0].get("frmAddFiles"))
        p.shot("frmAddFiles", "add-files.png")
        widgets, rows = p.dump()
        docs = [r for r in rows if r[0] == "dirFolders" and r[2].startswith("docs")]
        if not docs:
            fail("the folder list does not show the home folder: %s" % rows)
        click(docs[0][1])
        report = wait_for("the file list", lambda: [r for r in p.dump()[1]
                                                    if r[0] == "flbFiles" and r[2].startswith("report.txt")])
        # Drop on a part of the list the dialog does not cover.
        lx, ly, lw, lh = widgets["lvwFiles"][1]
        dx, dy, dw, dh = dlg[1]
        target = (lx + 20, ly + lh // 2) if dx > lx + 40 else (lx + lw - 20, ly + lh // 2)
        drag(centre(report[0][1]), target)
        row = wait_for("the dropped file as a row", lambda: [r for r in p.dump()[1] if r[0] == "lvwFiles"])
        want = os.path.join(home, "docs", "report.txt")
        if want not in row[0][2] or "12,345" not in row[0][2]:
            fail("the dropped file's row reads: " + row[0][2])
        # A folder dragged from the folder list recurses.
        docs = [r for r in p.dump()[1] if r[0] == "dirFolders" and r[2].startswith("docs")]
        drag(centre(docs[0][1]), target)
        rows = wait_for("the dropped folder", lambda: (lambda rs: rs if len(rs) == 2 else None)(
            [r for r in p.dump()[1] if r[0] == "lvwFiles"]))
        if os.path.join(home, "docs") + "/" not in rows[1][2] or "13,345" not in rows[1][2]:
            fail("the dropped folder's row reads: " + rows[1][2])
        p.shot("frmMain", "main-window-after-drag.png")
        p.close()
    finally:
        p.kill()


def case_urilist(scratch):
    """A drop from another program, as a file manager makes it."""
    one = os.path.join(scratch, "one")
    two = os.path.join(scratch, "two words")
    for d, n in ((one, 3), (two, 5)):
        os.makedirs(os.path.join(d, "sub"))
        for i in range(n):
            with open(os.path.join(d, "sub" if i % 2 else "", "f%d" % i), "wb") as f:
                f.write(b"z" * (1000 * (i + 1)))
    p = Program(scratch)
    src = None
    try:
        w = main_window(p)
        src = subprocess.Popen([os.environ["URI_DRAG_SOURCE"], one, two], stdout=subprocess.PIPE, text=True)
        win = wait_for("the drag source", lambda: xdotool("search", "--name", "^uri-drag-source$").stdout.split())
        geo = xdotool("getwindowgeometry", "--shell", win[0]).stdout
        g = dict(line.split("=") for line in geo.split())
        start = (int(g["X"]) + int(g["WIDTH"]) // 2, int(g["Y"]) + int(g["HEIGHT"]) // 2)
        # The source may map its window before it takes input: a drag that
        # never started leaves it running, so try again.
        for _ in range(10):
            drag(start, centre(w["lvwFiles"][1]))
            try:
                src.wait(3)
                break
            except subprocess.TimeoutExpired:
                pass
        if src.poll() is None:
            fail("the drag never started")
        said = src.stdout.read()
        if "drop accepted, data fetched" not in said:
            fail("the drop from another program: " + said)
        # The rows of both folders, with their sizes, as the drop gave them.
        rows = wait_for("the dropped folders as rows", lambda: (lambda rs: rs if len(rs) == 2 else None)(
            [r for r in p.dump()[1] if r[0] == "lvwFiles"]))
        for (_, _, text), folder in zip(rows, (one, two)):
            if folder + "/" not in text or "{:,}".format(folder_size(folder)) not in text:
                fail("the row for %s reads: %s" % (folder, text))
        p.shot("frmMain", "main-window-after-uri-drop.png")
        p.close()
    finally:
        if src and src.poll() is None:
            src.kill()
        p.kill()


def case_vdrive(scratch):
    # An existing, empty drive folder: the recorder then makes no default drive.
    os.makedirs(os.path.join(scratch, "vdrives"), exist_ok=True)
    vdrive(scratch, "add", "cd1", "--model", "cdrw-writer")
    vdrive(scratch, "insert", "cd1", "--media", "CD-R")
    vdrive(scratch, "add", "dvd2", "--model", "dvd-writer")
    p = Program(scratch)
    try:
        w = main_window(p)
        drives = w["cmbDrives"][2]
        for name in ("cd1", "dvd2"):
            if "," + name + " SKARVO" not in drives:
                fail("drive %s missing from %s" % (name, drives))
        if not w["cmbDrives"][2].startswith("0:0:0,cd1"):
            fail("the first drive is not selected: " + drives)
        before = wait_for("the CD-R", lambda: (lambda t: t if "MaxCDSize=7" in t else None)(
            p.dump()[0]["cdsSize"][2]))
        vdrive(scratch, "eject", "cd1")
        vdrive(scratch, "insert", "cd1", "--media", "CD-RW", "--capacity", "100000")
        # F5 reads the medium again.
        wid = xdotool("search", "--name", "^Skarvo CD & DVD Burner$").stdout.split()
        for x in wid:
            xdotool("windowfocus", "--sync", x)
        click(w["lvwFiles"][1])
        xdotool("key", "F5")
        after = wait_for("the new medium", lambda: (lambda t: t if t != before else None)(
            p.dump()[0]["cdsSize"][2]))
        size = int(after.split("MaxCDSize=")[1].split()[0])
        if not 190 <= size <= 200:  # 100,000 blocks of 2 KiB and the lead-out
            fail("the bar after the refresh: " + after)
        p.shot("frmMain", "main-window-after-refresh.png")
        p.close()
    finally:
        p.kill()


def help_from_keyboard(p, w, shot):
    """Alt+H opens Help, H chooses "Help..."; waits for the box that shows
    the address, takes a screenshot, closes the box and returns its lines."""
    for x in xdotool("search", "--name", "^Skarvo CD & DVD Burner$").stdout.split():
        xdotool("windowfocus", "--sync", x)
    click(w["lvwFiles"][1])
    xdotool("key", "alt+h")
    wait_for("the Help menu", lambda: "mnuHelp" in p.dump()[0])
    xdotool("key", "h")
    box = wait_for("the help's address", lambda: [
        line for line in p.ask("dump").splitlines() if line.startswith("message\t") and "https://" in line])
    p.screen(shot)
    ok = wait_for("the box's button", lambda: p.dump()[0].get("cmdOK"))
    click(ok[1])
    wait_for("the box to close", lambda: "msgBox" not in p.dump()[0])
    return box


def case_small(scratch):
    """On an 800x600 screen the whole window is on the screen."""
    p = Program(scratch, extra_env={"BROWSER": os.path.join(scratch, "no-such-browser")})
    try:
        w = main_window(p)
        screen = (0, 0, 800, 600)

        def inside(rect):
            x, y, wd, ht = rect
            return x >= screen[0] and y >= screen[1] and x + wd <= screen[2] and y + ht <= screen[3]
        w = wait_for("the window inside the screen", lambda: (lambda d: d if inside(d["frmMain"][1]) else None)(
            p.dump()[0]))
        for name in ("frmMain", "prgProgress", "cmdAbort", "lblBurnState", "cmdCompleteErase", "lvwFiles"):
            if not inside(w[name][1]):
                fail("%s lies outside the screen: %s" % (name, w[name][1]))
        p.screen("screen-800x600.png")
        p.shot("frmMain", "main-window-800x600.png")

        # With no browser to open, the address is shown.
        help_from_keyboard(p, w, "help-without-browser.png")
        p.close()
    finally:
        p.kill()


def case_help(scratch):
    """Help where xdg-open is present but finds no browser (it exits 3): the
    address is shown, as it is when nothing can open it."""
    bindir = os.path.join(scratch, "bin")
    os.makedirs(bindir)
    asked = os.path.join(scratch, "asked")
    opener = os.path.join(bindir, "xdg-open")
    with open(opener, "w") as f:
        f.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\nexit 3\n' % asked)
    os.chmod(opener, 0o755)
    p = Program(scratch, extra_env={"PATH": bindir + os.pathsep + os.environ["PATH"]})
    try:
        box = help_from_keyboard(p, main_window(p), "help-xdg-open-fails.png")
        with open(asked) as f:
            urls = f.read().split()
        if len(urls) != 1 or urls[0] not in box[0]:
            fail("xdg-open was asked for %s; the box says %s" % (urls, box[0]))
        p.close()
    finally:
        p.kill()


def run_case(cases, prefix):
    """Runs case_<argv[1]> of the module dict cases in a scratch folder."""
    case = sys.argv[1]
    scratch = tempfile.mkdtemp(prefix=prefix)
    try:
        os.makedirs(os.path.join(scratch, "home"), exist_ok=True)
        cases["case_" + case](scratch)
        print("PASS", case)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    run_case(globals(), "skarvo-gui-")
