#!/usr/bin/env python3
"""Lines of tests against lines of code: non-blank lines that hold more than a comment (or a
docstring), of the .cpp, .h and .py files under tests/ (fuzz harnesses included) against those
under src/, tools/, bench/, python/ and examples/*.py; then of the C++ files alone (.cpp and .h
under tests/ against src/, tools/ and bench/).

    tools/count_lines.py [-v]      (-v: one line per file)
"""
import io
import pathlib
import sys
import tokenize

ROOT = pathlib.Path(__file__).resolve().parent.parent
SUFFIXES = (".cpp", ".h", ".py")


def cpp_lines(text):
    """Lines with code outside comments; strings and character literals are code."""
    count, in_block = 0, False
    for line in text.splitlines():
        code, i, quote = False, 0, None
        while i < len(line):
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    in_block, i = False, i + 2
                    continue
            elif quote:
                code = True
                if c == "\\":
                    i += 1
                elif c == quote:
                    quote = None
            elif line.startswith("//", i):
                break
            elif line.startswith("/*", i):
                in_block, i = True, i + 2
                continue
            elif not c.isspace():
                code = True
                if c in "\"'":
                    quote = c
            i += 1
        count += code
    return count


def py_lines(text):
    """Lines that hold a token other than a comment or a docstring (a string that is a whole
    statement)."""
    lines, prev = set(), tokenize.NEWLINE
    skip = (tokenize.COMMENT, tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT,
            tokenize.ENDMARKER)
    for tok in tokenize.generate_tokens(io.StringIO(text).readline):
        starts_statement = prev in (tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT)
        if tok.type not in skip:
            prev = tok.type
        if tok.type in skip or (tok.type == tokenize.STRING and starts_statement):
            continue
        lines.update(range(tok.start[0], tok.end[0] + 1))
    return len(lines)


def count(paths, verbose):
    total = 0
    for p in sorted(paths):
        text = p.read_text()
        n = py_lines(text) if p.suffix == ".py" else cpp_lines(text)
        if verbose:
            print(f"{n:6} {p.relative_to(ROOT)}")
        total += n
    return total


def files(*dirs):
    return [p for d in dirs for p in (ROOT / d).rglob("*") if p.suffix in SUFFIXES and p.is_file()]


def main():
    verbose = "-v" in sys.argv[1:]
    tests = count(files("tests"), verbose)
    code = count(files("src", "tools", "bench", "python") + list((ROOT / "examples").glob("*.py")),
                 verbose)
    print(f"tests {tests}  code {code}  ratio {100.0 * tests / code:.1f} %")
    # C++ alone: the .cpp and .h files under tests/ against those under src/, tools/ and bench/.
    cpp = [p for p in files("tests") if p.suffix != ".py"]
    tests = count(cpp, False)
    code = count([p for p in files("src", "tools", "bench") if p.suffix != ".py"], False)
    print(f"C++ alone: tests {tests}  code {code}  ratio {100.0 * tests / code:.1f} %")


if __name__ == "__main__":
    main()
