"""Fails when modules of src/ include each other, directly or through others, when an
include runs against the order of the layers, or when the engine includes an
operating-system header.

    python scripts/include_cycles.py [SRC]

A header and its source are one module; an include is resolved beside the including file,
then from SRC. The layers, each allowed to include only itself and those after it:
the coder's adapters (lib.cpp and the files of binding/ itself), NumPy (binding/numpy/),
the runtime (binding/runtime/), the engine (engine/). The engine is plain C++ on plain
values: the operating system's services belong to the runtime beside the failure report.
Prints the numbers of modules and includes, and every cycle and wrong include found.
"""

import pathlib
import re
import sys


def include_graph(root):
    # Resolved, so that an include through ".." lands on the module it names.
    root = root.resolve()
    graph = {}
    for path in sorted(root.rglob("*.[ch]pp")):
        module = str(path.with_suffix("").relative_to(root))
        edges = graph.setdefault(module, set())
        for target in re.findall(r'#include "([^"]+)"', path.read_text()):
            for base in (path.parent, root):
                found = (base / target).resolve()
                if found.exists():
                    included = str(found.with_suffix("").relative_to(root))
                    if included != module:
                        edges.add(included)
                    break
    return graph


# From the top down; a module belongs to the first layer whose test it passes.
LAYERS = [
    ("engine", lambda module: module.startswith("engine/")),
    ("runtime", lambda module: module.startswith("binding/runtime/")),
    ("NumPy", lambda module: module.startswith("binding/numpy/")),
    ("adapters", lambda module: True),
]
LAYER_ORDER = ["adapters", "NumPy", "runtime", "engine"]

# Operating-system headers, which the engine must not include.
OS_HEADER = re.compile(r"#include\s*<(windows\.h|execinfo\.h|dlfcn\.h|pthread\.h|unistd\.h|sys/[^>]*)>")


def layer_of(module):
    return next(name for name, test in LAYERS if test(module))


def against_the_order(graph):
    """Includes from a layer to one before it: (module, included, its layer, theirs)."""
    found = []
    for module in sorted(graph):
        mine = LAYER_ORDER.index(layer_of(module))
        for included in sorted(graph[module]):
            theirs = LAYER_ORDER.index(layer_of(included))
            if theirs < mine:
                found.append((module, included, layer_of(module), layer_of(included)))
    return found


def operating_system_headers(root):
    """(path, header) for every operating-system header an engine file includes."""
    return [
        (str(path.relative_to(root)), header)
        for path in sorted((root / "engine").rglob("*.[ch]pp"))
        for header in OS_HEADER.findall(path.read_text())
    ]


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
    wrong = against_the_order(graph)
    for module, included, mine, theirs in wrong:
        print(f"{module} ({mine}) includes {included} ({theirs}), against the order",
              " -> ".join(LAYER_ORDER))
    system = operating_system_headers(root)
    for path, header in system:
        print(f"{path} includes <{header}>: the engine uses no operating-system service")
    return 1 if found or wrong or system else 0


if __name__ == "__main__":
    sys.exit(main())
