"""The check of a summary against the record types of the installed inspector stub."""

import __future__
import ast
import functools
import pathlib
import types
import typing

import vornel.inspector


@functools.cache
def stub_records():
    """The TypedDicts of the installed inspector stub, made into classes."""
    stub = pathlib.Path(vornel.inspector.__file__).with_name("inspector.pyi")
    tree = ast.parse(stub.read_text(encoding="utf-8"))
    records = [
        node for node in tree.body
        if isinstance(node, ast.ClassDef) and any(getattr(base, "id", None) == "TypedDict" for base in node.bases)
    ]
    # A module name outside sys.modules, so that forward references resolve in this namespace.
    namespace = {"__name__": "inspector_stub", "TypedDict": typing.TypedDict, "type_check_only": lambda cls: cls}
    code = compile(ast.Module(records, type_ignores=[]), str(stub), "exec", __future__.annotations.compiler_flag)
    exec(code, namespace)
    return namespace


@functools.cache
def record_fields(record):
    return typing.get_type_hints(record, globalns=stub_records())


def assert_has_type(value, hint, where):
    """Asserts that `value` has exactly the type `hint`: keys in declared order, no subclasses."""
    origin, args = typing.get_origin(hint), typing.get_args(hint)
    if typing.is_typeddict(hint):
        fields = record_fields(hint)
        assert type(value) is dict and list(value) == list(fields), where
        for key, field in fields.items():
            assert_has_type(value[key], field, f"{where}[{key!r}]")
    elif origin is list:
        assert type(value) is list, where
        for index, item in enumerate(value):
            assert_has_type(item, args[0], f"{where}[{index}]")
    elif origin is dict:
        assert type(value) is dict, where
        for key, item in value.items():
            assert_has_type(key, args[0], f"{where} key {key!r}")
            assert_has_type(item, args[1], f"{where}[{key!r}]")
    elif origin in (typing.Union, types.UnionType):
        assert type(value) in args, f"{where}: {type(value).__name__} is not one of {args}"
    else:
        assert type(value) is hint, f"{where}: {type(value).__name__} is not {hint.__name__}"


def assert_summary_shape(summary):
    """The summary has exactly the shape of the stub's Summary record."""
    assert_has_type(summary, stub_records()["Summary"], "summary")
