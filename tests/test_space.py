"""Working values and output levels, raw and in linear light, seen through
plain quantization (strength 0) of a full gradient."""

import numpy as np
import pytest
import reference as ref

import tonalis

GRADIENT = np.arange(256, dtype=np.uint8).reshape(1, 256)

CODES = [
    (2, False, [0, 255]),
    (2, True, [0, 255]),
    (3, False, [0, 128, 255]),
    (3, True, [0, 188, 255]),
    (4, False, [0, 85, 170, 255]),
    (4, True, [0, 156, 213, 255]),
    (5, False, [0, 64, 128, 191, 255]),
    (5, True, [0, 137, 188, 225, 255]),
    (16, False, list(range(0, 256, 17))),
    (16, True, [0, 73, 102, 124, 141, 156, 170, 182, 193, 203, 213, 222, 231, 239, 247, 255]),
    (256, False, list(range(256))),
]


@pytest.mark.parametrize("n,linear,codes", CODES)
def test_level_codes(n, linear, codes):
    assert ref.levels(n, linear)[0].tolist() == codes
    out = tonalis.error_diffusion(GRADIENT, levels=n, strength=0.0, linear=linear)
    assert np.unique(out).tolist() == codes


def test_linear_256_levels_share_codes():
    codes = ref.levels(256, True)[0].tolist()
    assert codes[:5] == [0, 13, 22, 28, 34] and codes[-4:] == [254, 254, 255, 255]
    out = tonalis.error_diffusion(GRADIENT, levels=256, strength=0.0, linear=True)
    assert np.unique(out).tolist() == sorted(set(codes)) and len(set(codes)) == 183


def test_reference_tables():
    work = ref.to_work(True)
    assert work[0] == 0 and work[255] == 255
    assert work[10] == pytest.approx(0.773994, abs=1e-6)  # 10 / 12.92, linear segment
    assert work[11] == pytest.approx(0.85337, abs=1e-5)
    assert work[128] == pytest.approx(55.0444, abs=1e-4)
    assert ref.to_work(False).tolist() == list(range(256))
    _, values, step, inv_step = ref.levels(3, True)
    assert values[1] == pytest.approx(128.2361, abs=1e-4)
    assert ref.levels(2, False)[2] == 255 and ref.levels(256, False)[2] == 1
    assert inv_step == np.float32(1) / step


def _plain_quantization(n, linear):
    """Each code's output when no error moves, straight from the tables."""
    codes, values, _, inv_step = ref.levels(n, linear)
    work = ref.to_work(linear)
    out = []
    for b in range(256):
        if n == 2:
            i = 1 if work[b] >= np.float32(127.5) else 0
        else:
            i = ref.nearest_level(work[b], n, inv_step)
        out.append(int(codes[i]))
    return out


@pytest.mark.parametrize("linear", [False, True])
@pytest.mark.parametrize("n", [2, 3, 4, 6, 7, 16, 51, 100, 128, 255, 256])
def test_plain_quantization_of_every_code(n, linear):
    expected = _plain_quantization(n, linear)
    for method in ("floyd_steinberg", "atkinson"):
        out = tonalis.error_diffusion(GRADIENT, method, levels=n, strength=0.0, linear=linear)
        assert out[0].tolist() == expected
    planes = tonalis.error_diffusion(
        GRADIENT.reshape(16, 16, 1).repeat(3, axis=2), levels=n, strength=0.0, linear=linear
    )
    assert planes[..., 2].ravel().tolist() == expected


@pytest.mark.parametrize("method", ["floyd_steinberg", "jarvis_judice_ninke"])
@pytest.mark.parametrize("code", [64, 128, 200])
def test_linear_light_keeps_mean_brightness(method, code):
    flat = np.full((64, 64), code, np.uint8)
    inner = (slice(8, -8), slice(8, -8))
    for linear in (False, True):
        out = tonalis.error_diffusion(flat, method, linear=linear, serpentine=True)
        assert set(np.unique(out)) <= {0, 255}
        work = ref.to_work(linear)
        light = work[out[inner]].mean()
        assert light == pytest.approx(work[code], rel=0.03)
