"""`python -m korvane`: what the native layer offers on this interpreter."""

import importlib
import sys

from korvane import NATIVE_MODULES


def main() -> int:
    print(f"korvane native layer on Python {sys.version.split()[0]} ({sys.platform})")
    print()
    width = max(len(name) for name, _ in NATIVE_MODULES)
    missing = 0
    for name, summary in NATIVE_MODULES:
        try:
            importlib.import_module(name)
            state = "ok"
        except ImportError as exc:
            state = f"missing ({exc})"
            missing += 1
        print(f"  {name:<{width}}  {state:<8} {summary}")
    print()
    print(f"{len(NATIVE_MODULES) - missing} of {len(NATIVE_MODULES)} modules import")
    return 0


if __name__ == "__main__":
    sys.exit(main())
