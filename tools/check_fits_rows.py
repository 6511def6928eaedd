#!/usr/bin/python3
"""Checks the rows transitlm keeps from FITS light curves against an independent reading with
astropy, row for row: the same rows, times within 2e-9 d (float64 at 2.4e6 d carries 4.7e-10 d),
fluxes and uncertainties within 1e-14 relative.

    tools/check_fits_rows.py BUILD_DIR FITS_FILE...

It runs BUILD_DIR/transitlm-model on each file and reads the table it writes (times as used,
BJD_TDB; flux and uncertainty divided by the median).  Exit status 0 when every file agrees.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
from astropy.io import fits

KEPLER_MASK, TESS_MASK = 1130799, 175
LEAP_2012 = 2456109.5  # JD of the leap second of 2012 July 1


def expected(path):
    with fits.open(path) as hdus:
        primary = hdus[0].header
        table = next((h for h in hdus[1:] if h.header.get("EXTNAME") == "LIGHTCURVE"), None)
        head, data = table.header, table.data
        names = [n.upper() for n in data.columns.names]
        flux_name = next(n for n in ("PDCSAP_FLUX", "KSPSAP_FLUX", "FLUX") if n in names)
        time = np.array(data["TIME"], dtype=np.float64)
        flux = np.array(data[flux_name], dtype=np.float64)
        err = np.array(data[flux_name + "_ERR"], dtype=np.float64)
        qname = "QUALITY" if "QUALITY" in names else "SAP_QUALITY" if "SAP_QUALITY" in names else None
        telescope = str(head.get("TELESCOP", primary.get("TELESCOP", ""))).strip().upper()
        origin = str(head.get("ORIGIN", primary.get("ORIGIN", "")))
        mask = -1 if "QLP" in origin else KEPLER_MASK if telescope == "KEPLER" else TESS_MASK if telescope == "TESS" else -1
        keep = np.ones(len(time), bool)
        if qname:
            keep &= (np.array(data[qname], dtype=np.int64) & mask) == 0
        keep &= np.isfinite(time) & np.isfinite(flux) & np.isfinite(err) & (err > 0)
        if "BJDREFI" in head:
            zero = head["BJDREFI"] + head.get("BJDREFF", head.get("BJDREFR", 0.0))
        else:
            zero = {"bkjd": 2454833.0, "btjd": 2457000.0}[head["TUNIT1"].strip().lower()]
        t = time[keep] + zero
        filever = primary.get("FILEVER")
        if telescope == "KEPLER" and filever is not None and float(filever) < 5.0:
            t = t + np.where(t < LEAP_2012, 66.184, 67.184) / 86400.0
        median = np.median(flux[keep])
        return t, flux[keep] / median, err[keep] / median


def read_by_transitlm(build, path, scratch):
    par = os.path.join(scratch, "p.par")
    with open(par, "w") as f:
        f.write("rsun 0.1\n")
    out = os.path.join(scratch, "rows.tsv")
    subprocess.run([os.path.join(build, "transitlm-model"), par, path, out], check=True,
                   stderr=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    rows = np.loadtxt(out, comments="#", usecols=(0, 1, 2), ndmin=2)
    return rows[:, 0], rows[:, 1], rows[:, 2]


def main():
    build, files = sys.argv[1], sys.argv[2:]
    failed = 0
    with tempfile.TemporaryDirectory() as scratch:
        for path in files:
            t, f, e = expected(path)
            tt, ff, ee = read_by_transitlm(build, path, scratch)
            ok = len(t) == len(tt)
            if ok:
                dt = np.max(np.abs(t - tt)) if len(t) else 0.0
                df = np.max(np.abs(f - ff) / np.abs(f)) if len(t) else 0.0
                de = np.max(np.abs(e - ee) / e) if len(t) else 0.0
                ok = dt <= 2e-9 and df <= 1e-14 and de <= 1e-14
                print(f"{'ok  ' if ok else 'FAIL'} {os.path.basename(path)}: {len(t)} rows, "
                      f"max |dt| {dt:.2g} d, flux {df:.2g}, error {de:.2g} relative")
            else:
                print(f"FAIL {os.path.basename(path)}: {len(tt)} rows kept, astropy {len(t)}")
            failed += not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
