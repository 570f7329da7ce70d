"""The `stubdoc` directive: a module's reference written from its type stub, its one source.

`.. stubdoc:: ../stubs/vexcam.pyi` parses the stub with `ast` and emits the Python domain's
directives (module, type aliases with the comment above them, functions, classes, methods), each
with the stub's signature and docstring, so nothing in the reference is typed twice.
"""

from __future__ import annotations

import ast
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles


def _signature(func: ast.FunctionDef, drop_first: bool) -> str:
    args = func.args
    positional = args.posonlyargs + args.args
    if drop_first:
        positional = positional[1:]
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    parts = []
    for arg, default in zip(positional, defaults, strict=True):
        text = arg.arg + (f": {ast.unparse(arg.annotation)}" if arg.annotation else "")
        parts.append(text + (f" = {ast.unparse(default)}" if default else ""))
    returns = f" -> {ast.unparse(func.returns)}" if func.returns else ""
    return f"({', '.join(parts)}){returns}"


def _body(node: ast.AST, indent: str) -> list[str]:
    doc = ast.get_docstring(node) or ""  # type: ignore[arg-type]
    return [f"{indent}{line}" if line else "" for line in doc.splitlines()] + [""]


def _comment_above(source: list[str], lineno: int) -> list[str]:
    """The run of `#` lines right above line `lineno` (1-based), without the `#`."""
    lines: list[str] = []
    at = lineno - 2
    while at >= 0 and source[at].lstrip().startswith("#"):
        lines.insert(0, source[at].lstrip()[1:].strip())
        at -= 1
    return lines


def stub_to_rst(path: Path, module: str) -> list[str]:
    text = path.read_text(encoding="utf-8")
    source = text.splitlines()
    tree = ast.parse(text, filename=str(path))
    out = [f".. py:module:: {module}", ""]
    out += _body(tree, "")
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            if node.target.id == "__all__":
                continue
            out += [f".. py:data:: {node.target.id}", f"   :value: {ast.unparse(node.value)}", ""]
            out += ["   " + " ".join(_comment_above(source, node.lineno)), ""]
        elif isinstance(node, ast.FunctionDef):
            out += [f".. py:function:: {node.name}{_signature(node, False)}", ""]
            out += _body(node, "   ")
        elif isinstance(node, ast.ClassDef):
            final = any(ast.unparse(d) in ("final", "typing.final") for d in node.decorator_list)
            methods = [n for n in node.body if isinstance(n, ast.FunctionDef)]
            new = next((m for m in methods if m.name == "__new__"), None)
            signature = _signature(new, True).split(" -> ")[0] if new else ""
            out += [f".. py:class:: {node.name}{signature}"] + (["   :final:"] if final else [])
            out += [""] + _body(node, "   ")
            if new is not None:
                out += _body(new, "   ")
            for method in methods:
                if method.name.startswith("_"):
                    continue
                out += [f"   .. py:method:: {method.name}{_signature(method, True)}", ""]
                out += _body(method, "      ")
    return out


class StubDoc(SphinxDirective):
    required_arguments = 1
    option_spec = {"module": str}

    def run(self) -> list:
        path = Path(self.env.relfn2path(self.arguments[0])[1])
        self.env.note_dependency(str(path))
        module = self.options.get("module", path.stem)
        content = StringList(stub_to_rst(path, module), source=str(path))
        holder = nodes.container()
        nested_parse_with_titles(self.state, content, holder)
        return holder.children


def setup(app: Sphinx) -> dict:
    app.add_directive("stubdoc", StubDoc)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
