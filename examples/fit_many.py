#!/usr/bin/env python3
"""Fits one parameter file to many light curves across a Dask cluster.

    python3 examples/fit_many.py PARAMS OUTDIR CURVE...               (a LocalCluster here)
    python3 examples/fit_many.py --workers 4 PARAMS OUTDIR CURVE...
    python3 examples/fit_many.py --scheduler tcp://HOST:8786 PARAMS OUTDIR CURVE...

Each curve (a text table or a FITS light curve, read by the tool's readers on the worker that
fits it) is fitted by transitlm.fit from the same parameter file; the client writes
OUTDIR/NAME.json, the result of the curve NAME.EXT (the content of transitlm's JSON result
file), and OUTDIR/summary.tsv, one line per curve. A curve the tool refuses gets a line saying
why, and no JSON file; the others are fitted all the same.

On a real cluster every worker needs the transitlm module (cmake --install on each machine, or
PYTHONPATH) and reads the curves by the paths given here, so they lie on a file system that all
workers share; the results travel back to the client, which alone writes OUTDIR.
"""
import argparse
import json
import os
import sys


def fit_curve(params_text, curve):
    """The fit of one curve on a worker: (result dict, None) or (None, the reason it failed)."""
    import warnings

    import transitlm

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the tool's notes; the result says whether it converged
        try:
            return transitlm.fit(params_text, curve), None
        except (ValueError, ArithmeticError) as e:
            return None, str(e).replace("\n", " ")


def curve_name(curve):
    return os.path.splitext(os.path.basename(curve))[0]


def summary_line(name, result, error):
    """NAME, status, reduced chi-square, then value and sigma of every fitted parameter."""
    if result is None:
        return f"{name}\tfailed: {error}\n"
    fields = [name, "converged" if result["converged"] else "not converged",
              repr(result["chi_square_reduced"])]
    for key, p in result["parameters"].items():
        if p["fitted"]:
            fields += [f"{key}={p['value']!r}", f"sigma_{key}={p['sigma']!r}"]
    return "\t".join(fields) + "\n"


def fit_many(client, params_file, curves, out_dir):
    """Fits every curve with the parameter file on the cluster of `client`; writes one JSON
    result per curve and summary.tsv into out_dir. Returns the results (None where the tool
    refused a curve) in the order of `curves`."""
    names = [curve_name(c) for c in curves]
    if len(set(names)) != len(names):
        raise ValueError("two curves share a name; their results would overwrite each other")
    with open(params_file, encoding="utf-8") as f:
        params_text = f.read()
    futures = client.map(fit_curve, [params_text] * len(curves), curves, pure=False)
    outcomes = client.gather(futures)
    os.makedirs(out_dir, exist_ok=True)
    with open(os.path.join(out_dir, "summary.tsv"), "w", encoding="utf-8") as summary:
        summary.write("# curve\tstatus\tchi_square_reduced\tfitted parameters and their sigma\n")
        for curve, name, (result, error) in zip(curves, names, outcomes):
            if result is not None:
                # The worker read the parameter text, not the file: name both inputs as given.
                result["parameter_file"] = os.path.abspath(params_file)
                result["data_file"] = os.path.abspath(curve)
                with open(os.path.join(out_dir, name + ".json"), "w", encoding="utf-8") as f:
                    json.dump(result, f, indent=1, allow_nan=True)
                    f.write("\n")
            summary.write(summary_line(name, result, error))
    return [r for r, _ in outcomes]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running scheduler (tcp://HOST:PORT)")
    where.add_argument("--workers", type=int, default=2,
                       help="worker processes of the LocalCluster (default 2)")
    parser.add_argument("params")
    parser.add_argument("out_dir")
    parser.add_argument("curves", nargs="+")
    args = parser.parse_args(argv)

    from dask.distributed import Client, LocalCluster

    if args.scheduler:
        client = Client(args.scheduler)
        cluster = None
    else:
        # One thread a worker: each fit shares its points among the machine's cores already.
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    try:
        results = fit_many(client, args.params, args.curves, args.out_dir)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    failed = sum(r is None for r in results)
    if failed:
        print(f"fit_many: {failed} of {len(results)} curves were not fitted; see "
              f"{os.path.join(args.out_dir, 'summary.tsv')}", file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
