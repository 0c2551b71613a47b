"""The shipped type stubs describe exactly the module: the same names, attributes and signatures;
every public name of both packages is documented, parameters included."""

import ast
import inspect
import re
import types
from pathlib import Path

import pytest

import quarn
import quarn_parser
from conftest import REPO_ROOT

SOURCE_STUB = REPO_ROOT / "python" / "quarn_parser_py" / "quarn_parser.pyi"

# Stubs whose every public name must be documented, with the module whose __all__ lists those names.
DOCUMENTED_STUBS = {"quarn_parser": (SOURCE_STUB, quarn_parser)}


def installed_stubs():
    folder = Path(quarn_parser.__file__).parent
    return folder / "quarn_parser.pyi", folder / "quarn_parser-stubs"


def text_signature(function):
    """The __text_signature__ a stub function stands for: parameter names and '=None' defaults."""
    args = function.args
    assert not (args.vararg or args.kwarg or args.kwonlyargs or args.posonlyargs), function.name
    names = [a.arg for a in args.args]
    defaults = [None] * (len(names) - len(args.defaults)) + list(args.defaults)
    parts = []
    for name, default in zip(names, defaults):
        if name == "self":
            parts.append("$self")
        elif default is None:
            parts.append(name)
        else:
            assert isinstance(default, ast.Constant) and default.value is None, function.name
            parts.append(f"{name}=None")
    return "(" + ", ".join(parts) + ")"


def stub_api(path):
    tree = ast.parse(path.read_text())
    functions, classes, all_names = {}, {}, None
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            functions[node.name] = text_signature(node)
        elif isinstance(node, ast.ClassDef):
            methods, properties = {}, set()
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    if any(isinstance(d, ast.Name) and d.id == "property" for d in item.decorator_list):
                        properties.add(item.name)
                    else:
                        methods[item.name] = text_signature(item)
            assert any(isinstance(d, ast.Name) and d.id == "final" for d in node.decorator_list), node.name
            classes[node.name] = (methods, properties)
        elif isinstance(node, ast.Assign) and node.targets[0].id == "__all__":
            all_names = ast.literal_eval(node.value)
    return functions, classes, all_names


def module_api():
    functions, classes = {}, {}
    for name in quarn_parser.__all__:
        obj = getattr(quarn_parser, name)
        if inspect.isclass(obj):
            members = vars(obj)
            methods = {
                n: v.__text_signature__ for n, v in members.items() if inspect.ismethoddescriptor(v) and n != "__new__"
            }
            properties = {n for n, v in members.items() if inspect.isgetsetdescriptor(v)}
            classes[name] = (methods, properties)
        else:
            functions[name] = obj.__text_signature__
    return functions, classes, list(quarn_parser.__all__)


def test_source_stub_matches_the_module():
    assert stub_api(SOURCE_STUB) == module_api()


def test_stubs_are_installed_with_the_module():
    beside, package = installed_stubs()
    if not beside.exists():
        pytest.skip(f"module not installed from a wheel: no stubs beside {quarn_parser.__file__}")
    assert beside.read_text() == SOURCE_STUB.read_text()
    assert (package / "__init__.pyi").read_text() == SOURCE_STUB.read_text()
    assert (package / "py.typed").exists()


def documentation_gaps(stub_text, public_names):
    """What a stub leaves undocumented among `public_names` (and their public members): a missing
    docstring, or a parameter without its own "name :" entry in the docstring of its function."""
    tree = ast.parse(stub_text)
    gaps = [] if ast.get_docstring(tree) else ["module: no docstring"]
    defined = {n.name: n for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    for name in public_names:
        if name not in defined:
            gaps.append(f"{name}: not in the stub")
            continue
        node = defined[name]
        members = [(name, node)]
        if isinstance(node, ast.ClassDef):
            members += [(f"{name}.{m.name}", m) for m in node.body
                        if isinstance(m, ast.FunctionDef) and not m.name.startswith("_")]
        for qualified, member in members:
            doc = ast.get_docstring(member)
            if not doc:
                gaps.append(f"{qualified}: no docstring")
                continue
            if isinstance(member, ast.FunctionDef):
                args = member.args
                for arg in args.posonlyargs + args.args + args.kwonlyargs:
                    if arg.arg != "self" and not re.search(rf"^\s*{arg.arg} :", doc, re.MULTILINE):
                        gaps.append(f"{qualified}: parameter {arg.arg} not described")
    return gaps


def runtime_documentation_gaps(module):
    """What `module` leaves undocumented at run time among the callables of its __all__ and the public
    methods its own classes define: a missing docstring, or a parameter that the docstring does not
    name, as ``name`` or in a "name :" entry. Constants carry no docstring and are not asked for one."""
    gaps = []
    for name in module.__all__:
        obj = getattr(module, name)
        if not callable(obj):
            continue
        members = [(name, obj)]
        if inspect.isclass(obj):
            own = [c for c in obj.__mro__ if c.__module__.split(".")[0] == module.__name__]
            members += [(f"{name}.{n}", m) for c in own for n, m in vars(c).items()
                        if not n.startswith("_") and callable(m)]
        for qualified, member in members:
            doc = inspect.getdoc(member)
            if not doc:
                gaps.append(f"{qualified}: no docstring")
            elif not inspect.isclass(member):
                for p in inspect.signature(member).parameters:
                    if p != "self" and not re.search(rf"``{p}``|^\s*{p} :", doc, re.MULTILINE):
                        gaps.append(f"{qualified}: parameter {p} not described")
    return gaps


@pytest.mark.parametrize("module_name", sorted(DOCUMENTED_STUBS))
def test_every_public_name_is_documented_in_the_stubs(module_name):
    stub, module = DOCUMENTED_STUBS[module_name]
    assert documentation_gaps(stub.read_text(), module.__all__) == []


def test_every_public_name_of_quarn_is_documented_at_run_time():
    assert runtime_documentation_gaps(quarn) == []


def test_the_documentation_check_finds_what_is_missing():
    stub = '''"""A module."""
class Kept:
    """A class."""
    @property
    def size(self) -> int: ...
    def scale(self, factor: float, offset: float) -> None:
        """Scales.

        factor : float
            How much.
        """
def load(path: str) -> Kept: ...
'''
    assert documentation_gaps(stub, ["Kept", "load", "Gone"]) == [
        "Kept.size: no docstring",
        "Kept.scale: parameter offset not described",
        "load: no docstring",
        "Gone: not in the stub",
    ]

    def scale(self, factor, offset):
        """Scales by ``factor``."""

    def load(path):
        pass

    kept = type("Kept", (), {"__doc__": "A class.", "__module__": "fake", "scale": scale})
    fake = types.SimpleNamespace(__name__="fake", __all__=["Kept", "load", "LIMIT"], Kept=kept, load=load, LIMIT=3)
    assert runtime_documentation_gaps(fake) == ["Kept.scale: parameter offset not described", "load: no docstring"]
