"""Runs the benchmark scripts of this folder, each in a fresh interpreter.

    PYTHONPATH=src python bench/run.py [NAME ...]

NAME is a script's name without .py (varnok, talvorn, ...); all of them
when none is given.  Options after `--` go to every script (varnok takes
--quick).  Each script prints its own figures; this prints a heading
before each and its wall time after.  Exit status 1 when a script failed,
2 for an unknown name.
"""

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
# In the order of korvane.NATIVE_MODULES.
SCRIPTS = ("varnok", "brisel", "talvorn", "quendar", "meravin", "pelgrun", "dorvask", "oskarel", "tulvane")


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    extra = []
    if "--" in argv:
        extra, argv = argv[argv.index("--") + 1:], argv[:argv.index("--")]
    parser = argparse.ArgumentParser(prog="bench/run.py", description=__doc__.split("\n\n")[0],
                                     epilog=f"Scripts: {', '.join(SCRIPTS)}.")
    parser.add_argument("names", nargs="*", metavar="NAME", help="a script to run (default: all)")
    names = parser.parse_args(argv).names or list(SCRIPTS)
    unknown = [n for n in names if n not in SCRIPTS]
    if unknown:
        parser.error(f"no script {', '.join(unknown)}; the scripts are {', '.join(SCRIPTS)}")
    # The scripts import korvane the way this interpreter does.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    failed = []
    for name in names:
        print(f"=== bench/{name}.py", flush=True)
        t0 = time.perf_counter()
        code = subprocess.call([sys.executable, str(HERE / f"{name}.py"), *extra], env=env)
        status = "ok" if code == 0 else f"exit status {code}"
        print(f"--- {name}: {status}, {time.perf_counter() - t0:.1f} s\n", flush=True)
        if code:
            failed.append(name)
    if failed:
        print(f"failed: {', '.join(failed)}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
