#!/usr/bin/env python3
"""Mutation sample: applies each mutant of MUTANTS to a scratch copy of the tree, builds it and
runs the whole suite; a mutant is killed when the build or a test fails.

    tools/mutate.py [--work DIR] [--only LABEL...] [--module NAME] [--tests REGEX] [--jobs N]

--module keeps the mutants of one module (lustre, optimize, main); --tests runs only the tests
whose names match (ctest -R), for a quick look at what one test file catches; the score of the
sample is that of the whole suite.

A mutant names a snippet of code that must occur exactly once among the sources of src/ and
its replacement, so the sample survives files being split or moved. A snippet that no longer
occurs (or occurs twice) is reported as not applicable rather than guessed.
"""
import argparse
import pathlib
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent

# (label, module, snippet, replacement)
MUTANTS = [
    # light-curve model: elliptic integrals and occultation terms
    ("RF series term", "lustre", "- 3 * E2 * E3 / 44);", "- 3 * E2 * E3 / 40);"),
    ("occultation angle ratio", "lustre", "return ReArcCos(numerator / delta);",
     "return ReArcCos(numerator * delta);"),
    ("psi1 numerator sign", "lustre", "OccultAngle((delta * delta + 1 - r * r) / 2, delta)",
     "OccultAngle((delta * delta + 1 + r * r) / 2, delta)"),
    ("L0 lens term", "lustre", "return r * r * g.psi2 + g.psi1 - g.Q / 2;",
     "return r * r * g.psi2 + g.psi1 - g.Q / 3;"),
    ("D2L0 rim length", "lustre", "{ return 2 * r * psi2; }", "{ return r * psi2; }"),
    ("L2 chord factor", "lustre", "(delta * delta + 5 * (r * r) + 1) * g.Q / 8;",
     "(delta * delta + 5 * (r * r) + 1) * g.Q / 7;"),
    ("D2L2 sign", "lustre", "return 2 * r * ((delta * delta + r * r) * psi2 - Q);",
     "return 2 * r * ((delta * delta + r * r) * psi2 + Q);"),
    ("D2L1 factor", "lustre", "return 4 * r * e.sqq * e.Et;", "return 3 * r * e.sqq * e.Et;"),
    ("D1L3 antisymmetric switch", "lustre", "return kappa > 1.5L;", "return kappa > 0.5L;"),
    # light-curve model: orbit
    ("Kepler start side", "lustre", "x1 = (a > o) ? a : o;", "x1 = (a > o) ? o : a;"),
    ("Kepler Newton tolerance", "lustre",
     "if (!(std::fabs((x1 - x2) / x2) > kTolNewton)) break;",
     "if (!(std::fabs((x1 - x2) / x2) > kTolNewton * 0x1p20L)) break;"),
    ("Kepler bisection split", "lustre", "if (hi <= 4 * lo) return (a + b) / 2;",
     "if (hi <= 4 * lo) return (a + 3 * b) / 4;"),
    ("separation de sign", "lustre", "*de = (e - cE) * S / r", "*de = (e + cE) * S / r"),
    ("separation di factor", "lustre", "*di = su2 * r / (2 * S);", "*di = su2 * r / (3 * S);"),
    ("in front of the star", "lustre", "return su < 0.0L ? 1 : 0;", "return su > 0.0L ? 1 : 0;"),
    ("true anomaly branch", "lustre",
     "atan2l(sqrtl(1.0L + e) * sh, sqrtl(1.0L - e) * ch)",
     "atan2l(sqrtl(1.0L - e) * sh, sqrtl(1.0L + e) * ch)"),
    ("phase slope sign", "lustre", "2 * e * sn * ang - 2 * P * sp * cp * den",
     "2 * e * sn * ang + 2 * P * sp * cp * den"),
    ("phase start conjunction", "lustre", "MeanFromHalfTrue(kThreePiOver4 - w / 2, e, root_ratio)",
     "MeanFromHalfTrue(kThreePiOver4 + w / 2, e, root_ratio)"),
    ("mean from half true", "lustre", "const long double E = 2 * atanl(root_ratio * sh / ch);",
     "const long double E = 2 * atanl(sh / ch);"),
    # input files
    ("fit mark letter", "optimize", "if (text[i] == 'f') return true;",
     "if (text[i] == 'F') return true;"),
    ("lin inside inclination", "optimize", "text[at + name.size()] == 'a')",
     "text[at + name.size()] == 'b')"),
    ("period correction", "optimize", "if (tbl[kInPeriod] <= 0.0L) tbl[kInPeriod] = 1.0L;",
     "if (tbl[kInPeriod] < 0.0L) tbl[kInPeriod] = 1.0L;"),
    ("iteration default", "optimize", "tbl[kInIterations] = 100.0L;", "tbl[kInIterations] = 10.0L;"),
    ("exponent letter", "optimize", "c == 'E' || c == 'e' ||", "c == 'e' ||"),
    ("uncertainty positive", "optimize", "if (!(v[2] > 0.0L)) return refuse(",
     "if (!(v[2] >= 0.0L)) return refuse("),
    ("inclination to radians", "optimize", "(inp[kInInclination] * kPi) / 180.0L",
     "(inp[kInInclination] * kPi) / 181.0L"),
    ("periastron to radians", "optimize", "par[2] = par[2] * kDegToRad;", "par[2] = par[2];"),
    # fitting: design set
    ("linear basis", "optimize", "LMatr[k] = (l0.value + l0.value) / 3.0L - l1.value;",
     "LMatr[k] = (l0.value + l0.value) / 2.0L - l1.value;"),
    ("quadratic basis", "optimize",
     "LMatr[k] = 11.0L * l0.value / 6.0L - (l1.value + l1.value) - l2.value;",
     "LMatr[k] = 11.0L * l0.value / 6.0L - (l1.value + l1.value) + l2.value;"),
    ("square-root basis", "optimize", "LMatr[k] = 4.0L * l0.value / 5.0L - l3.value;",
     "LMatr[k] = 3.0L * l0.value / 5.0L - l3.value;"),
    ("rsun row", "optimize", "-(Gx * dl + Grho * Rp_) / rq_;", "-(Gx * dl - Grho * Rp_) / rq_;"),
    ("phase row sign", "optimize", ": -(Gx * ddlf) / R_;", ": (Gx * ddlf) / R_;"),
    ("mean anomaly", "optimize", "const long double M = (tp + tp) * kPi - phi0_;\n        if (screen_",
     "const long double M = (tp + tp) * kPi + phi0_;\n        if (screen_"),
    ("exposed mean anomaly", "optimize",
     "const long double M = (tp + tp) * kPi - phi0_;\n    if (!transit_",
     "const long double M = (tp + tp) * kPi + phi0_;\n    if (!transit_"),
    ("screen contact", "optimize", "(R_ + Rp_) * (1.0L + kContactSlack)", "(R_ - Rp_) * (1.0L + kContactSlack)"),
    ("screen behind", "optimize", "return rsu > slack || delta > contact_ + slack;",
     "return rsu > -slack || delta > contact_ + slack;"),
    # fitting: linear fit, residual, step, uncertainties
    ("quadratic disc weight", "optimize", "-0.52359877559829887307L", "-0.62359877559829887307L"),
    ("uniform term moves to data", "optimize", "block->c[p][0] = data[3 * i + 1] - B[0];",
     "block->c[p][0] = data[3 * i + 1] - 0.5L * B[0];"),
    ("law normalisation", "optimize", "s = s / kPi;  // s = 1/S", "s = s * kPi;  // s = 1/S"),
    ("residual terms", "optimize", "for (int k = 1; k < ldnum; ++k) s = B[k] * linf[k - 1] + s;",
     "for (int k = 1; k + 1 < ldnum; ++k) s = B[k] * linf[k - 1] + s;"),
    ("residual mean", "optimize", "return res / pointnum;", "return res / (pointnum + 1);"),
    ("damping", "optimize", "LMatr[a * n + a] = LMatr[a * n + a] + lambda * mu;",
     "LMatr[a * n + a] = LMatr[a * n + a] + 2 * lambda * mu;"),
    ("eccentricity floor", "optimize", "if (par[1] < 0.0L) par[1] = 0.0L;", ";"),
    ("rsun reset", "optimize", "par[4] = 0.09;", "par[4] = 0.08;"),
    ("best tie", "optimize", "return i == 1 || m < min ||", "return i == 1 || m <= min ||"),
    ("covariance scale", "optimize",
     "long double cov[kMaxUnknowns * kMaxUnknowns];\n    const long double scale = chi2 > 1.0L ? chi2 : 1.0L;",
     "long double cov[kMaxUnknowns * kMaxUnknowns];\n    const long double scale = 1.0L;"),
    ("omega sigma degrees", "optimize", "grad[unknown[slot]] = slot == 2 ? deg : 1.0L;",
     "grad[unknown[slot]] = slot == 1 ? deg : 1.0L;"),
    ("inclination sigma half width", "optimize",
     "std::acos(std::sqrt(hi))) / 2.0L", "std::acos(std::sqrt(hi))) / 4.0L"),
    ("phase of tshift", "optimize", "const long double X = (2.0L * tshift * kPi) / period;",
     "const long double X = (2.0L * tshift * kPi) / period + 1e-9L;"),
    ("normal matrix mirror", "optimize", "LMatr[(j - 1) * n + (i - 1)] = sums[e];", ";"),
    # algebra
    ("rotation sign", "algebra", "at(j, k) = u * c - v * s;", "at(j, k) = u * c + v * s;"),
    ("forward substitution", "algebra", "for (std::size_t j = 0; j < i; ++j) sum = sum - x[j] * at(i, j);",
     "for (std::size_t j = 0; j + 1 < i; ++j) sum = sum - x[j] * at(i, j);"),
    ("pivot division", "algebra", "x[i] = x[i] / at(i, i);", "x[i] = x[i] / (at(i, i) * (1 + 0x1p-50L));"),
    ("singular zero pivot", "algebra", "if (at(i, i) == 0.0L) {", "if (at(i, i) == 1.0L) {"),
    ("rotation skip", "algebra", "if (s == 0.0L) continue;", "if (s == 0.0L) break;"),
    # Driver
    ("fitted mark", "main", "std::fprintf(out, \"fitted\");", "std::fprintf(out, \"fit\");"),
    ("chi-square digits", "main", "\"\\nchi_square_reduced  %.19Lg %s\"", "\"\\nchi_square_reduced  %.18Lg %s\""),
    ("best record", "main", "if (improves_best(start_competes ? i + 1 : i, m, r.best_chi2)) {",
     "if (improves_best(start_competes ? i + 1 : i, m, r.best_chi2) || i == 2) {"),
    ("uncertainty period", "main", "PrintReport(stdout, in, unc.par, unc.ld, unc.period, f.chi2,",
     "PrintReport(stdout, in, unc.par, unc.ld, f.period, f.chi2,"),
    # the period's uncertainties and the command-line cases
    ("period sigma", "optimize", "gperiod[unknown[kInPeriod]] = 1.0L;", "gperiod[unknown[kInPeriod]] = 2.0L;"),
    ("period epoch gradient", "optimize", "if (fit_period) grad[unknown[kInPeriod]] = -epoch;",
     "if (fit_period) grad[unknown[kInPeriod]] = epoch;"),
    ("held law normalisation", "optimize", "scale -= kLf[term] * s.beta[k];",
     "scale += kLf[term] * s.beta[k];"),
    ("held value", "optimize", "s.beta[k] = model.held_value[term] / norm;",
     "s.beta[k] = model.held_value[term] / kPi;"),
    ("model output same as parameters", "main", "if (same_file(output, argv[1])) {",
     "if (same_file(output, argv[2])) {"),
    ("model output named", "main", "std::printf(\"Output file is not specified.\\n\");",
     "std::printf(\"Output file is not specified.\");"),
    ("result file argument count", "main", "argc == 4 ? argv[3] : nullptr", "argc >= 4 ? argv[3] : nullptr"),
]


def sources(tree):
    return [p for p in (tree / "src").rglob("*") if p.suffix in (".cpp", ".h")]


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--work", default="/tmp/transitlm-mutants")
    ap.add_argument("--only", nargs="*")
    ap.add_argument("--skip", nargs="*", default=[], help="labels already scored")
    ap.add_argument("--module")
    ap.add_argument("--tests")
    ap.add_argument("--jobs", default="2")
    args = ap.parse_args()
    work = pathlib.Path(args.work)
    tree = work / "tree"
    if tree.exists():
        shutil.rmtree(tree)
    # Fresh modification times (copy, not copy2): a build directory left by an interrupted run
    # holds objects of a mutant, which sources with their old times would not rebuild.
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(".git", "build*"),
                    copy_function=shutil.copy)
    build = work / "build"
    # Without link-time optimisation of the Python module: each mutant relinks it.
    if run(["cmake", "-S", str(tree), "-B", str(build), "-DPython3_EXECUTABLE=" + sys.executable,
            "-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF"], tree, 600) != 0:
        sys.exit("the unmutated tree does not configure")
    if run(["cmake", "--build", str(build), "-j", args.jobs], tree, 1800) != 0:
        sys.exit("the unmutated tree does not build")
    if run(["ctest", "-j", args.jobs], build, 1800) != 0:
        sys.exit("the unmutated suite does not pass")

    killed = survived = skipped = 0
    for label, module, snippet, replacement in MUTANTS:
        if ((args.only and label not in args.only) or (args.module and module != args.module) or
                label in args.skip):
            continue
        hits = [(p, p.read_text()) for p in sources(tree)]
        hits = [(p, t) for p, t in hits if snippet in t]
        if len(hits) != 1 or hits[0][1].count(snippet) != 1:
            print(f"n/a       {module:9} {label}", flush=True)
            skipped += 1
            continue
        path, text = hits[0]
        path.write_text(text.replace(snippet, replacement))
        start = time.time()
        failed = run(["cmake", "--build", str(build), "-j", args.jobs], tree, 1800) != 0
        if not failed:
            select = ["-R", args.tests] if args.tests else []
            failed = run(["ctest", "-j", args.jobs, "--stop-on-failure", "--timeout", "300"] + select,
                         build, 1800) != 0
        path.write_text(text)
        status = "killed" if failed else "SURVIVED"
        killed += failed
        survived += not failed
        print(f"{status:9} {module:9} {label} ({time.time() - start:.0f} s)", flush=True)
    run(["cmake", "--build", str(build), "-j", args.jobs], tree, 1800)
    total = killed + survived
    print(f"score: {killed}/{total} killed ({100.0 * killed / max(total, 1):.0f} %), "
          f"{skipped} not applicable")


if __name__ == "__main__":
    main()
