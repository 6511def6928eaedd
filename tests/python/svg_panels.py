#!/usr/bin/env python3
"""svg_panels.py FIGURE.svg: the figure of transitlm-model as Python's XML parser reads it (a
document that is not well formed fails, and so does a root that is no SVG element). Prints per
panel the markers in groups of class "points" and the drawing commands M of the paths of class
"errorbars" and "raw" and L of class "model", then the text of the whole figure, entities
decoded. Run by tests/model_cli_test.cpp."""
import sys, xml.etree.ElementTree as E
r = E.parse(sys.argv[1]).getroot()
ns = "{http://www.w3.org/2000/svg}"
assert r.tag == ns + "svg"
for pid in ("upper-panel", "lower-panel"):
    p = next(e for e in r.iter() if e.get("id") == pid)
    d = lambda c, m: sum(e.get("d", "").count(m) for e in p.iter(ns + "path") if e.get("class") == c)
    print(sum(c.tag == ns + "circle" for g in p.iter() if g.get("class") == "points" for c in g),
          d("errorbars", "M"), d("raw", "M"), d("model", "L"))
sys.stdout.write("".join(r.itertext()))
