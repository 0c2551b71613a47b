"""The shipped type stubs describe exactly the module: the same names, attributes and signatures."""

import ast
import inspect
from pathlib import Path

import pytest

import quarn_parser
from conftest import REPO_ROOT

SOURCE_STUB = REPO_ROOT / "python" / "quarn_parser_py" / "quarn_parser.pyi"


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
