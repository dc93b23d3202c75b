"""Shared helpers for the Python tests."""
import contextlib

import pytest


@contextlib.contextmanager
def raises_exact(exc_type, text=None):
    """Expect exactly exc_type (not a subclass) with exactly `text` as str(e)."""
    with pytest.raises(BaseException) as info:
        yield info
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    if text is not None:
        assert str(info.value) == text


@pytest.fixture
def exact():
    return raises_exact
