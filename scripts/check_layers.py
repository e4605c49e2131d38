#!/usr/bin/env python3
"""Fails when the src/ folders depend on each other in a cycle.

A folder depends on another when one of its files includes a header of the
other ("other/name.h") or when the DEPENDS of its library (its
CMakeLists.txt) names the other folder's library. Every cycle found is
printed with the include or the CMake line behind each of its edges.
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
INCLUDE = re.compile(r'^\s*#\s*include\s+"([A-Za-z0-9_]+)/')
SUBSYSTEM = re.compile(r"vrx_subsystem\(\s*(\w+)(.*?)\)", re.S)


def folder_graph(src):
    folders = sorted(p.name for p in src.iterdir() if p.is_dir())
    # edges[a][b]: why folder a depends on folder b (the first reason seen).
    edges = {name: {} for name in folders}
    libraries = {}
    depends = {}
    for name in folders:
        for path in sorted((src / name).rglob("*")):
            if path.is_dir() or path.name == "CMakeLists.txt":
                continue
            lines = path.read_text(errors="replace").splitlines()
            for number, line in enumerate(lines, 1):
                match = INCLUDE.match(line)
                if match and match.group(1) in edges and match.group(1) != name:
                    edges[name].setdefault(match.group(1), f"{path.relative_to(ROOT)}:{number}: {line.strip()}")
        cmake = src / name / "CMakeLists.txt"
        if cmake.exists():
            for library, arguments in SUBSYSTEM.findall(cmake.read_text()):
                libraries[library] = name
                words = arguments.split()
                if "DEPENDS" in words:
                    depends[name] = (cmake, words[words.index("DEPENDS") + 1:])
    for name, (cmake, names) in depends.items():
        for library in names:
            target = libraries.get(library)
            if target and target != name:
                edges[name].setdefault(target, f"{cmake.relative_to(ROOT)}: DEPENDS {library}")
    return edges


def groups(edges):
    """The groups of two or more folders that all reach each other (Tarjan)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(node):
        index[node] = low[node] = len(index)
        stack.append(node)
        on_stack.add(node)
        for target in sorted(edges[node]):
            if target not in index:
                visit(target)
                low[node] = min(low[node], low[target])
            elif target in on_stack:
                low[node] = min(low[node], index[target])
        if low[node] == index[node]:
            group = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                group.append(member)
                if member == node:
                    break
            if len(group) > 1:
                found.append(sorted(group))

    for node in sorted(edges):
        if node not in index:
            visit(node)
    return found


def shortest_cycle(edges, group):
    """A shortest cycle through the first folder of the group."""
    start = group[0]
    came_from = {start: None}
    queue = [start]
    for node in queue:
        for target in sorted(edges[node]):
            if target == start:
                cycle = [start]
                while node is not None:
                    cycle.insert(0, node)
                    node = came_from[node]
                return cycle
            if target in group and target not in came_from:
                came_from[target] = node
                queue.append(target)
    return [start]


def main():
    edges = folder_graph(ROOT / "src")
    found = groups(edges)
    for group in found:
        cycle = shortest_cycle(edges, group)
        print("cycle between src/ folders: " + " -> ".join(cycle))
        for a, b in zip(cycle, cycle[1:]):
            print(f"  {a} -> {b}: {edges[a][b]}")
        if len(group) > len(cycle) - 1:
            print("  folders caught in it: " + " ".join(group))
    if found:
        return 1
    print(f"src/ folders: no cycle ({len(edges)} folders)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
