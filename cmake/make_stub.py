"""Writes the typing stub of the built tq8_root_helper module from its published surface.
Usage: make_stub.py MODULE_DIR OUTPUT"""

import inspect
import json
import sys

sys.path.insert(0, sys.argv[1])
import tq8_root_helper as module  # noqa: E402


def literal(value):
    return json.dumps(value, ensure_ascii=False) if isinstance(value, str) else repr(value)


def parameter(p):
    annotation = f"Optional[{p.annotation}]" if p.default is None else p.annotation
    default = "" if p.default is p.empty else f" = {literal(p.default)}"
    return f"{p.name}: {annotation}{default}"


lines = ['"""' + module.__doc__ + '"""', "", "from typing import Dict, List, Optional, Tuple", ""]
for name, value in vars(module).items():
    if name.startswith("__") or name == "_native":
        continue
    if not inspect.isfunction(value):
        lines.append(f"{name}: {'str' if isinstance(value, str) else 'List[str]'}")
        continue
    sig = inspect.signature(value)
    head = f"def {name}({', '.join(map(parameter, sig.parameters.values()))}) -> {sig.return_annotation}:"
    body = [f'    """{value.__doc__}"""', "    ..."] if value.__doc__ else []
    lines += ["", head + ("" if body else " ..."), *body, ""]
with open(sys.argv[2], "w", encoding="utf-8") as f:
    f.write("\n".join(lines).replace("\n\n\n", "\n\n").rstrip("\n") + "\n")
