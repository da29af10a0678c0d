"""pytest plugin for `make test-aarch64` (tools/test_aarch64.sh): a test
module, fixture or test that needs a third-party module which the arm64
root does not have is reported as skipped, naming the module, instead of
failing.

Only a module that cannot be found at all counts: a missing part of
corlap, a module that is installed but fails to import, and every other
error still fail.  Load it with `-p pytest_missing_modules`.
"""

import importlib.util
import sys

import pytest


def missing_module(error):
    """The top-level name of the uninstalled third-party module behind an
    import error (followed through its causes), or None."""
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        if isinstance(error, ModuleNotFoundError) and error.name:
            top = error.name.partition(".")[0]
            if top != "corlap" and top not in sys.modules:
                try:
                    found = importlib.util.find_spec(top) is not None
                except (ImportError, ValueError):
                    found = False
                if not found:
                    return top
        error = error.__cause__ or error.__context__
    return None


def _skip_if_missing(error, what):
    name = missing_module(error)
    if name is None:
        return
    pytest.skip(f"{what} needs module {name!r}, which is not installed here",
                allow_module_level=True)


@pytest.hookimpl(wrapper=True)
def pytest_pycollect_makemodule(module_path, parent):
    node = yield
    if isinstance(node, pytest.Module):
        importing = node._getobj

        def _getobj():
            try:
                return importing()
            except pytest.Collector.CollectError as error:
                _skip_if_missing(error, node.nodeid)
                raise

        node._getobj = _getobj
    return node


@pytest.hookimpl(wrapper=True)
def pytest_runtest_setup(item):
    try:
        return (yield)
    except ImportError as error:
        _skip_if_missing(error, item.nodeid)
        raise


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    try:
        return (yield)
    except ImportError as error:
        _skip_if_missing(error, item.nodeid)
        raise
