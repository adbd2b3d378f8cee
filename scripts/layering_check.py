#!/usr/bin/env python3
"""The layering check: every #include "..." of the tree's C/C++ sources (build/ and hidden
folders aside) against the stack the sources stand in. Prints one line per include that breaks
a rule, as FILE:LINE: the include, and the rule; exits 1 if there is any, 0 otherwise.

Driver code, bottom to top: platform (reached only through kernel.h) -> port -> link -> serial
-> driver. A folder includes its own folder and those below it, nothing above, and nothing of
the platform but kernel.h. The platform includes no driver code.

Host folders (platform/host/), bottom to top; a folder includes its own level and those below:
ddk (the kernel interface; platform/host/ddk.h and kernel.h with it), verifier (reachable from
all), rtl, ke/ex, ob/ps, io/net/registry, session/ldr. ldr sits at the top with session: it
binds a kernel image's imports to every routine the host exports (kernel_routines.h), includes
only ke and the verifier, and nothing in the host includes it; the programs load images with it.

A host header whose first line says "Private to platform/host/<folder>." is for that folder
alone; one that says "Internal to the host" for platform/host/ alone.

Usage: layering_check.py [ROOT]   (ROOT: the tree, by default the one holding this script)
"""
import os
import posixpath
import re
import sys

DRIVER_STACK = ["port", "link", "serial", "driver"]
HOST_LEVELS = {"ddk": 0, "verifier": 1, "rtl": 2, "ke": 3, "ex": 3, "ob": 4, "ps": 4,
               "io": 5, "net": 5, "registry": 5, "session": 6, "ldr": 6}
# (includer's folder, includes' starts, why) - the few includes the rules above let pass.
EXCEPTIONS = [
    ("port/layout/", ("layout/", "record_layout_expected.h"),
     "the image host's probe and check of the driver's records, no part of the driver: the "
     "layout markers of platform/layout/ and the expectations the build generates"),
]
SOURCE_SUFFIXES = {".c", ".cc", ".cpp", ".h", ".hpp"}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')
PRIVATE = re.compile(r"^// Private to platform/host/([a-z_]+)\.")


def sources(root):
    """The tree's C/C++ sources, as paths relative to ROOT."""
    for folder, subfolders, files in os.walk(root):
        here = os.path.relpath(folder, root)
        subfolders[:] = sorted(d for d in subfolders if not d.startswith(".") and
                               not (here == "." and d.startswith("build")))
        for name in sorted(files):
            if os.path.splitext(name)[1] in SOURCE_SUFFIXES:
                yield posixpath.normpath(posixpath.join(here, name))


def resolve(tree, includer, written):
    """The included file as a path relative to ROOT, or None when it is not in the tree
    (generated): looked up beside the includer, at the root, then in platform/ (the include
    paths the build gives)."""
    for base in (posixpath.dirname(includer), "", "platform"):
        candidate = posixpath.normpath(posixpath.join(base, written))
        if candidate in tree:
            return candidate
    return None


def host_folder(path):
    """The host folder of a path under platform/host/ (ddk for platform/host/ddk.h), else None."""
    parts = path.split("/")
    if parts[:2] != ["platform", "host"]:
        return None
    return parts[2] if len(parts) > 3 else "ddk"


def layering_findings(includer, written, target):
    top = includer.split("/")[0]
    if top in DRIVER_STACK:
        if target == "platform/kernel.h":
            return
        target_top = target.split("/")[0] if target else written.split("/")[0]
        if target_top in DRIVER_STACK:
            if DRIVER_STACK.index(target_top) > DRIVER_STACK.index(top):
                yield f"driver code: {top}/ includes {target_top}/, above it in the stack"
        elif target_top in ("platform", "host", "nt"):
            yield "driver code reaches the platform other than through kernel.h"
        else:
            yield "driver code includes what is neither driver code nor kernel.h"
        return
    if top == "platform" and target and target.split("/")[0] in DRIVER_STACK:
        yield "the platform includes driver code, above it in the stack"
    mine, theirs = host_folder(includer), host_folder(target or "")
    if mine and theirs:
        for folder in (mine, theirs):
            if folder not in HOST_LEVELS:
                yield f"host folder {folder} has no place in the host's order"
                return
        if HOST_LEVELS[theirs] > HOST_LEVELS[mine]:
            yield f"host folder {mine} includes {theirs}, above it in the host's order"


def marker_findings(texts, includer, target):
    first = (texts[target] or [""])[0] if target and target.startswith("platform/host/") else ""
    private = PRIVATE.match(first)
    if private and not includer.startswith(f"platform/host/{private.group(1)}/"):
        yield f"{target} is private to platform/host/{private.group(1)}"
    if first.startswith("// Internal to the host") and not includer.startswith("platform/host/"):
        yield f"{target} is internal to the host: not for driver code, tests or tools"


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__)) + "/.."
    texts = {}
    for path in sources(root):
        with open(os.path.join(root, path), encoding="utf-8") as source:
            texts[path] = source.read().splitlines()
    if not texts:
        print(f"layering check: no C/C++ sources under {root}")
        return 1
    findings = 0
    for includer, lines in texts.items():
        for number, line in enumerate(lines, 1):
            match = INCLUDE.match(line)
            written = match and match.group(1)
            if not written or any(includer.startswith(f) and written.startswith(w)
                                  for f, w, _ in EXCEPTIONS):
                continue
            target = resolve(texts, includer, written)
            for rule in [*layering_findings(includer, written, target),
                         *marker_findings(texts, includer, target)]:
                print(f'{includer}:{number}: #include "{written}": {rule}')
                findings += 1
    print(f"layering check: {findings} include(s) break the stack" if findings else
          f"layering check: the includes of {len(texts)} sources keep the stack")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
