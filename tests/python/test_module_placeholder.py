import korvane._core


def test_imports():
    assert korvane._core is not None
