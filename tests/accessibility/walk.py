#!/usr/bin/python3
"""The window as a screen reader meets it.

Starts the built program on a display of its own (Xvfb) with a session bus and
an accessibility bus of its own, then reads its accessible tree over AT-SPI:
every control that can take the focus has a name a person can understand, and
the Sign tab's file field, Browse and Sign follow one another under Tab.

usage: walk.py PROGRAM   (exit 77, skipped, when Xvfb, dbus or pyatspi is missing)
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
TIMEOUT = 60  # seconds for the window to show up on the bus, or the focus to move


def skip(reason):
    print("SKIPPED: " + reason)
    sys.exit(SKIP)


def wait_for(what, probe, process=None):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        found = probe()
        if found:
            return found
        if process is not None and process.poll() is not None:
            sys.exit("the program ended (status %d) while waiting for %s"
                     % (process.returncode, what))
        time.sleep(0.1)
    sys.exit("timed out waiting for " + what)


def start(command, **options):
    # Each helper leads a process group of its own, so that it and whatever it
    # started (the bus daemons, the program) go together at the end.
    return subprocess.Popen(command, start_new_session=True, **options)


def stop(process):
    try:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=5)
    except (ProcessLookupError, subprocess.TimeoutExpired):
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def outer(program):
    """Starts Xvfb on a free display, then this script again inside a session bus."""
    for tool, package in (("Xvfb", "xvfb"), ("dbus-run-session", "dbus")):
        if shutil.which(tool) is None:
            skip(tool + " is missing (package " + package + ")")
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        skip("the AT-SPI bus is missing (package at-spi2-core)")
    if subprocess.run([sys.executable, "-c", "import pyatspi"],
                      capture_output=True).returncode != 0:
        skip("pyatspi is missing for " + sys.executable + " (package python3-pyatspi)")

    home = tempfile.mkdtemp(prefix="quilvane-a11y-")
    helpers = []
    try:
        # Xvfb picks a free display itself and writes its number to the pipe.
        # Without -noreset it starts afresh whenever its last client leaves
        # (the AT-SPI launcher, or the program's own check that the display
        # answers), and turns away whoever connects at that moment.
        read, write = os.pipe()
        xvfb = start(["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24",
                      "-nolisten", "tcp", "-noreset"], pass_fds=(write,),
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        helpers.append(xvfb)
        os.close(write)
        with os.fdopen(read) as pipe:
            display = pipe.readline().strip()
        if not display:
            sys.exit("Xvfb did not start")

        # Nothing of this machine's user is read: folders, settings and store.
        env = {key: value for key, value in os.environ.items()
               if not key.startswith(("XDG_", "DBUS_", "WAYLAND_", "QT_"))}
        env.update(DISPLAY=":" + display, HOME=home, QT_QPA_PLATFORM="xcb",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   LC_ALL="C.UTF-8", LANGUAGE="")
        for name, folder in (("XDG_CONFIG_HOME", ".config"), ("XDG_DATA_HOME", ".local/share"),
                             ("XDG_CACHE_HOME", ".cache"), ("XDG_RUNTIME_DIR", "run")):
            env[name] = os.path.join(home, folder)
            os.makedirs(env[name], mode=0o700, exist_ok=True)
        session = start(["dbus-run-session", "--", sys.executable, os.path.abspath(__file__),
                         "--inside", program], env=env)
        helpers.append(session)
        try:
            return session.wait(timeout=120)
        except subprocess.TimeoutExpired:
            sys.exit("the walk took longer than two minutes")
    finally:
        for helper in reversed(helpers):
            stop(helper)
        shutil.rmtree(home, ignore_errors=True)


def inside(program):
    import pyatspi

    window = start([program], stdout=subprocess.DEVNULL)
    try:
        return walk(pyatspi, window)
    finally:
        stop(window)


def tree(node):
    yield node
    for index in range(node.childCount):
        child = node.getChildAtIndex(index)
        if child is not None:
            yield from tree(child)


def walk(pyatspi, program):
    pid = program.pid
    desktop = pyatspi.Registry.getDesktop(0)

    def frame():
        # Without events read, the bus's answers are kept: ask afresh.
        desktop.clearCache()
        for app in desktop:
            if app is not None and app.get_process_id() == pid:
                for child in app:
                    if child is not None and child.name:
                        return child
        return None

    window = wait_for("the window on the accessibility bus", frame, program)
    failures = []
    controls = [node for node in tree(window)
                if node.getState().contains(pyatspi.STATE_FOCUSABLE)]
    if not controls:
        failures.append("no control can take the focus")
    for node in controls:
        name = node.name.strip()
        # A name made only of punctuation ("...") says nothing when read aloud.
        if not any(character.isalnum() for character in name):
            failures.append("%s %r has no name a person understands"
                            % (node.getRoleName(), node.name))

    def focused():
        # The tab in front and the tab control report the focus along with
        # the control that really has it.
        window.clearCache()
        holders = [node for node in tree(window)
                   if node.getState().contains(pyatspi.STATE_FOCUSED)]
        inner = [node for node in holders
                 if node.getRole() not in (pyatspi.ROLE_PAGE_TAB, pyatspi.ROLE_FILLER,
                                           pyatspi.ROLE_PAGE_TAB_LIST)]
        return (inner or holders or [None])[0]

    # Without a window manager nothing gives the new window the keyboard: a
    # click on the footer does what the desktop does when a program starts.
    # On a busy machine the first click may come before the window is mapped,
    # so it is repeated until the window is active.
    footer = next(node for node in tree(window) if node.name.startswith("ZARAN Quilvane v"))

    def activated():
        window.clearCache()
        if window.getState().contains(pyatspi.STATE_ACTIVE):
            return True
        box = footer.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        pyatspi.Registry.generateMouseEvent(box.x + 2, box.y + box.height // 2, "b1c")
        time.sleep(0.5)
        return False

    wait_for("the window to take the keyboard", activated)

    # Tab alone, from wherever the focus starts, reaches the field, Browse and
    # Sign one after the other.
    flow = ["Select File:", "Browse for the document to sign", "Sign"]
    seen = []
    for _ in range(8):
        before = focused()
        pyatspi.Registry.generateKeyboardEvent(0xff09, None, pyatspi.KEY_SYM)  # Tab
        after = wait_for("the focus to move", lambda: (lambda now: now if now is not None
                                                       and now != before else None)(focused()))
        seen.append(after.name)
        if seen[-3:] == flow:
            break
    if seen[-3:] != flow:
        failures.append("Tab went %s, not %s in a row" % (seen, flow))

    for failure in failures:
        print("FAILED: " + failure)
    print("focusable: " + ", ".join(repr(node.name) for node in controls))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--inside":
        sys.exit(inside(sys.argv[2]))
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    sys.exit(outer(os.path.abspath(sys.argv[1])))
