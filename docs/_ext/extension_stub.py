"""The signatures of the extension module `lumira`, taken from its stub.

The extension's functions and classes are built in C++: at run time they give the names of their parameters but no
types. Its stub (python/lumira-stubs/__init__.pyi, which the wheel installs for type checkers) declares them, so the
reference shows the stub's signatures: each class's constructor and each function with types, and the overloads
of `getOpusData` (autodoc finds those itself once the stub stands as the module's source).

The module's docstrings are plain text written for `help()`, and they are fixed as they are; the reference shows
them verbatim, as preformatted text, rather than reading them as reStructuredText they were never written in.
"""

from __future__ import annotations

import ast
import os
from typing import Any, Optional

from sphinx.pycode import ModuleAnalyzer

STUB = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", "python", "lumira-stubs", "__init__.pyi"))
Signature = tuple[str, Optional[str]]


def _arguments(function: ast.FunctionDef, *, method: bool) -> str:
    arguments = function.args
    if method:  # a constructor is shown as the class's call, without `self`
        arguments = ast.arguments(posonlyargs=arguments.posonlyargs, args=arguments.args[1:],
                                  vararg=arguments.vararg, kwonlyargs=arguments.kwonlyargs,
                                  kw_defaults=arguments.kw_defaults, kwarg=arguments.kwarg,
                                  defaults=arguments.defaults)
    return f"({ast.unparse(arguments)})"


def stub_signatures(source: str) -> dict[str, Signature]:
    """`lumira.NAME` → (arguments, return annotation) as the stub declares them; the first of overloads."""
    found: dict[str, Signature] = {}
    for node in ast.parse(source).body:
        if isinstance(node, ast.FunctionDef):
            returns = ast.unparse(node.returns) if node.returns is not None else None
            found.setdefault(f"lumira.{node.name}", (_arguments(node, method=False), returns))
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and item.name == "__init__":
                    found[f"lumira.{node.name}"] = (_arguments(item, method=True), None)
    return found


def setup(app: Any) -> dict[str, Any]:
    with open(STUB, encoding="utf-8") as stub:
        source = stub.read()
    signatures = stub_signatures(source)
    ModuleAnalyzer.cache["module", "lumira"] = ModuleAnalyzer.for_string(source, "lumira", STUB)

    def from_stub(app: Any, what: str, name: str, obj: Any, options: Any, arguments: Any,
                  return_annotation: Any) -> Optional[Signature]:
        return signatures.get(name)

    def verbatim(app: Any, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
        if name.startswith("lumira.") and any(line.strip() for line in lines):
            lines[:] = [".. code-block:: text", ""] + ["   " + line for line in lines] + [""]

    app.connect("autodoc-process-signature", from_stub)
    app.connect("autodoc-process-docstring", verbatim)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
