"""The reviewed modules as shipped: who imports whom.

Every import counts, also one inside a function, since it runs as surely as one at the top.
"""

import ast
import os

SHARED_NAMES = {"EXIT_OK", "EXIT_USAGE", "EXIT_DATA", "EXIT_NO_INPUT", "EXIT_SOFTWARE",
                "EXIT_IO", "HatchError", "data_error"}


def _shipped_modules(sealed_root):
    app = os.path.join(sealed_root, "app")
    trees = {}
    for name in sorted(os.listdir(app)):
        with open(os.path.join(app, name), encoding="utf-8") as source:
            trees[name[:-3]] = ast.parse(source.read(), name)
    return trees


def _imports(tree, modules):
    """(module, names taken from it) for every import of a reviewed module in tree."""
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            found += [(alias.name, set()) for alias in node.names if alias.name in modules]
        elif isinstance(node, ast.ImportFrom) and node.module in modules:
            found.append((node.module, {alias.name for alias in node.names}))
    return found


def test_module_imports_form_no_cycle(sealed_root):
    trees = _shipped_modules(sealed_root)
    graph = {name: {module for module, _ in _imports(tree, trees)} for name, tree in trees.items()}
    ordered = []
    while len(ordered) < len(graph):
        ready = sorted(n for n in graph if n not in ordered and graph[n] <= set(ordered))
        assert ready, "import cycle among %s" % sorted(set(graph) - set(ordered))
        ordered += ready
    assert ordered[0] == "hatch_common" and not graph["hatch_common"]


def test_statuses_and_error_type_come_from_the_common_module(sealed_root):
    trees = _shipped_modules(sealed_root)
    for name, tree in trees.items():
        for module, names in _imports(tree, trees):
            shared = names & SHARED_NAMES
            assert not shared or module == "hatch_common", (name, module, sorted(shared))
