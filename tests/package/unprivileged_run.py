#!/usr/bin/python3
"""The installed kovrin, started by nobody across the lab's bottleneck path.

    unprivileged_run.py KOVRIN

KOVRIN is the binary of an installed package, with its privilege on the file
(the capability, or set-user-ID root).  Run as root: the lab builds the
"bottleneck" path in namespaces of its own and starts every run through its
guard, in the path's host namespace, as nobody:

* as an ordinary user starting the privileged install (`setuid_user`), a
  probe run with -o gives the path's report;
* the same with -i naming an address that is not the host's is refused
  before any socket is opened (exit 2, one line).

(A run that cannot gain privilege at all is the integration tests' matter;
on a binary with a file capability the kernel refuses such an exec outright.)

Prints PASS/FAIL per check and ends with "N passed, M failed"; exits 1 if
any failed.
"""

import os
import sys

LAB = os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..", "lab")
sys.path.insert(0, os.path.realpath(LAB))

import netlab  # noqa: E402
from expect import report_problems  # noqa: E402
from report import ReportError, parse_report  # noqa: E402
from scenarios import CATALOGUE  # noqa: E402

FOREIGN_SOURCE = "203.0.113.99"   # TEST-NET-3: never an address of the lab's host


def probe_run(lab, path, kovrin):
    sc = CATALOGUE["bottleneck"]
    proc = lab.run_sender(path.host, [kovrin, *sc.kovrin_args, "-o", path.dest_addr], timeout=60,
                          setuid_user="nobody")
    assert proc.returncode == 0, f"exit {proc.returncode}: {proc.stderr.strip()[:300]}"
    try:
        rep = parse_report(proc.stdout)
    except ReportError as e:
        raise AssertionError(f"unreadable report ({e}): {proc.stdout[:300]!r}") from None
    problems = report_problems(sc, rep, ["-o"])
    assert not problems, "; ".join(problems)
    ranked = [h.index for h in rep.hops if h.rank == "1"]
    return f"{len(rep.hops)} hops, rank 1 on hop {ranked}, conf {rep.conf}"


def foreign_source_refused(lab, path, kovrin):
    proc = lab.run_sender(path.host, [kovrin, "-i", FOREIGN_SOURCE, path.dest_addr], timeout=60,
                          setuid_user="nobody")
    want = f"kovrin: -i {FOREIGN_SOURCE}: not an address of this host (only root may send from another address)\n"
    assert (proc.returncode, proc.stdout, proc.stderr) == (2, "", want), \
        f"exit {proc.returncode}, stdout {proc.stdout[:120]!r}, stderr {proc.stderr[:200]!r}"
    return "exit 2, refused"


def main(argv):
    if len(argv) != 1:
        print(__doc__.strip().splitlines()[2].strip(), file=sys.stderr)
        return 2
    kovrin = os.path.realpath(argv[0])
    passed = failed = 0
    with netlab.Lab() as lab:
        path = lab.build_path(CATALOGUE["bottleneck"].path, tag="pk")
        for check in (probe_run, foreign_source_refused):
            try:
                note = check(lab, path, kovrin)
                print(f"PASS {check.__name__}: {note}")
                passed += 1
            except AssertionError as e:
                print(f"FAIL {check.__name__}: {e}")
                failed += 1
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
