#!/usr/bin/env python3
"""check_json_result.py RESULT.json RESULT.txt: prints each line that the text result of a fit
should hold, given its JSON result, and does not (nothing when the two agree digit for digit).
Run by tests/cli_test.cpp on a fit of the example with rednoise and a zero-point."""
import json, sys
d = json.load(open(sys.argv[1]), parse_float=str, parse_int=str)
text = "\n" + open(sys.argv[2]).read()
assert (d["points"], d["iterations"], d["converged"]) == ("6912", "3", False)
name = lambda k: "incl" if k == "inclination" else k
par = [(k, d["parameters"][k]) for k in "tshift eccentr periastr inclination rsun rplanet period".split()]
ld = list(d["limb_darkening"].items()) + [("zeropoint", d["zeropoint"])]
want = ["chi_square_reduced  %s " % d["chi_square_reduced"]]
want += ["%s%s%s %s" % (k, "  " if k == "period" else "   ", v["value"], "fitted" * v["fitted"]) for k, v in par]
want += ["%s  %s %s" % (k, v["value"], "fixed" * v.get("fixed", False)) for k, v in ld]
assert all(v["sigma"] == "0" for k, v in par if not v["fitted"]) and len(d["derived"]) == 7
for k, v in [(k, v) for k, v in par if v["fitted"]] + ld + list(d["derived"].items()):
    want.append("%s  %s  %s" % (name(k), v["value"], v["sigma"]))
c = d["correlation"]
assert len(c["names"]) == 7
want += [name(k) + "  " + " ".join(row) for k, row in zip(c["names"], c["matrix"])]
b, p = d["beta"], d["permutation"]
want.append("1-sigma uncertainties scaled by the time-averaging beta %s (correlated noise):" % b["value"])
want.append("1-sigma uncertainties from residual permutation over %s shifts:" % p["shifts"])
for s in (b["sigma"], p["sigma"]):
    want += ["%s   %s fitted" % (k, v) for k, v in s["parameters"].items()]
    want += ["%s  %s " % (k, v) for k, v in list(s["limb_darkening"].items()) + [("zeropoint", s["zeropoint"])]]
print("".join(w + "\n" for w in want if "\n" + w + "\n" not in text), end="")
