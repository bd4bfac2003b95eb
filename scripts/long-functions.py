#!/usr/bin/env python3
"""Lists the functions under the given folders (default host/src) that are longer
than a limit (default 80 lines, from the signature to the closing brace) and
exits 1 when there is one. Data tables written as functions are exempt below.
A brace-matching pass over the text with comments, literals and preprocessor
lines blanked, so it needs no build and reads the Windows sources too; lambdas
count towards the function that holds them.

    python3 scripts/long-functions.py [--limit N] [folder...]
"""
import argparse
import pathlib
import re
import sys

# (file, function): bodies that are one table entry a line.
DATA_TABLES = {
    ('host/src/input/linux/X11KeyTable.cpp', 'buildTable'),
}


def blank(text, start, end):
    return re.sub(r'[^\n]', ' ', text[start:end])


def strip_comments_and_literals(text):
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
            out.append(' ' * (j - i))
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            out.append(blank(text, i, j))
        elif text.startswith('R"', i) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == '_')):
            delimiter = re.match(r'R"([^(]*)\(', text[i:]).group(1)
            j = text.find(')' + delimiter + '"', i) + len(delimiter) + 2
            out.append('""' + blank(text, i + 2, j))
        elif c in '"\'':
            if c == "'" and i > 0 and text[i - 1].isalnum() and text[i + 1:i + 2].isalnum():
                out.append(c)  # a digit separator
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == '\\' else 1
            j += 1
            out.append(c + ' ' * (j - i - 2) + c)
        else:
            j = i + 1
            out.append(c)
        i = j
    text = ''.join(out)
    return re.sub(r'^[ \t]*#.*$', lambda m: ' ' * len(m.group(0)), text, flags=re.M)


def scope_kind(header, outermost):
    """What a '{' opens, judged from the text since the previous ';', '{' or '}'."""
    if not outermost:
        return 'block'
    if re.search(r'\bnamespace\b|\bextern\s*""', header):
        return 'namespace'
    if re.search(r'\b(class|struct|union)\b', header) and '(' not in header:
        return 'class'
    if '(' in header and not header.rstrip().endswith('='):
        return 'function'
    return 'block'


def functions(path):
    """Yields (first line, last line, signature) of each function defined in the file."""
    text = strip_comments_and_literals(path.read_text(errors='replace'))
    stack = []
    start = 0
    for i, c in enumerate(text):
        if c == '{':
            header = text[start:i]
            outermost = all(kind in ('namespace', 'class') for kind, _, _ in stack)
            first = text.count('\n', 0, i - len(header.lstrip())) + 1
            stack.append((scope_kind(header, outermost), first, ' '.join(header.split())))
            start = i + 1
        elif c == '}':
            if stack:
                kind, first, signature = stack.pop()
                if kind == 'function':
                    yield first, text.count('\n', 0, i) + 1, signature
            start = i + 1
        elif c == ';':
            start = i + 1


def exempt(path, signature):
    name = re.search(r'([\w:~]+)\s*\(', signature)
    return bool(name) and (path.as_posix(), name.group(1).split('::')[-1]) in DATA_TABLES


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--limit', type=int, default=80)
    parser.add_argument('folders', nargs='*', default=['host/src'])
    args = parser.parse_args()
    found = []
    for folder in args.folders:
        for path in sorted(pathlib.Path(folder).rglob('*')):
            if path.suffix not in ('.cpp', '.h'):
                continue
            for first, last, signature in functions(path):
                length = last - first + 1
                if length > args.limit and not exempt(path, signature):
                    found.append((length, f'{path.as_posix()}:{first}', signature[:120]))
    for length, place, signature in sorted(found, reverse=True):
        print(f'{length:5}  {place}  {signature}')
    return 1 if found else 0


if __name__ == '__main__':
    sys.exit(main())
