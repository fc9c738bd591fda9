"""Last check before a lab sender starts: run from inside `ip netns exec`.

    nsguard.py --expect DEV:INO --forbid DEV:INO[,DEV:INO...] -- program args...

Execs the program only if this process's network namespace is the expected
one (the lab's namespace, identified by the device and inode of its nsfs
file) and none of the forbidden ones (the machine's own namespace).  Exit 97
with a message otherwise; the program is never started.
"""

import os
import sys

REFUSED = 97


def parse_ident(text):
    dev, ino = text.split(":")
    return (int(dev), int(ino))


def current_ident():
    st = os.stat("/proc/self/ns/net")
    return (st.st_dev, st.st_ino)


def check(expect, forbid, here):
    """Return None if a sender may run here, else the reason it may not."""
    if here in forbid:
        return "this is the machine's own network namespace"
    try:
        init = os.stat("/proc/1/ns/net")
        if (init.st_dev, init.st_ino) == here:
            return "this is the network namespace of init"
    except OSError:
        pass
    if here != expect:
        return "this is not the lab namespace the sender was meant for"
    return None


def main(argv):
    try:
        sep = argv.index("--")
        opts, prog = argv[:sep], argv[sep + 1:]
        expect = parse_ident(opts[opts.index("--expect") + 1])
        forbid_text = opts[opts.index("--forbid") + 1] if "--forbid" in opts else ""
        forbid = {parse_ident(t) for t in forbid_text.split(",") if t}
    except (ValueError, IndexError):
        print("nsguard: usage: nsguard.py --expect DEV:INO [--forbid DEV:INO,...] -- program args", file=sys.stderr)
        return REFUSED
    if not prog:
        print("nsguard: no program given", file=sys.stderr)
        return REFUSED
    reason = check(expect, forbid, current_ident())
    if reason:
        print(f"nsguard: refusing to start {prog[0]}: {reason}", file=sys.stderr)
        return REFUSED
    try:
        os.execvp(prog[0], prog)
    except OSError as e:
        print(f"nsguard: cannot start {prog[0]}: {e}", file=sys.stderr)
        return 127


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
