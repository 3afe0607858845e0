"""The registry under many simultaneous borrows, through the shared table:
many base addresses at once (the table grows, then shrinks) and many keys
under one base address (they spill out of the inline slots)."""

import numpy as np
import pytest

import molvenar
from test_borrow_registry import ALREADY_BORROWED, open_borrows


@pytest.fixture(scope="module")
def borrows():
    return open_borrows()


def test_many_bases_and_many_slices_of_one_buffer(borrows):
    arrays = [np.zeros(4) for _ in range(300)]
    buffer = np.zeros(64)
    slices = [buffer[4 * k:4 * k + 4] for k in range(16)]
    for array in arrays:
        assert borrows.acquire_mut(array) == 0
    for piece in slices:
        assert borrows.acquire_mut(piece) == 0
    try:
        # Every holder is still found: each key refuses a second borrow, and
        # a call reading a held slice is refused before it writes.
        assert [borrows.acquire(array) for array in arrays[::37]] == [-1] * len(arrays[::37])
        assert borrows.acquire(buffer[10:30]) == -1
        output = np.full(4, 5.0)
        with pytest.raises(RuntimeError) as refused:
            molvenar.indicator_sma(2, slices[7], output)
        assert refused.value.args == (ALREADY_BORROWED,)
        assert (output == 5.0).all()
    finally:
        for piece in slices[::2] + slices[1::2]:
            borrows.release_mut(piece)
        for array in arrays:
            borrows.release_mut(array)
    borrows.assert_free(buffer)
    for array in arrays[::50]:
        borrows.assert_free(array)
    molvenar.indicator_sma(2, slices[7], output)
    assert output[1] == 0.5 * (slices[7][0] + slices[7][1])
