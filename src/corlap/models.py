"""Model files: a trained PWM or DWM saved as ``.npz``, never as a pickle.

A model file is a NumPy ``.npz`` archive holding exactly these arrays:

- one per attribute of the model: ``length``, ``counts``, ``bg_counts``,
  ``neg_counts``, ``no_bias``, ``no_bg`` and the tables ``prepare_mat``
  made (``pssm``, ``bias_pwm``, ``bg_pwm``; for a DWM also ``bias_dwm``,
  ``bg_dwm`` and the four ``*_log`` tables);
- ``type``: the text "PWM" or "DWM";
- ``format_version``: the integer 1.

``load_model`` checks every array's header (name, dtype, shape) before it
reads any data, reads with ``allow_pickle=False``, and rebuilds a model
whose tables hold the same bits as the saved one, so it scores
bit-identically.
"""

from __future__ import annotations

import hashlib
import io
import os
import zipfile

import numpy as np

from corlap._output import commit, discard, temporary_beside
from corlap.utils.sequences import SequenceMatrix

__all__ = ["FORMAT_VERSION", "ModelFileError", "save_model", "load_model",
           "model_bytes", "model_type"]

FORMAT_VERSION = 1


class ModelFileError(ValueError):
    """A file that is not a valid corlap model file; the message names it."""


def _shapes(model_type: str, length: int) -> dict[str, tuple[int, ...]]:
    """Every array of a model file of this type and window length, with its
    shape.  Tables indexed [code, position] are (5, L); pair tables
    [code, code, position, position] are (5, 5, L, L)."""
    position = (5, length)
    pair = (5, 5, length, length)
    shapes = {"length": (), "no_bias": (), "no_bg": (),
              "pssm": position, "bias_pwm": position, "bg_pwm": position,
              "neg_counts": position}
    if model_type == "PWM":
        shapes.update(counts=position, bg_counts=position)
    else:
        shapes.update(counts=pair, bg_counts=pair, bias_dwm=pair, bg_dwm=pair,
                      bias_pwm_log=position, bg_pwm_log=position,
                      bias_dwm_log=pair, bg_dwm_log=pair)
    return shapes


def model_type(model) -> str:
    """"PWM" for a mononucleotide model, "DWM" for a dinucleotide model."""
    name = type(model).__name__
    if name == "NucleotideMatrix":
        return "PWM"
    if name == "DiNucleotideMatrix":
        return "DWM"
    raise TypeError(f"not a corlap model: {type(model).__name__}")


def _arrays(model) -> dict[str, np.ndarray]:
    kind = model_type(model)
    length = int(model.length)
    if not hasattr(model, "bias_pwm" if kind == "PWM" else "bias_dwm_log"):
        raise ValueError("the model is not prepared: call prepare_mat() before saving it")
    arrays: dict[str, np.ndarray] = {
        "type": np.array(kind), "format_version": np.array(FORMAT_VERSION, dtype=np.int64)}
    for name, shape in _shapes(kind, length).items():
        if not hasattr(model, name):
            raise ValueError(f"the model has no attribute {name!r}: "
                             f"call prepare_mat() before saving it")
        value = getattr(model, name)
        if name == "length":
            arrays[name] = np.array(length, dtype=np.int64)
            continue
        array = np.asarray(value, dtype=np.float64)
        if array.shape != shape:
            raise ValueError(f"the model's {name} has shape {array.shape}, "
                             f"expected {shape} for a {kind} of length {length}")
        arrays[name] = array
    return arrays


def model_bytes(model) -> bytes:
    """The model file's contents, as ``save_model`` writes them."""
    buffer = io.BytesIO()
    np.savez(buffer, **_arrays(model))  # type: ignore[arg-type]
    return buffer.getvalue()


def save_model(model, path) -> None:
    """Write ``model`` (prepared) to ``path`` as a model file.  The file
    appears whole or not at all: it is written beside the target and
    renamed into place."""
    path = os.fspath(path)
    contents = model_bytes(model)
    temporary = temporary_beside(path)
    try:
        with open(temporary, "wb") as stream:
            stream.write(contents)
        commit(temporary, path)
    except BaseException:
        discard(temporary)
        raise


def load_model(source, name: str | None = None):
    """Rebuild the model saved in ``source`` (a path, or a binary file
    object).  Raises ModelFileError naming the file for anything that is
    not a model file of this format: not an ``.npz`` archive (a pickle, for
    instance), object arrays, a wrong ``format_version`` or ``type``,
    arrays missing, extra, of the wrong dtype or shape.  Raises
    FileNotFoundError for a missing file.  ``name`` is the file's name in
    messages (by default the path, or the file object's name)."""
    if name is None:
        name = os.fspath(source) if isinstance(source, (str, os.PathLike)) else (
            getattr(source, "name", None) or "<model data>")

    def refuse(reason: str) -> ModelFileError:
        return ModelFileError(f"{name}: not a corlap model file: {reason}")

    try:
        archive = zipfile.ZipFile(source)
    except FileNotFoundError:
        raise FileNotFoundError(f"model file not found: {name!r}") from None
    except IsADirectoryError:
        raise IsADirectoryError(f"model file {name!r} is a directory") from None
    except (zipfile.BadZipFile, OSError, EOFError, ValueError):
        raise refuse("not an .npz archive") from None
    with archive:
        members = {}
        for info in archive.infolist():
            if not info.filename.endswith(".npy"):
                raise refuse(f"unexpected member {info.filename!r}")
            members[info.filename[:-4]] = info

        def read(key: str, kinds: str, shape: tuple[int, ...] | None) -> np.ndarray:
            if key not in members:
                raise refuse(f"array {key!r} is missing")
            info = members[key]
            try:
                with archive.open(info) as stream:
                    version = np.lib.format.read_magic(stream)
                    if version == (1, 0):
                        header = np.lib.format.read_array_header_1_0(stream)
                    elif version == (2, 0):
                        header = np.lib.format.read_array_header_2_0(stream)
                    else:
                        raise ValueError(f"unsupported .npy version {version}")
                    array_shape, _, dtype = header
                    if dtype.hasobject:
                        raise refuse(f"array {key!r} holds Python objects")
                    if dtype.kind not in kinds:
                        raise refuse(f"array {key!r} has dtype {dtype}")
                    if shape is not None and tuple(array_shape) != shape:
                        raise refuse(f"array {key!r} has shape {tuple(array_shape)}, "
                                     f"expected {shape}")
                    size = int(np.prod(array_shape, dtype=np.int64)) * dtype.itemsize
                    if size > info.file_size:
                        raise refuse(f"array {key!r} is truncated")
                with archive.open(info) as stream:
                    return np.lib.format.read_array(stream, allow_pickle=False)
            except ModelFileError:
                raise
            except (ValueError, OSError, EOFError, zipfile.BadZipFile) as error:
                raise refuse(f"array {key!r} cannot be read ({error})") from None

        version = read("format_version", "iu", ())
        if int(version) != FORMAT_VERSION:
            raise refuse(f"format_version is {int(version)}, this corlap reads "
                         f"version {FORMAT_VERSION}")
        kind = str(read("type", "U", ()))
        if kind not in ("PWM", "DWM"):
            raise refuse(f"type is {kind!r}, expected 'PWM' or 'DWM'")
        length = int(read("length", "iu", ()))
        if length < 1:
            raise refuse(f"length is {length}, expected at least 1")
        shapes = _shapes(kind, length)
        extra = sorted(set(members) - set(shapes) - {"type", "format_version"})
        if extra:
            raise refuse(f"unexpected array {extra[0]!r}")
        values = {key: read(key, "f" if key != "length" else "iu", shape)
                  for key, shape in shapes.items()}
    for key, value in values.items():
        if key != "length" and value.dtype != np.float64:
            raise refuse(f"array {key!r} has dtype {value.dtype}, expected float64")

    model = SequenceMatrix.create(length, kind)
    for key, value in values.items():
        if key == "length":
            continue
        if value.shape == ():
            setattr(model, key, np.float64(value[()]))
        else:
            setattr(model, key, np.ascontiguousarray(value))
    return model


def digest(contents: bytes) -> str:
    """The identity of a model file's contents (SHA-256, hexadecimal)."""
    return hashlib.sha256(contents).hexdigest()
