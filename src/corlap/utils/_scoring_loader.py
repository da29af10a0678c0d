"""Loads ``corlap.utils._scoring``, the private module of scoring settings
and of scoring that lets other threads run meanwhile.

It is compiled into the shared object of :mod:`corlap.utils.sequences`
(src/corlap/utils/sequences/private.cpp), where it reaches the scoring's
state directly; no file carries its name, so it is loaded from that object's
file and registered under its name::

    from corlap.utils._scoring_loader import scoring
    previous = scoring.memo_settings(directory, scoring.FROM_ENVIRONMENT)
    try:
        # model.score_sequence(codes) bit for bit, the GIL released while
        # the windows are scored; `codes` left alone until it returns.
        scores = scoring.score(model, codes)
    finally:
        scoring.memo_settings(*previous)

Not part of corlap's public interface.
"""
import importlib.machinery
import importlib.util
import sys
from types import ModuleType

from corlap.utils import sequences

NAME = "corlap.utils._scoring"


def _load() -> ModuleType:
    # Importing this file runs under the import lock, so two threads never
    # load the module twice; a second loading would work as well (its state
    # is the shared object's), it would only be a second module object.
    loaded = sys.modules.get(NAME)
    if loaded is not None:
        return loaded
    origin = sequences.__file__
    loader = importlib.machinery.ExtensionFileLoader(NAME, origin)
    found = importlib.util.spec_from_file_location(NAME, origin, loader=loader)
    if found is None:
        raise ImportError(f"cannot load {NAME} from {origin}", name=NAME)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    sys.modules[NAME] = module
    return module


scoring = _load()
