#!/usr/bin/env python3
"""The window's operations under a private X server, driven with real input.

Run as: xvfb-run -a gui_x11_ops_test.py CASE (a case_ function's name), with the
environment of gui_x11_test.py. Every click and key goes through xdotool; the
program's test probe reports where its widgets are. Screenshots of every
dialog go to SKARVO_GUI_OUT.
"""
import filecmp
import os
import subprocess
import sys
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
    """Waits for a message box, checks its text (its first line is expect),
    saves it and presses OK."""
    w = wait_window(p, "msgBox", 300)
    text = w["message"][2]
    p.shot("msgBox", shot)
    if text != expect and not text.startswith(expect + "  "):
        g.fail("the message reads %r, not %r" % (text, expect))
    g.click(w["cmdOK"][1])
    wait_gone(p, "msgBox")
    return text


def answer_question(p, contains, shot, quits=False):
    """Answers Yes; quits: the answer may end the program at once."""
    w = wait_window(p, "msgQuestion")
    if contains not in w["message"][2]:
        g.fail("the question reads %r" % w["message"][2])
    p.shot("msgQuestion", shot)
    g.click(w["cmdYes"][1])
    if quits:
        # Asking the probe of a program that has just ended gets no answer.
        g.wait_for("the question to close", lambda: (lambda t: t is None or "\tmsgQuestion\t" not in t)(
            p.ask("dump msgQuestion", may_end=True)))
        return
    wait_gone(p, "msgQuestion")


def main_window(p, drive):
    """Waits until the main window shows with the drive in its list."""
    g.wait_for("the main window with drive " + drive, lambda: "," + drive + " " in
               window(p, "frmMain")[0].get("cmbDrives", ("", 0, ""))[2])


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
    g.vdrive(scratch, "remove", "vd0")  # the default drive made with the folder
    settings(scratch, FirstRun=0, EjectDisc=0)
    p = g.Program(scratch)
    try:
        main_window(p, "cd1")
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


def skarvo(scratch, *args):
    """Runs the command line with the test's folders; its output."""
    env = dict(os.environ)
    env.update(g.base_env(scratch))
    r = subprocess.run([g.CLI, *args], env=env, capture_output=True, text=True)
    if r.returncode != 0:
        g.fail("skarvo %s: %s" % (args[0], r.stderr))
    return r.stdout


def export_disc(scratch, drive):
    """The disc in the drive as an image file, for other readers."""
    image = os.path.join(scratch, "disc.iso")
    skarvo(scratch, "vdrive", "export", drive, image)
    return image


def same_tree(a, b):
    """True when folders a and b hold the same names and bytes."""
    c = filecmp.dircmp(a, b)
    if c.left_only or c.right_only or c.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, c.common_files, shallow=False)
    return not mismatch and not errors and all(same_tree(os.path.join(a, d), os.path.join(b, d))
                                               for d in c.common_dirs)


def drop_home_folder(p, folder):
    """Drags a folder of the home folder from the add-files dialog onto the
    list, and closes the dialog."""
    w = window(p, "frmMain")[0]
    g.click(w["cmdAddFiles"][1])
    dlg, rows = g.wait_for("the add-files dialog", lambda: (lambda d: d if "frmAddFiles" in d[0] else None)(
        window(p, "frmAddFiles")))
    name = os.path.basename(folder)
    source = [r for r in rows if r[0] == "dirFolders" and r[2].startswith(name)]
    if not source:
        g.fail("the folder list does not show the home folder: %s" % rows)
    lx, ly, lw, lh = w["lvwFiles"][1]
    dx = dlg["frmAddFiles"][1][0]
    target = (lx + 20, ly + lh // 2) if dx > lx + 40 else (lx + lw - 20, ly + lh // 2)
    g.drag(g.centre(source[0][1]), target)
    g.wait_for("the dropped folder", lambda: [r for r in window(p, "frmMain")[1]
                                              if r[0] == "lvwFiles" and folder + "/" in r[2]])
    g.click(dlg["cmdClose"][1])
    wait_gone(p, "frmAddFiles")


def make_docs(home):
    docs = os.path.join(home, "docs")
    os.makedirs(os.path.join(docs, "inner"))
    os.makedirs(os.path.join(docs, "more", "deeper"))
    contents = {
        "report.txt": b"r" * 12345,
        "Long name with spaces.txt": b"long\n" * 500,
        "inner/x.bin": bytes(range(256)) * 300,
        "inner/y.txt": b"y" * 70000,
        "more/deeper/z.dat": b"z" * 4097,
    }
    for name, data in contents.items():
        with open(os.path.join(docs, name), "wb") as f:
            f.write(data)
    return docs


def show_files(p, medium, shot):
    """Opens Disc Info on a disc of one session, checks the medium's name,
    and opens the extract dialog of the session with Show Files."""
    g.click(window(p, "frmMain")[0]["cmdDiscInfo"][1])
    info, rows = g.wait_for("the disc information", lambda: (lambda d: d if "frmDiscInfo" in d[0] and
                                                             d[0]["cmdShowFiles"][0] == "widget" else None)(
        window(p, "frmDiscInfo")))
    sessions = [r for r in rows if r[0] == "lvwSessions"]
    if len(sessions) != 1 or not sessions[0][2].startswith("1\t"):
        g.fail("the sessions listed: %s" % sessions)
    if info["lblMedium"][2] != medium:
        g.fail("the medium reads " + info["lblMedium"][2])
    p.shot("frmDiscInfo", shot)
    g.click(sessions[0][1])
    g.click(info["cmdShowFiles"][1])
    return g.wait_for("the extract dialog", lambda: (lambda d: d if "frmExtract" in d[0] else None)(
        window(p, "frmExtract")))


def extract_folder_then_quit(p, ex, source, extract, shot):
    """Extract Folder in the open extract dialog: the folder extracted equals
    source; then the dialogs and the program close."""
    g.click(ex["cmdExtractFolder"][1])
    g.wait_for("the extraction", lambda: (lambda d: d["cmdClose"][0] == "widget" and
                                          d["lblExtract"][2].startswith("Extracting: "))(window(p, "frmExtract")[0]),
               120)
    p.shot("frmExtract", shot)
    if not same_tree(source, extract):
        g.fail("the extracted folder differs: %s" % os.listdir(extract))
    g.click(window(p, "frmExtract")[0]["cmdClose"][1])
    wait_gone(p, "frmExtract")
    g.click(window(p, "frmDiscInfo")[0]["cmdClose"][1])
    wait_gone(p, "frmDiscInfo")
    p.close()


def case_BurnFolderThenExtract(scratch):
    """A folder dropped on the window, burned to a DVD+RW, read back."""
    home = os.path.join(scratch, "home")
    docs = make_docs(home)
    extract = os.path.join(scratch, "extract")
    g.vdrive(scratch, "add", "dvd1", "--model", "dvd-writer")
    g.vdrive(scratch, "insert", "dvd1", "--media", "DVD+RW")
    g.vdrive(scratch, "remove", "vd0")  # the default drive made with the folder
    settings(scratch, FirstRun=0, EjectDisc=1, SavePath=0, ExtractFolder=extract)
    p = g.Program(scratch)
    try:
        main_window(p, "dvd1")
        medium_read(p)
        # The folder comes from the add-files dialog by drag and drop.
        drop_home_folder(p, docs)
        w = window(p, "frmMain")[0]

        # The label, typed.
        g.click(w["txtVolumeLabel"][1])
        g.xdotool("key", "ctrl+a")
        g.xdotool("type", "--delay", "20", "XBURN")
        g.wait_for("the label", lambda: window(p, "frmMain")[0]["txtVolumeLabel"][2] == "XBURN")
        p.shot("frmMain", "main-window-before-burn.png")

        g.click(w["cmdBurn"][1])
        answer_question(p, "MB to the disc ?", "question-burn-size.png")
        answer_message(p, "Burn process completed.", "message-burn-completed.png")
        p.shot("frmMain", "main-window-after-burn.png")

        # The tray opened after the burn; the disc as another reader sees it.
        image = export_disc(scratch, "dvd1")
        with open(image, "rb") as f:
            f.seek(16 * 2048 + 40)
            label = f.read(32).decode("ascii").rstrip()
        if label != "XBURN":
            g.fail("the volume label on the disc is %r" % label)
        listing = subprocess.run(["bsdtar", "-tvvf", image], capture_output=True, text=True).stdout
        if "ISO9660" not in listing:
            g.fail("bsdtar does not read the disc as ISO 9660:\n" + listing)
        out = os.path.join(scratch, "bsdtar")
        os.makedirs(out)
        r = subprocess.run(["bsdtar", "-xf", image, "-C", out], capture_output=True, text=True)
        if r.returncode != 0 or not same_tree(docs, out):
            g.fail("the disc differs from the folder: " + r.stderr + str(os.listdir(out)))

        # Back in the drive: the disc information, "Show Files" and the extract dialog.
        g.click(w["cmdLoad"][1])
        g.wait_for("the medium after loading", lambda: (lambda d: d["cmbDrives"][0] == "widget" and
                                                        "MaxMemory=0" not in d["cdsSize"][2])(
            window(p, "frmMain")[0]))
        ex, rows = show_files(p, "DVD+RW", "disc-info.png")
        if ex["txtExtractFolder"][2] != extract:
            g.fail("the extract folder reads " + ex["txtExtractFolder"][2])
        p.shot("frmExtract", "extract-root.png")
        inner = [r for r in rows if r[0] == "trvFolders" and r[2].startswith("inner")]
        if not inner:
            g.fail("no folder 'inner' in the tree: %s" % rows)
        g.click(inner[0][1])
        g.wait_for("the files of 'inner'", lambda: len([r for r in window(p, "frmExtract")[1]
                                                        if r[0] == "lvwFiles"]) == 2)
        extract_folder_then_quit(p, ex, os.path.join(docs, "inner"), extract, "extract-folder-done.png")
    finally:
        p.kill()


def case_SigtermDuringBurn(scratch):
    """SIGTERM in the middle of a burn asks first; Yes aborts the burn, and
    the program ends with the tray unlocked."""
    home = os.path.join(scratch, "home")
    big = os.path.join(home, "big")
    os.makedirs(big)
    with open(os.path.join(big, "big.bin"), "wb") as f:
        f.truncate(300 * 1048576)
    g.vdrive(scratch, "add", "dvd1", "--model", "dvd-writer")
    g.vdrive(scratch, "insert", "dvd1", "--media", "DVD+R")
    g.vdrive(scratch, "remove", "vd0")
    settings(scratch, FirstRun=0, EjectDisc=0, SavePath=0)
    # The drive's own clock: the burn lasts long enough to be interrupted.
    p = g.Program(scratch, extra_env={"SKARVO_VDRIVE_CLOCK": "1"})
    try:
        main_window(p, "dvd1")
        medium_read(p)
        drop_home_folder(p, big)
        w = window(p, "frmMain")[0]
        g.click(w["cmdBurn"][1])
        answer_question(p, "MB to the disc ?", "question-burn-big.png")
        g.wait_for("data on the disc", lambda: (lambda t: t.startswith("MB Written: ") and
                                                not t.startswith("MB Written: 0.00/"))(
            window(p, "frmMain")[0]["lblMBWritten"][2]), 120)
        p.proc.send_signal(15)
        answer_question(p, "A disc is being written. Stop it and quit?", "question-quit-during-burn.png", quits=True)
        try:
            rc = p.proc.wait(120)
        except subprocess.TimeoutExpired:
            g.fail("the program did not end after the abort")
        if rc != 0:
            g.fail("the program ended with %d" % rc)
        with open(os.path.join(scratch, "vdrives", "dvd1", "settings")) as f:
            state = dict(line.split(" = ", 1) for line in f.read().splitlines() if " = " in line)
        if state.get("prevent", "").strip() != "0":
            g.fail("the tray stayed locked after the abort")
    finally:
        p.kill()


def command_log(scratch, drive):
    with open(os.path.join(scratch, "vdrives", drive, "commands.log")) as f:
        return [line for line in f.read().splitlines() if line.strip()]


def case_ShowFilesCancel(scratch):
    """Show Files on a drive that never answers a read: Cancel closes the
    dialog at once, nothing more goes to the drive, the read's worker ends,
    and the program quits at once."""
    home = os.path.join(scratch, "home")
    docs = make_docs(home)
    image = os.path.join(scratch, "docs.iso")
    skarvo(scratch, "build-iso", "-o", image, docs)
    g.vdrive(scratch, "add", "rom1", "--model", "dvd-writer")
    g.vdrive(scratch, "insert", "rom1", "--media", "DVD-ROM", "--image", image)
    g.vdrive(scratch, "remove", "vd0")
    settings(scratch, FirstRun=0, EjectDisc=0)
    p = g.Program(scratch)
    try:
        main_window(p, "rom1")
        medium_read(p)
        g.click(window(p, "frmMain")[0]["cmdDiscInfo"][1])
        info, rows = g.wait_for("the disc information", lambda: (lambda d: d if "frmDiscInfo" in d[0] and
                                                                 d[0]["cmdShowFiles"][0] == "widget" else None)(
            window(p, "frmDiscInfo")))
        sessions = [r for r in rows if r[0] == "lvwSessions"]
        if len(sessions) != 1:
            g.fail("the sessions listed: %s" % sessions)
        # Every read from here on is left unanswered.
        g.vdrive(scratch, "fault", "rom1", "pending", "--op", "28", "--count", "-1")
        g.click(info["cmdShowFiles"][1])
        g.wait_for("the read to hang", lambda: any("cmd=READ(10)" in line and "status=PENDING" in line
                                                   for line in command_log(scratch, "rom1")))
        info = g.wait_for("the reading state", lambda: (lambda d: d if d.get("lblState", ("", 0, ""))[2] ==
                                                        "Reading the disc..." else None)(window(p, "frmDiscInfo")[0]))
        if info["cmdClose"][2] != "Cancel" or info["cmdShowFiles"][0] != "disabled":
            g.fail("while reading: %s, Show Files %s" % (info["cmdClose"][2], info["cmdShowFiles"][0]))
        p.shot("frmDiscInfo", "disc-info-reading.png")
        g.click(info["cmdClose"][1])
        wait_gone(p, "frmDiscInfo")
        # The worker has ended when the window's drive buttons are back.
        g.wait_for("the read's worker to end", lambda: window(p, "frmMain")[0]["cmdDiscInfo"][0] == "widget")
        log = command_log(scratch, "rom1")
        if "status=PENDING" not in log[-1]:
            g.fail("commands went to the drive after Cancel:\n" + "\n".join(log[-5:]))
        p.shot("frmMain", "main-window-after-cancelled-read.png")
        if "frmExtract" in window(p, "frmExtract")[0]:
            g.fail("the cancelled read opened the extract dialog")
        p.close()
    finally:
        p.kill()


def case_Capabilities(scratch):
    """The capabilities dialog of a BD writer and of a DVD writer, opened
    with a click: each box as the command line reports the drive, the BD
    ones set only for the BD writer, and every box on view."""
    g.vdrive(scratch, "add", "bd1", "--model", "bd-writer")
    g.vdrive(scratch, "add", "dvd2", "--model", "dvd-writer")
    g.vdrive(scratch, "remove", "vd0")
    settings(scratch, FirstRun=0, EjectDisc=0)
    p = g.Program(scratch)
    try:
        main_window(p, "dvd2")
        for drive, bd in (("bd1", True), ("dvd2", False)):
            choose_drive(p, drive)
            g.wait_for("the drive's buttons", lambda: window(p, "frmMain")[0]["cmdCapabilities"][0] == "widget")
            g.click(window(p, "frmMain")[0]["cmdCapabilities"][1])
            dlg = wait_window(p, "frmDeviceCapabilities")
            p.shot("frmDeviceCapabilities", "capabilities-%s.png" % drive)
            boxes = {n: v[2] for n, v in dlg.items() if n.startswith("chk")}
            for name, caption in (("chkReadBD", "Read BD-ROM"), ("chkWriteBDR", "Write BD-R"),
                                  ("chkWriteBDRE", "Write BD-RE"), ("chkWriteDVDPR", "Write DVD+R")):
                want = caption + (" [x]" if bd or name == "chkWriteDVDPR" else " [ ]")
                if boxes.get(name) != want:
                    g.fail("%s: %s reads %r, not %r" % (drive, name, boxes.get(name), want))
            # The command line lists what the drive can do; every box agrees.
            cli = skarvo(scratch, "capabilities", "--drive", drive)
            listed = {line[4:].strip(): line.startswith("[x]") for line in cli.splitlines()
                      if line.startswith(("[x] ", "[ ] "))}
            shown = {v[:-4].replace("Read BD-ROM", "Read BD"): v.endswith("[x]") for v in boxes.values()}
            if shown != listed or len(shown) != 20:
                g.fail("%s: the dialog shows %s; the command line says:\n%s" % (drive, shown, cli))
            # Every box and label lies inside the dialog, none over another.
            frame = dlg["frmDeviceCapabilities"][1]
            rects = [(n, v[1]) for n, v in dlg.items() if n.startswith(("chk", "lblMax"))]
            for i, (n, (x, y, w, h)) in enumerate(rects):
                if x < frame[0] or y < frame[1] or x + w > frame[0] + frame[2] or y + h > frame[1] + frame[3]:
                    g.fail("%s lies outside the dialog: %s in %s" % (n, (x, y, w, h), frame))
                for m, (x2, y2, w2, h2) in rects[i + 1:]:
                    if x < x2 + w2 and x2 < x + w and y < y2 + h2 and y2 < y + h:
                        g.fail("%s and %s overlap" % (n, m))
            g.click(dlg["cmdClose"][1])
            wait_gone(p, "frmDeviceCapabilities")
        p.close()
    finally:
        p.kill()


def case_ExtractCancel(scratch):
    """An extract from a drive that stops answering its reads: Cancel ends
    it within seconds with the window answering throughout, nothing more goes
    to the drive, no part of the file is left, and once the drive answers
    again the same extract gives the files whole."""
    home = os.path.join(scratch, "home")
    src = os.path.join(home, "data")
    os.makedirs(src)
    with open(os.path.join(src, "big.bin"), "wb") as f:
        f.write(os.urandom(12 * 1048576))
    with open(os.path.join(src, "small.txt"), "wb") as f:
        f.write(b"small\n" * 100)
    image = os.path.join(scratch, "data.iso")
    skarvo(scratch, "build-iso", "-o", image, src)
    extract = os.path.join(scratch, "extract")
    g.vdrive(scratch, "add", "rom1", "--model", "dvd-writer")
    g.vdrive(scratch, "insert", "rom1", "--media", "DVD-ROM", "--image", image)
    g.vdrive(scratch, "remove", "vd0")
    settings(scratch, FirstRun=0, EjectDisc=0, ExtractFolder=extract)
    p = g.Program(scratch)
    try:
        main_window(p, "rom1")
        medium_read(p)
        ex, _ = show_files(p, "DVD-ROM", "disc-info-rom.png")
        # The first reads of the data come back, every later one never does.
        g.vdrive(scratch, "fault", "rom1", "pending", "--op", "28", "--count", "-1", "--skip", "2")
        g.click(ex["cmdExtractFolder"][1])
        g.wait_for("the read to hang", lambda: any("cmd=READ(10)" in line and "status=PENDING" in line
                                                   for line in command_log(scratch, "rom1")))
        # The window answers while the read hangs.
        if "frmMain" not in window(p, "frmMain")[0]:
            g.fail("the main window does not answer while the read hangs")
        ex = window(p, "frmExtract")[0]
        if ex["cmdCancel"][0] != "widget" or ex["cmdClose"][0] != "disabled":
            g.fail("while extracting: Cancel %s, Close %s" % (ex["cmdCancel"][0], ex["cmdClose"][0]))
        p.shot("frmExtract", "extract-hanging.png")
        started = time.monotonic()
        g.click(ex["cmdCancel"][1])
        g.wait_for("the extract to stop", lambda: window(p, "frmExtract")[0]["cmdClose"][0] == "widget")
        took = time.monotonic() - started
        # The drive's own time-out for a read is 10 s.
        if took > 6:
            g.fail("Cancel took %.1f s" % took)
        print("Cancel ended the extract in %.2f s" % took, flush=True)
        ex = window(p, "frmExtract")[0]
        if ex["lblExtract"][2] != "Extraction cancelled.":
            g.fail("after Cancel the dialog reads %r" % ex["lblExtract"][2])
        log = command_log(scratch, "rom1")
        if "status=PENDING" not in log[-1]:
            g.fail("commands went to the drive after Cancel:\n" + "\n".join(log[-5:]))
        left = sorted(os.listdir(extract)) if os.path.isdir(extract) else []
        if "big.bin" in left or any(not filecmp.cmp(os.path.join(src, n), os.path.join(extract, n), shallow=False)
                                    for n in left if os.path.exists(os.path.join(src, n))) or \
                any(n not in ("big.bin", "small.txt") for n in left):
            g.fail("the cancelled extract left in the folder: %s" % left)
        p.shot("frmExtract", "extract-cancelled.png")

        g.vdrive(scratch, "fault", "rom1", "--clear")
        extract_folder_then_quit(p, ex, src, extract, "extract-after-cancel.png")
    finally:
        p.kill()


def case_JolietLongName(scratch):
    """A name longer than a Joliet record holds: the burn's question and the
    result line say it is shortened there and kept whole by Rock Ridge, and
    the disc holds it so."""
    home = os.path.join(scratch, "home")
    folder = os.path.join(home, "long")
    os.makedirs(folder)
    # Words, so the question wraps the name as it would a user's.
    long_name = "a long name of many words " + "word " * 25 + "end.txt"
    with open(os.path.join(folder, long_name), "wb") as f:
        f.write(b"kept\n" * 1000)
    with open(os.path.join(folder, "short.txt"), "wb") as f:
        f.write(b"short\n")
    g.vdrive(scratch, "add", "dvd1", "--model", "dvd-writer")
    g.vdrive(scratch, "insert", "dvd1", "--media", "DVD+RW")
    g.vdrive(scratch, "remove", "vd0")
    settings(scratch, FirstRun=0, EjectDisc=0, SavePath=0)
    p = g.Program(scratch)
    try:
        main_window(p, "dvd1")
        medium_read(p)
        drop_home_folder(p, folder)
        g.click(window(p, "frmMain")[0]["cmdBurn"][1])
        note = ('1 name is longer than a Joliet record holds (110 characters) and shortened in the Joliet tree, '
                'the first: "/%s"; Rock Ridge keeps them whole' % long_name)
        answer_question(p, "Note: " + note + ".", "question-burn-joliet-note.png")
        answer_message(p, "Burn process completed.", "message-burn-joliet.png")
        result = window(p, "frmMain")[0]["lblResult"][2]
        if note not in result:
            g.fail("the result line reads: " + result)
        p.shot("frmMain", "main-window-joliet-note.png")
        image = export_disc(scratch, "dvd1")
        joliet = [n[:-2] if n.endswith(";1") else n for n in subprocess.run(
            ["isoinfo", "-J", "-f", "-i", image], capture_output=True, text=True).stdout.splitlines()]
        rock = subprocess.run(["isoinfo", "-R", "-f", "-i", image], capture_output=True, text=True).stdout.splitlines()
        cut = [n for n in joliet if n.startswith("/a long")]
        if "/" + long_name not in rock:
            g.fail("Rock Ridge does not hold the whole name: %s" % rock)
        if "/short.txt" not in joliet or len(cut) != 1 or len(cut[0]) - 1 > 108 or not long_name.startswith(
                cut[0][1:101]):
            g.fail("the Joliet tree holds: %s" % joliet)
        p.close()
    finally:
        p.kill()


if __name__ == "__main__":
    g.run_case(globals(), "skarvo-gui-ops-")
