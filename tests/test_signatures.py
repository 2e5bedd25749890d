"""inspect.signature of every public callable agrees with the type stubs.

The expected signatures are read from the .pyi files installed beside the
extension modules (parsed with ast), so a stub and the binding cannot drift
apart silently: parameter names, kinds and defaults must match, a runtime
annotation must be covered by the stub's, and every public name on either
side must exist on the other.
"""

import ast
import importlib
import inspect
import pathlib

import pytest

import korvane
from korvane.memory import varnok

MODULES = [name for name, _ in korvane.NATIVE_MODULES]
EMPTY = inspect.Parameter.empty
KINDS = inspect.Parameter


def stub_tree(modname):
    module = importlib.import_module(modname)
    path = pathlib.Path(module.__file__).with_name(modname.rsplit(".", 1)[1] + ".pyi")
    assert path.is_file(), f"no stub installed beside {module.__file__}"
    return module, ast.parse(path.read_text(encoding="utf-8"))


def decorators(node):
    return {d.id if isinstance(d, ast.Name) else getattr(d, "attr", "") for d in node.decorator_list}


class Stub:
    """The names one stub declares: functions (first overload), classes, attributes, aliases."""

    def __init__(self, body):
        self.functions, self.attributes, self.aliases, self.classes = {}, {}, {}, {}
        for node in body:
            if isinstance(node, ast.FunctionDef):
                self.functions.setdefault(node.name, node)
            elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
                self.attributes[node.target.id] = node.annotation
            elif isinstance(node, ast.Assign) and isinstance(node.value, ast.Name):
                for target in node.targets:
                    self.aliases[target.id] = node.value.id
            elif isinstance(node, ast.ClassDef):
                self.classes[node.name] = node


def helper_dicts(tree):
    """Stub-only TypedDicts (private names): they stand for `dict` at run time."""
    return {node.name for node in tree.body if isinstance(node, ast.ClassDef)
            and any(isinstance(b, ast.Name) and b.id == "TypedDict" for b in node.bases)}


TYPING_NAMES = {"List": "list", "Dict": "dict", "Tuple": "tuple", "Set": "set"}


def heads(node, dicts):
    """Outermost type names of an annotation: `Optional[List[int]]` -> {"list", "None"}."""
    if node is None:
        return set()
    if isinstance(node, ast.Constant):
        if node.value is None:
            return {"None"}
        return heads(ast.parse(node.value, mode="eval").body, dicts)
    if isinstance(node, ast.Name):
        return {"dict" if node.id in dicts else TYPING_NAMES.get(node.id, node.id)}
    if isinstance(node, ast.Attribute):
        return {node.attr}
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        return heads(node.left, dicts) | heads(node.right, dicts)
    if isinstance(node, ast.Subscript):
        outer = heads(node.value, dicts)
        if outer == {"Optional"}:
            return heads(node.slice, dicts) | {"None"}
        if outer == {"Union"}:
            return set().union(*(heads(e, dicts) for e in node.slice.elts))
        return outer
    raise AssertionError(f"unexpected annotation {ast.dump(node)}")


def covered(runtime_annotation, stub_annotation, dicts):
    if runtime_annotation is EMPTY:
        return True
    if isinstance(runtime_annotation, str):
        runtime = heads(ast.Constant(runtime_annotation), dicts)
    else:
        runtime = heads(ast.parse(inspect.formatannotation(runtime_annotation), mode="eval").body, dicts)
    stub = heads(stub_annotation, dicts)
    return "object" in stub or "Any" in stub or runtime <= stub


def stub_parameters(fn, drop_first):
    a = fn.args
    params = []
    positional = a.posonlyargs + a.args
    defaults = [EMPTY] * (len(positional) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    for i, arg in enumerate(positional):
        kind = KINDS.POSITIONAL_ONLY if i < len(a.posonlyargs) else KINDS.POSITIONAL_OR_KEYWORD
        params.append((arg.arg, kind, defaults[i], arg.annotation))
    if a.vararg:
        params.append((a.vararg.arg, KINDS.VAR_POSITIONAL, EMPTY, a.vararg.annotation))
    for arg, d in zip(a.kwonlyargs, a.kw_defaults):
        params.append((arg.arg, KINDS.KEYWORD_ONLY, EMPTY if d is None else ast.literal_eval(d), arg.annotation))
    if a.kwarg:
        params.append((a.kwarg.arg, KINDS.VAR_KEYWORD, EMPTY, a.kwarg.annotation))
    return params[1:] if drop_first else params


def check_signature(runtime, fn, dicts, drop_first=False):
    sig = inspect.signature(runtime)
    expected = stub_parameters(fn, drop_first)
    got = [(p.name, p.kind, p.default, type(p.default)) for p in sig.parameters.values()]
    want = [(name, kind, default, type(default)) for name, kind, default, _ in expected]  # 1 is not 1.0
    assert got == want, f"runtime {sig} vs stub {ast.unparse(fn.args)}"
    for p, (_, _, _, annotation) in zip(sig.parameters.values(), expected):
        assert covered(p.annotation, annotation, dicts), f"parameter {p.name}: runtime {p.annotation!r}"
    assert covered(sig.return_annotation, fn.returns, dicts), f"runtime returns {sig.return_annotation!r}"


def own(module, name, value):
    return not name.startswith("_") and getattr(value, "__module__", None) == module.__name__


def module_cases():
    for modname in MODULES:
        module, tree = stub_tree(modname)
        stub = Stub(tree.body)
        for name, value in vars(module).items():
            if callable(value) and own(module, name, value):
                yield pytest.param(modname, name, id=f"{modname.rsplit('.', 1)[1]}.{name}")
        for name in stub.functions:
            yield pytest.param(modname, name, id=f"{modname.rsplit('.', 1)[1]}.{name}")


@pytest.mark.parametrize("modname,name", sorted(set(module_cases()), key=lambda p: p.id))
def test_module_callable_matches_its_stub(modname, name):
    module, tree = stub_tree(modname)
    stub = Stub(tree.body)
    dicts = helper_dicts(tree)
    runtime = getattr(module, name, None)
    assert runtime is not None, f"{name} is in the stub but not in the module"
    if isinstance(runtime, type):
        check_class(runtime, stub.classes.get(name), dicts)
    else:
        assert name in stub.functions, f"{name} is missing from the stub"
        check_signature(runtime, stub.functions[name], dicts)


def check_class(cls, node, dicts):
    assert node is not None, f"class {cls.__name__} is missing from the stub"
    stub = Stub(node.body)
    ctor = stub.functions.get("__new__") or stub.functions.get("__init__")
    assert ctor is not None, f"{cls.__name__}: the stub declares no constructor"
    check_signature(cls, ctor, dicts, drop_first=True)
    for name, fn in stub.functions.items():
        if name in ("__new__", "__init__"):
            continue
        assert name in vars(cls), f"{cls.__name__}.{name} is in the stub but not in the class"
        if "property" in decorators(fn):
            assert inspect.isdatadescriptor(vars(cls)[name]), f"{cls.__name__}.{name} is not a property"
        else:
            check_signature(getattr(cls, name), fn, dicts)  # `self` on both sides; none for static methods
    for name, target in stub.aliases.items():
        assert vars(cls)[name] is vars(cls)[target], f"{cls.__name__}.{name} is not {target}"
    for name in stub.attributes:
        if name in vars(cls):  # a native field
            assert inspect.isdatadescriptor(vars(cls)[name]), f"{cls.__name__}.{name} is not a field"
        else:  # an instance attribute of a plain class
            assert "__dict__" in vars(cls), f"{cls.__name__}.{name} does not exist"
    declared = set(stub.functions) | set(stub.aliases) | set(stub.attributes)
    for name, value in vars(cls).items():
        if not name.startswith("_") and (callable(value) or inspect.isdatadescriptor(value)):
            assert name in declared, f"{cls.__name__}.{name} is missing from the stub"


@pytest.mark.parametrize("modname", MODULES)
def test_module_constants_match_their_stub(modname):
    module, tree = stub_tree(modname)
    for name, annotation in Stub(tree.body).attributes.items():
        assert hasattr(module, name), f"{name} is in the stub but not in the module"
        if isinstance(annotation, ast.Name):
            assert type(getattr(module, name)).__name__ == annotation.id


def extension_types():
    for modname in MODULES:
        module = importlib.import_module(modname)
        for name, value in vars(module).items():
            # extension types; a plain class made with type() has a __dict__ slot
            if isinstance(value, type) and own(module, name, value) and "__dict__" not in vars(value):
                yield pytest.param(value, id=name)


@pytest.mark.parametrize("cls", list(extension_types()))
def test_docstring_header_gives_the_signature_and_stays_out_of_doc(cls):
    assert cls.__text_signature__ is not None
    assert cls.__doc__ and "\n--\n\n" not in cls.__doc__
    assert not cls.__doc__.startswith(cls.__name__ + "(")


def test_subclass_constructor_signature():
    class Plain(varnok.AtomicCounter):
        pass

    class Own(varnok.AtomicCounter):
        def __init__(self, start, *, step=2):
            super().__init__()

    assert str(inspect.signature(Plain)) == "(initial_value=0)"
    assert str(inspect.signature(Own)) == "(start, *, step=2)"
