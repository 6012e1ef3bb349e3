import math

import numpy as np
import pytest

from tonalis_tools import _portable_maths as pm


def ulps(a, b):
    return np.abs(a.view(np.int64) - b.view(np.int64))


def test_cos_sin_round_the_exact_value_once():
    # cos(-685.75 degrees) lies 2e-21 above the middle between two doubles:
    # the upper one is the correctly rounded value (checked with a 110-digit
    # series); a maths library accurate to one unit may give the lower.
    assert pm.cos_sin(math.radians(-685.75))[0] == 0.8265897491271889
    degrees = np.arange(-720.0, 720.0, 0.37)
    ours = np.array([pm.cos_sin(math.radians(d)) for d in degrees])
    library = np.array([(math.cos(math.radians(d)), math.sin(math.radians(d))) for d in degrees])
    # Near the zeros the sine is tiny and a unit is small: compare absolutely there.
    assert np.all((ulps(ours, library) <= 1) | (np.abs(ours - library) < 1e-15))
    assert pm.cos_sin(0.0) == (1.0, 0.0)


def test_pseudo_angle_orders_directions_as_the_angle_and_ties_equal_ones():
    rng = np.random.default_rng(7)
    y, x = rng.integers(-300, 301, 5000), rng.integers(-300, 301, 5000)
    key = pm.pseudo_angle(y, x)
    order = np.argsort(key, kind="stable")
    angle = np.arctan2(y, x)[order]
    assert np.all(np.diff(angle) > -1e-12)
    assert key.min() > -2.0 and key.max() <= 2.0
    # The same direction gives the same key (arctan2 can differ in its last bit).
    assert pm.pseudo_angle(-36, 135) == pm.pseudo_angle(-56, 210)
    assert pm.pseudo_angle(0, -5) == 2.0 and pm.pseudo_angle(0, 0) == 0.0


@pytest.mark.parametrize("exponent", [1 / 2.2, 2.2, 0.05, 20.0, 1.0])
def test_power_is_within_a_unit_of_the_library_and_exact_at_the_ends(exponent):
    bases = np.linspace(0.0, 1.0, 257)
    ours = pm.power(bases, exponent)
    assert np.all(ulps(ours, bases**exponent) <= 1)
    assert ours[0] == 0.0 and ours[-1] == 1.0


def test_exp_keeps_the_shape_and_is_within_a_unit():
    values = -np.abs(np.random.default_rng(3).normal(0, 20, (7, 9)))
    ours = pm.exp(values)
    assert ours.shape == values.shape
    assert np.all(ulps(ours, np.exp(values)) <= 1)
