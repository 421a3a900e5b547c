"""Fails when modules of src/ include each other, directly or through others.

    python scripts/include_cycles.py [SRC]

A header and its source are one module; an include is resolved beside the including file,
then from SRC. Prints the numbers of modules and includes, and every cycle found.
"""

import pathlib
import re
import sys


def include_graph(root):
    graph = {}
    for path in sorted(root.rglob("*.[ch]pp")):
        module = str(path.with_suffix("").relative_to(root))
        edges = graph.setdefault(module, set())
        for target in re.findall(r'#include "([^"]+)"', path.read_text()):
            for base in (path.parent, root):
                found = base / target
                if found.exists():
                    included = str(found.with_suffix("").relative_to(root))
                    if included != module:
                        edges.add(included)
                    break
    return graph


def cycles(graph):
    """Strongly connected components of more than one module (Tarjan's algorithm)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph.get(v, ())):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            component = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                component.append(w)
                if w == v:
                    break
            if len(component) > 1:
                found.append(sorted(component))

    for v in sorted(graph):
        if v not in index:
            visit(v)
    return found


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "src")
    graph = include_graph(root)
    print(f"{len(graph)} modules, {sum(map(len, graph.values()))} includes between them")
    found = cycles(graph)
    for component in found:
        print("modules that include each other:", " <-> ".join(component))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
