#!/usr/bin/env python3
"""Checks that the source folders stay layers: a folder includes only from itself and the folders
below it (the folders of the lowest level are rooms of their own that do not include each other),
no unit (a header and its source together) reaches itself through others' includes, and no unit,
the tools' included, is over the line limit. Prints every breach and exits with 1 when there is
any.

Usage: check_layers.py [source root]   (default: the folder above this script's)
"""
import pathlib
import re
import sys

# Each folder's level: a folder may include from itself and from folders of a lower level only.
LEVELS = {"cli": 3, "app": 2, "loader": 1, "serial": 0, "settings": 0, "firmware": 0}
# Folders outside the layers whose units (in any subfolder) keep to the line limit too.
LIMITED = ["tools"]
LINE_LIMIT = 600
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def units(root, folders, pattern="*"):
    """{"folder/Name": [files]} of every header and source in the folders."""
    found = {}
    for folder in folders:
        for path in sorted((root / folder).glob(pattern)):
            if path.suffix in (".h", ".cpp"):
                name = path.relative_to(root).with_suffix("").as_posix()
                found.setdefault(name, []).append(path)
    return found


def too_long(found):
    problems = []
    for name, paths in found.items():
        lines = sum(len(p.read_text(encoding="utf-8").splitlines()) for p in paths)
        if lines > LINE_LIMIT:
            problems.append(f"{name}: {lines} lines, over {LINE_LIMIT}")
    return problems


def unit_of(include):
    path = pathlib.PurePosixPath(include)
    return f"{path.parent}/{path.stem}"


def check(root):
    found = units(root, LEVELS)
    problems = too_long(found) + too_long(units(root, LIMITED, "**/*"))
    graph = {name: set() for name in found}
    for name, paths in found.items():
        folder = name.split("/")[0]
        for path in paths:
            for include in INCLUDE.findall(path.read_text(encoding="utf-8")):
                target_folder = include.split("/")[0]
                if target_folder not in LEVELS or target_folder == folder:
                    continue
                if LEVELS[target_folder] > LEVELS[folder]:
                    problems.append(f"{path.relative_to(root)}: includes {include} from a higher layer")
                elif LEVELS[target_folder] == LEVELS[folder]:
                    problems.append(f"{path.relative_to(root)}: includes {include} from a room beside it")
                target = unit_of(include)
                if target != name and target in graph:
                    graph[name].add(target)
    problems += cycles(graph)
    return problems


def cycles(graph):
    """One message per circle found by a depth-first walk of the unit graph."""
    state = {}  # 1 while on the walk's path, 2 when done
    path = []
    found = []

    def walk(node):
        state[node] = 1
        path.append(node)
        for target in sorted(graph[node]):
            if state.get(target) == 1:
                circle = path[path.index(target):] + [target]
                found.append("include circle: " + " -> ".join(circle))
            elif target not in state:
                walk(target)
        path.pop()
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            walk(node)
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).parent.parent)
    problems = check(root.resolve())
    for problem in problems:
        print(problem)
    print(f"{len(problems)} layer problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
