"""Model state that Python code computes at every read: a pair table that
is a property of the class (or of a class further up its bases) must be
read at every entry, as the item-by-item definition reads it, and give the
same numbers as a model with plain attributes."""

import numpy as np
import pytest

from corlap.utils.sequences import DiNucleotideMatrix

LENGTH = 3
SEQUENCES = [[0, 1, 2], [3, 3, 0], [2, 1, 1], [0, 0, 3]]


class CountedTable:
    """A data descriptor that hands out one stored table and counts reads."""

    def __set_name__(self, owner, name):
        self.slot = "_" + name

    def __get__(self, instance, owner=None):
        if instance is None:
            return self
        instance.reads[self.slot] = instance.reads.get(self.slot, 0) + 1
        return getattr(instance, self.slot)

    def __set__(self, instance, value):
        setattr(instance, self.slot, value)


class OwnProperty(DiNucleotideMatrix):
    bias_dwm = CountedTable()

    def __init__(self, length):
        self.reads = {}
        super().__init__(length)


class Mixin:
    bg_dwm = CountedTable()


class InheritedProperty(Mixin, DiNucleotideMatrix):
    def __init__(self, length):
        self.reads = {}
        super().__init__(length)


def trained(cls):
    model = cls(LENGTH)
    for codes in SEQUENCES:
        model.add_sequence(np.array(codes, dtype=np.int64), 1.5)
        model.add_background(np.array(codes[::-1], dtype=np.int64))
    model.prepare_mat()
    return model


@pytest.mark.parametrize("cls, slot", [(OwnProperty, "_bias_dwm"),
                                       (InheritedProperty, "_bg_dwm")])
def test_class_level_table_is_read_at_every_entry(cls, slot):
    plain = trained(DiNucleotideMatrix)
    model = trained(cls)
    # Every one of the 25 * L * L entries reads the table anew.
    assert model.reads[slot] >= 25 * LENGTH * LENGTH
    for name in ("bias_dwm", "bg_dwm", "bias_dwm_log", "bg_dwm_log"):
        assert getattr(model, name).tobytes() == getattr(plain, name).tobytes(), name
