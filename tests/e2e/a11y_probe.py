#!/usr/bin/python3
"""What a screen reader sees of the client, read through the accessibility bus (AT-SPI).

    a11y_probe.py enable
        Switches accessibility on for the session as a screen reader does. Exit 77 when the
        accessibility bus cannot be started.
    a11y_probe.py tree TITLE [--role ROLE] [--focused NAME] [--expect NAME=ROLE]...
        Waits for a showing window of the client whose name contains TITLE, prints its tree
        (role | name | description | states) and checks it: every focusable control that shows
        has a name, the window and the named controls have the roles given, NAME has the focus.
    a11y_probe.py gone TITLE
        Waits until no showing window of the client has a name containing TITLE.
    a11y_probe.py listen
        Prints, one line each, the events a screen reader acts on (a notification or window
        shown, focus moving, a window activated) until it is terminated: "READY" first.
"""
import signal
import sys
import time

APP = "Wispline"
WAIT_SECONDS = 60
SKIP = 77


def enable():
    try:
        from gi.repository import Gio, GLib
        bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
        # Asking for the address starts the accessibility bus and its registry.
        bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None,
                      GLib.VariantType("(s)"), Gio.DBusCallFlags.NONE, 30000, None)
        for prop in ("IsEnabled", "ScreenReaderEnabled"):
            bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties",
                          "Set", GLib.Variant("(ssv)", ("org.a11y.Status", prop,
                                                        GLib.Variant("b", True))),
                          None, Gio.DBusCallFlags.NONE, 30000, None)
    except Exception as e:  # no session bus, no accessibility bus launcher
        print("no accessibility bus: %s" % e)
        return SKIP
    return 0


def states_of(acc):
    import pyatspi
    st = acc.getState()
    names = (("focusable", pyatspi.STATE_FOCUSABLE), ("showing", pyatspi.STATE_SHOWING),
             ("focused", pyatspi.STATE_FOCUSED))
    return [n for n, s in names if st.contains(s)]


def windows():
    import pyatspi
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is None or app.name != APP:
            continue
        for j in range(app.childCount):
            win = app.getChildAtIndex(j)
            if win is not None:
                yield win


def find_window(title):
    for win in windows():
        try:
            if title in win.name and "showing" in states_of(win):
                return win
        except Exception:  # a window going away while it is read
            pass
    return None


def wait_for(condition):
    deadline = time.monotonic() + WAIT_SECONDS
    while True:
        found = condition()
        if found or time.monotonic() > deadline:
            return found
        time.sleep(0.2)


def walk(acc, depth, lines, nodes):
    states = states_of(acc)
    lines.append("%s%s | %r | %r | %s" % ("  " * depth, acc.getRoleName(), acc.name,
                                          acc.description, ",".join(states)))
    nodes.append((acc.getRoleName(), acc.name, states))
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            walk(child, depth + 1, lines, nodes)


def tree(args):
    title, role, focused, expect = args[0], None, None, {}
    rest = args[1:]
    while rest:
        opt, value, rest = rest[0], rest[1], rest[2:]
        if opt == "--role":
            role = value
        elif opt == "--focused":
            focused = value
        elif opt == "--expect":
            name, _, want = value.partition("=")
            expect[name] = want
    win = wait_for(lambda: find_window(title))
    if not win:
        print("FAILED: no showing window named like %r" % title)
        return 1
    # Focus settles after the window shows: wait for it where one is expected.
    if focused:
        wait_for(lambda: any(n[1] == focused and "focused" in n[2] for n in nodes_of(win)))
    lines, nodes = [], []
    walk(win, 0, lines, nodes)
    print("\n".join(lines))
    problems = []
    if role and win.getRoleName() != role:
        problems.append("window is a %s, not a %s" % (win.getRoleName(), role))
    for node_role, name, states in nodes:
        if "focusable" in states and "showing" in states and not name.strip():
            problems.append("a focusable %s without a name" % node_role)
    for name, want in expect.items():
        roles = [r for r, n, _ in nodes if n == name]
        if want not in roles:
            problems.append("%r is %s, not a %s" % (name, roles or "missing", want))
    if focused and not any(n == focused and "focused" in s for _, n, s in nodes):
        problems.append("%r does not have the focus" % focused)
    for p in problems:
        print("FAILED: " + p)
    return 1 if problems else 0


def nodes_of(win):
    lines, nodes = [], []
    try:
        walk(win, 0, lines, nodes)
    except Exception:
        pass
    return nodes


def gone(title):
    return 0 if wait_for(lambda: find_window(title) is None) else 1


def listen():
    import pyatspi
    from gi.repository import GLib

    def on_event(event):
        try:
            app = event.host_application.name if event.host_application else ""
            line = "EVENT %s %d %s | %s | %s" % (event.type, event.detail1, app,
                                                 event.source.getRoleName(), event.source.name)
        except Exception as e:  # the source went away before it could be read
            line = "EVENT %s (unreadable: %s)" % (event.type, e)
        print(line.replace("\n", " "), flush=True)

    pyatspi.Registry.registerEventListener(
        on_event, "object:state-changed:showing", "object:state-changed:focused",
        "window:activate")
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM,
                         lambda: pyatspi.Registry.stop() or False)
    print("READY", flush=True)
    pyatspi.Registry.start()
    return 0


def main(argv):
    if len(argv) < 2:
        print(__doc__)
        return 2
    command = argv[1]
    if command == "enable":
        return enable()
    try:
        import pyatspi  # noqa: F401
    except Exception as e:
        print("no AT-SPI client: %s" % e)
        return SKIP
    if command == "tree":
        return tree(argv[2:])
    if command == "gone":
        return gone(argv[2])
    if command == "listen":
        return listen()
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
