"""The typing stub the build writes, against the installed module: the two must never drift
apart."""

import ast
import importlib
import inspect
import os
import sys
import unittest

INSTALL_DIR = os.environ["TQ8_INSTALL_DIR"]
BUILD_DIR = os.environ["TQ8_BUILD_DIR"]
STUB = os.path.join(INSTALL_DIR, "tq8_root_helper.pyi")

KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


def load_module():
    sys.path.insert(0, INSTALL_DIR)
    try:
        return importlib.import_module("tq8_root_helper")
    finally:
        sys.path.remove(INSTALL_DIR)


def stub_params(fn):
    """(name, kind, default or Parameter.empty, annotation text) in order."""
    a = fn.args
    if a.vararg or a.kwarg:
        raise AssertionError(f"{fn.name}: the stub has *args/**kwargs")
    out = []
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + [
        ast.literal_eval(d) for d in a.defaults]
    for group in ("posonlyargs", "args"):
        for p in getattr(a, group):
            i = positional.index(p)
            out.append((p.arg, KINDS[group], defaults[i], ast.unparse(p.annotation)))
    for p, d in zip(a.kwonlyargs, a.kw_defaults):
        out.append((p.arg, KINDS["kwonlyargs"],
                    inspect.Parameter.empty if d is None else ast.literal_eval(d),
                    ast.unparse(p.annotation)))
    return out


def annotation_matches(stub_text, module_text, default):
    if stub_text == module_text:
        return True
    # The module publishes "List[str]" for split_ips, whose default is None; the stub says
    # Optional so that type checkers accept the documented default.
    return default is None and stub_text == f"Optional[{module_text}]"


def check_value_type(annotation, value):
    if annotation == "str":
        return isinstance(value, str)
    if annotation == "List[str]":
        return isinstance(value, list) and all(isinstance(v, str) for v in value)
    return False


def compare(stub_source, module):
    """Every difference between the stub text and the module, as readable lines."""
    problems = []
    tree = ast.parse(stub_source)
    if ast.get_docstring(tree, clean=False) != module.__doc__:
        problems.append("module docstring differs")
    names = []
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            names.append(node.name)
            fn = getattr(module, node.name, None)
            if not callable(fn):
                problems.append(f"{node.name}: not a function of the module")
                continue
            sig = inspect.signature(fn)
            real = [(p.name, p.kind, p.default, p.annotation) for p in sig.parameters.values()]
            mine = stub_params(node)
            if [m[:3] for m in mine] != [r[:3] for r in real]:
                problems.append(f"{node.name}: parameters {mine} != {real}")
            else:
                for (n, _, d, ann), r in zip(mine, real):
                    if not annotation_matches(ann, r[3], d):
                        problems.append(f"{node.name}.{n}: annotation {ann!r} != {r[3]!r}")
            ret = ast.unparse(node.returns) if node.returns else None
            if ret != sig.return_annotation:
                problems.append(f"{node.name}: returns {ret!r} != {sig.return_annotation!r}")
            if ast.get_docstring(node, clean=False) != fn.__doc__:
                problems.append(f"{node.name}: docstring differs")
        elif isinstance(node, ast.AnnAssign):
            name, ann = node.target.id, ast.unparse(node.annotation)
            names.append(name)
            if not hasattr(module, name):
                problems.append(f"{name}: not in the module")
            elif not check_value_type(ann, getattr(module, name)):
                problems.append(f"{name}: {getattr(module, name)!r} is not a {ann}")
    published = [
        n for n, v in vars(module).items()
        if (inspect.isfunction(v) and v.__module__ == module.__name__
            and (not n.startswith("_") or n in names))
        or (n.isupper() and not n.startswith("_"))
    ]
    if published != names:
        problems.append(f"names or order: module {published} != stub {names}")
    return problems


class StubMatchesModule(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.module = load_module()
        with open(STUB, encoding="utf-8") as f:
            cls.stub = f.read()

    def test_installed_beside_the_module(self):
        with open(os.path.join(BUILD_DIR, "tq8_root_helper.pyi"), encoding="utf-8") as f:
            self.assertEqual(self.stub, f.read())
        self.assertEqual(os.path.realpath(os.path.dirname(self.module.__file__)),
                         os.path.realpath(INSTALL_DIR))

    def test_no_difference(self):
        self.assertEqual(compare(self.stub, self.module), [])

    def test_a_drift_is_caught(self):
        # The comparison itself must see each kind of change.
        drifts = {
            "default": ("mtu: int = 1420", "mtu: int = 1400"),
            "parameter name": ("conf_path: str", "config: str"),
            "keyword-only": ("enable: bool, wg_iface", "enable: bool, *, wg_iface"),
            "annotation": ("timeout: int", "timeout: float"),
            "Optional only with None": ('wg_iface: str = "tq8wg0"',
                                        'wg_iface: Optional[str] = "tq8wg0"'),
            "return": ("def dns_guard() -> int", "def dns_guard() -> bool"),
            "docstring": ("döndürür.\"\"\"", "döndürür. \"\"\""),
            "constant type": ("IPT: List[str]", "IPT: str"),
            "order": ("STUB_DNS: str\nSHIELD_DNS: str", "SHIELD_DNS: str\nSTUB_DNS: str"),
            "missing function": ("def main() -> None: ...", ""),
            "extra function": ("def main() -> None: ...",
                               "def main() -> None: ...\ndef extra() -> None: ..."),
        }
        for what, (old, new) in drifts.items():
            with self.subTest(what):
                self.assertIn(old, self.stub)
                self.assertNotEqual(compare(self.stub.replace(old, new, 1), self.module), [])


if __name__ == "__main__":
    unittest.main()
