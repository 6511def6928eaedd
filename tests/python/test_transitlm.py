"""The module against the command-line tools: fit, model and its Jacobian, refusals, and the Dask
example."""
import concurrent.futures
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import transitlm

BUILD = os.environ["TRANSITLM_BUILD"]
SOURCE = os.environ["TRANSITLM_SOURCE"]
EXAMPLE = (os.path.join(SOURCE, "examples", "hotjupiter.par"),
           os.path.join(SOURCE, "examples", "hotjupiter.txt"))

# An eccentric orbit; the truth holds its coefficients for the model that makes the curves.
ORBIT = """tshift {tshift} f
eccentr 0.25
periastr 70
inclination 88.5 f
rsun 0.1 f
rplanet 0.011 f
period 2.4
iterations 12
lm 0.01
"""
FITTED_LAW = "lin\nquad\n"
HELD_LAW = "lin 0.4 fixed\nquad 0.2 fixed\n"


def truth(tshift=0.8):
    return ORBIT.format(tshift=tshift) + HELD_LAW


def start(tshift=0.803):
    return ORBIT.format(tshift=tshift) + FITTED_LAW


def write(path, text):
    path.write_text(text)
    return str(path)


def synthetic_curve(path, seed, tshift=0.8, n=1200):
    """A curve of the true model plus Gaussian noise, each float64 written exactly."""
    rng = np.random.default_rng(seed)
    t = np.linspace(0.0, 4.8, n)
    s = np.full(n, 3e-4)
    f = transitlm.model(truth(tshift), t) + rng.normal(0.0, 3e-4, n)
    np.savetxt(path, np.column_stack([t, f, s]), fmt="%.40g")
    return str(path), (t, f, s)


def cli_result(par, data, result):
    run = subprocess.run([os.path.join(BUILD, "transitlm"), par, data, str(result)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    return json.loads(result.read_text())


def same(a, b):
    """Equal to the bit (repr of every float), NaN included."""
    return json.dumps(a, sort_keys=True) == json.dumps(b, sort_keys=True)


def test_fits_equal_command_line_side_by_side(tmp_path):
    """The command line's fits: of the example through its files, and of two curves and kinds of
    fit through the text and the arrays (no file names); serial and on two threads at once, which
    keep nothing in common."""
    runs, expected = [EXAMPLE], [cli_result(*EXAMPLE, tmp_path / "example.json")]
    assert expected[0]["points"] == len(np.loadtxt(EXAMPLE[1]))
    texts = [start(), start().replace("period 2.4", "period 2.4 f") + "rednoise\nzeropoint\n"]
    for k, text in enumerate(texts):
        data, arrays = synthetic_curve(tmp_path / f"{k}.txt", seed=3 + k)
        runs.append((text, arrays))
        expected.append(cli_result(write(tmp_path / f"{k}.par", text), data, tmp_path / f"{k}.json"))
        expected[-1]["parameter_file"] = expected[-1]["data_file"] = None
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        together = list(pool.map(lambda run: transitlm.fit(*run), runs * 2))
    for k, got in enumerate([transitlm.fit(*run) for run in runs] + together):
        assert same(got, expected[k % 3]), k
    # β scales the fitted period's σ as every other; the permutation's refits hold the period.
    red = expected[2]
    assert red["beta"]["sigma"]["parameters"]["period"] == pytest.approx(
        red["beta"]["value"] * red["parameters"]["period"]["sigma"], rel=1e-15)
    assert "period" not in red["permutation"]["sigma"]["parameters"]


@pytest.mark.parametrize("extra", ["", "exposure 0.02\n"])
def test_model_equals_model_tool(extra, tmp_path):
    par = write(tmp_path / "truth.par", truth() + extra)
    data, (t, _, _) = synthetic_curve(tmp_path / "curve.txt", seed=2)
    out = tmp_path / "model.tsv"
    run = subprocess.run([os.path.join(BUILD, "transitlm-model"), par, data, str(out)],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stdout
    table = np.loadtxt(out)
    flux = transitlm.model(par, t)
    assert flux.dtype == np.float64 and flux.min() < 0.99
    # The table prints 19 digits, one short of the long double's: within a unit of float64.
    np.testing.assert_allclose(flux, table[:, 3], rtol=2.3e-16, atol=0)


def test_jacobian_matches_central_differences():
    values = {"tshift": 0.8, "eccentr": 0.25, "periastr": 70.0, "inclination": 88.5,
              "rsun": 0.1, "rplanet": 0.011, "period": 2.4}
    keys = list(values)

    def params(**change):
        v = dict(values, **change)
        return "".join(f"{k} {v[k]!r} f\n" for k in keys) + HELD_LAW

    # Two transits, so that the period moves the second one.
    t = np.concatenate([np.linspace(0.6, 1.0, 200), np.linspace(3.0, 3.4, 200)])
    flux, jac = transitlm.model(params(), t, jacobian=True)
    assert jac.shape == (400, 7)
    np.testing.assert_array_equal(flux, transitlm.model(params(), t))
    for j, k in enumerate(keys):
        h = 1e-6 * max(abs(values[k]), 0.01)
        fd = (transitlm.model(params(**{k: values[k] + h}), t) -
              transitlm.model(params(**{k: values[k] - h}), t)) / (2 * h)
        scale = np.abs(jac[:, j]).max()
        assert scale > 0
        np.testing.assert_allclose(jac[:, j], fd, rtol=0, atol=1e-6 * scale, err_msg=k)
    # Only the fitted parameters have columns, in the report's order.
    held = params().replace("eccentr 0.25 f", "eccentr 0.25").replace("rsun 0.1 f", "rsun 0.1")
    np.testing.assert_array_equal(transitlm.model(held, t, jacobian=True)[1],
                                  jac[:, [0, 2, 3, 5, 6]])
    no_period = params().replace("period 2.4 f", "period 2.4")
    np.testing.assert_array_equal(transitlm.model(no_period, t, jacobian=True)[1], jac[:, :6])


t3 = np.linspace(0.0, 4.8, 30)
ones, sig = np.ones(30), np.full(30, 1e-3)


@pytest.mark.parametrize("call, error, message", [
    (lambda: transitlm.fit(start(), (t3.reshape(3, 10), ones, sig)), ValueError, "dimensions"),
    (lambda: transitlm.fit(start(), (t3, ones.astype(complex), sig)), ValueError, "dtype"),
    (lambda: transitlm.fit(start(), (t3, np.where(t3 > 1, np.nan, 1.0), sig)), ValueError,
     r"flux\[7\] is NaN"),
    (lambda: transitlm.fit(start(), (t3, ones[:29], sig)), ValueError, "equally long"),
    (lambda: transitlm.fit(start(), (t3, ones)), ValueError, "tuple"),
    (lambda: transitlm.fit(start(), (t3, ones, -sig)), ValueError, "not positive"),
    (lambda: transitlm.fit("tshift 1 f\nperiod 2\n", (t3, ones, sig)), ValueError,
     "radius of star"),
    (lambda: transitlm.fit(start(), "/nonexistent/curve.txt"), ValueError, "can not be opened"),
    (lambda: transitlm.model(start(), t3), ValueError, "held"),
    (lambda: transitlm.model(truth() + "trend 1\n", t3), ValueError, "trend"),
    # Far from every transit the radii move nothing: the step's system is singular.
    (lambda: transitlm.fit(start(tshift=1.2), (t3[:5] * 0.01, ones[:5], sig[:5])),
     ArithmeticError, "null det"),
])
def test_bad_input_raises(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_fit_many_on_local_cluster(tmp_path):
    pytest.importorskip("distributed", reason="dask.distributed is not installed "
                                              "(Debian: python3-distributed)")
    par = write(tmp_path / "start.par", start())
    curves = [synthetic_curve(tmp_path / f"curve{k}.txt", seed=10 + k, tshift=0.8 + 0.001 * k,
                              n=800)[0] for k in range(8)]
    out = tmp_path / "results"
    run = subprocess.run([sys.executable, os.path.join(SOURCE, "examples", "fit_many.py"),
                          "--workers", "2", par, str(out)] + curves,
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    expected = [cli_result(par, c, tmp_path / f"cli{k}.json") for k, c in enumerate(curves)]
    lines = (out / "summary.tsv").read_text().splitlines()
    assert len(lines) == 9
    for k, (curve, want) in enumerate(zip(curves, expected)):
        assert same(json.loads((out / f"curve{k}.json").read_text()), want), curve
        assert lines[1 + k].startswith(f"curve{k}\t") and repr(want["chi_square_reduced"]) in lines[1 + k]
