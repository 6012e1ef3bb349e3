"""Dithering a batch of files as Dask tasks, on a local in-process cluster."""

import numpy as np
import pytest

pytest.importorskip("PIL")
from PIL import Image

import tonalis
from tonalis_tools.dask_batch import dither_files, plan_outputs
from tonalis_tools.pipeline import DitherSettings, load_image

RNG = np.random.default_rng(8)


@pytest.fixture
def files(tmp_path):
    paths = []
    for i in range(7):
        path = tmp_path / "in" / f"img{i}.png"
        path.parent.mkdir(exist_ok=True)
        Image.fromarray(RNG.integers(0, 256, (16 + i, 20, 3), dtype=np.uint8)).save(path)
        paths.append(path)
    return paths


@pytest.fixture(scope="module")
def client():
    pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    with distributed.Client(
        processes=False, n_workers=2, threads_per_worker=1, dashboard_address=None
    ) as c:
        yield c


@pytest.mark.parametrize("chunk_size", [1, 3, 100])
def test_local_cluster_dithers_every_file(client, files, tmp_path, chunk_size):
    from distributed import get_task_stream

    settings = DitherSettings("atkinson", levels=3, serpentine=True)
    with get_task_stream(client) as stream:
        written = dither_files(
            files, tmp_path / "out", settings, suffix=".gif", chunk_size=chunk_size
        )
    ran = [t for t in stream.data if "_dither_chunk" in str(t["key"])]
    assert len(ran) == -(-len(files) // chunk_size)  # one task per chunk, on the cluster
    assert written == [str(tmp_path / "out" / f"img{i}.gif") for i in range(7)]
    for source, result in zip(files, written):
        expected = tonalis.dither(
            np.asarray(Image.open(source)), "atkinson", levels=3, serpentine=True
        )
        assert np.array_equal(np.asarray(Image.open(result).convert("RGB")), expected)


def test_synchronous_scheduler_without_a_cluster(files, tmp_path):
    pytest.importorskip("dask")
    written = dither_files(files[:2], tmp_path / "out", scheduler="sync")
    assert np.array_equal(
        np.asarray(load_image(written[0])), tonalis.dither(np.asarray(Image.open(files[0])))
    )


def test_options_of_the_front_door_dither_like_it(files, tmp_path):
    pytest.importorskip("dask")
    from tonalis_tools import dither

    written = dither_files(
        files[:2], tmp_path / "out", method="bluenoise16", preset="cga", scheduler="sync"
    )
    for source, result in zip(files, written):
        expected = dither(np.asarray(Image.open(source)), "bluenoise16", preset="cga")
        assert np.array_equal(np.asarray(load_image(result)), expected)
    with pytest.raises(ValueError, match="settings and levels exclude each other"):
        dither_files(files, tmp_path / "other", DitherSettings(), levels=3)
    with pytest.raises(ValueError, match="did you mean 'atkinson'"):
        dither_files(files, tmp_path / "other", method="atkinsn")
    assert not (tmp_path / "other").exists()


def test_bad_settings_fail_before_any_task(files, tmp_path):
    pytest.importorskip("dask")
    with pytest.raises(ValueError, match="levels"):
        dither_files(files, tmp_path / "out", DitherSettings(levels=1))
    assert not (tmp_path / "out").exists()
    with pytest.raises(ValueError, match="chunk_size"):
        dither_files(files, tmp_path / "out", chunk_size=0)


def test_unreadable_file_raises(files, tmp_path):
    pytest.importorskip("dask")
    files[3].write_bytes(b"garbage")
    with pytest.raises(OSError):
        dither_files(files, tmp_path / "out", scheduler="sync")


@pytest.mark.parametrize("suffix", [None, ".tif"])
def test_one_plan_for_files_and_for_named_pairs(tmp_path, suffix):
    from tonalis_tools.batch import planner

    files = [tmp_path / "a.png", tmp_path / "sub" / "b.jpg"]
    by_path = plan_outputs(files, tmp_path / "o", suffix=suffix)
    by_pair = planner.plan_outputs(
        [(path, path.name) for path in files], tmp_path / "o", suffix=suffix
    )
    assert by_path == by_pair
    # A lossy input becomes PNG unless a suffix is given.
    assert by_path[1][1].suffix == (suffix or ".png")
    assert plan_outputs is planner.plan_outputs


def test_plan_outputs_guards_inputs_and_collisions(tmp_path):
    a, b = tmp_path / "x" / "same.png", tmp_path / "y" / "same.png"
    assert plan_outputs([a], tmp_path / "o", suffix="tif") == [(a, tmp_path / "o" / "same.tif")]
    with pytest.raises(ValueError, match="two inputs"):
        plan_outputs([a, b], tmp_path / "o")
    with pytest.raises(ValueError, match="refusing to overwrite"):
        plan_outputs([a], tmp_path / "x")
    assert plan_outputs([a], tmp_path / "x", overwrite=True) == [(a, a)]


def test_the_guide_example_starts_its_cluster_only_in_the_main_module():
    # Client() starts worker processes that import the script again; outside
    # the guard each of them would start a cluster of its own.
    import ast
    import re
    from pathlib import Path

    guide = Path(__file__).resolve().parent.parent / "docs" / "guides" / "batches.md"
    section = guide.read_text()
    assert (
        'pip install "tonalis-dither[pil]" "dask[distributed]"' in section.split("```python", 1)[0]
    )
    code = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    tree = ast.parse(code)
    guards = [
        node
        for node in tree.body
        if isinstance(node, ast.If) and ast.unparse(node.test) == "__name__ == '__main__'"
    ]
    assert len(guards) == 1
    for node in tree.body:
        if node is not guards[0]:
            assert "Client(" not in ast.unparse(node) and "dither_files(" not in ast.unparse(node)
