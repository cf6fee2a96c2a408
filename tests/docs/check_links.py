#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every relative link and image in README.md, docs/*.md and
examples/notifications/README.md must lead to a file that exists, and a
#anchor to a heading of the target (GitHub's rule: lower-case, punctuation
but - and _ dropped, spaces to -, repeats numbered -1, -2, ...).

usage: check_links.py [ROOT]   ROOT: the source tree (default) or an
installed /usr/share/doc/rs232-phone-home. Before checking ROOT it checks
itself on a small tree with known faults."""
import pathlib, re, sys, tempfile
from urllib.parse import unquote

FENCE = re.compile(r'^ {0,3}(```|~~~).*?^ {0,3}\1[^\n]*$', re.M | re.S)
CODE = re.compile(r'(`+)(?!`).+?(?<!`)\1(?!`)', re.S)
LINK = re.compile(r'!?\[((?:[^\[\]]|\[[^\]]*\])*)\]\(\s*<?([^)\s>]*)>?(?:\s+"[^"]*")?\s*\)')
REFDEF = re.compile(r'^ {0,3}\[[^\]]+\]:\s*<?([^\s>]+)', re.M)
ATX = re.compile(r'^ {0,3}#{1,6}[ \t]+(.*?)(?:[ \t]+#+)?[ \t]*$')
SETEXT = re.compile(r'^ {0,3}(=+|-+)[ \t]*$')


def prose(path):
    return FENCE.sub('', path.read_text(encoding='utf-8'))


def anchors(path):
    seen, found, previous = {}, set(), ''
    for line in prose(path).splitlines():
        m = ATX.match(line)
        text = m.group(1) if m else previous if SETEXT.match(line) and previous.strip() else None
        previous = '' if text is not None else line
        if text is None:
            continue
        text = LINK.sub(r'\1', text)
        slug = re.sub(r'[^\w\- ]', '', text.strip().lower()).replace(' ', '-')
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        found.add(slug if n == 0 else f'{slug}-{n}')
    return found


def check(root):
    root = pathlib.Path(root)
    files = [root / 'README.md', *sorted((root / 'docs').glob('*.md')),
             root / 'examples/notifications/README.md']
    faults, count = [], 0
    for md in files:
        if not md.is_file():
            faults.append(f'{md.relative_to(root)}: missing')
            continue
        text = CODE.sub('code', prose(md))
        targets = [m.group(2) for m in LINK.finditer(text)] + REFDEF.findall(text)
        for link in targets:
            if re.match(r'[a-zA-Z][\w+.-]*:|//', link):
                continue  # a URL, checked by nobody here
            count += 1
            name, _, anchor = unquote(link).partition('#')
            target = (md.parent / name).resolve() if name else md
            where = f'{md.relative_to(root)}: ({link})'
            if not target.exists():
                faults.append(f'{where}: no file {name}')
            elif anchor and target.suffix == '.md' and anchor not in anchors(target):
                faults.append(f'{where}: no heading #{anchor} in {target.name}')
    return faults, count


def self_test():
    with tempfile.TemporaryDirectory() as tmp:
        t = pathlib.Path(tmp)
        (t / 'docs').mkdir()
        (t / 'examples/notifications').mkdir(parents=True)
        (t / 'README.md').write_text('[a](docs/g.md#set-up-it_now) [b](docs/g.md#b-1) ![c](docs/none.png)\n'
                                     '`[d](gone.md)` [e](docs/g.md#nothing) [f](https://x.org/y)\n')
        (t / 'docs/g.md').write_text('# B\n## Set up: *it*_now!\n```\n# Fenced\n```\nB\n-\n[g](#fenced)\n')
        (t / 'examples/notifications/README.md').write_text('[h](../../docs/g.md#b)\n')
        got = sorted(check(t)[0])
    want = ['README.md: (docs/g.md#nothing): no heading #nothing in g.md',
            'README.md: (docs/none.png): no file docs/none.png',
            'docs/g.md: (#fenced): no heading #fenced in g.md']
    return [] if got == want else [f'self-test: found {got}, expected {want}']


if __name__ == '__main__':
    root = sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[2]
    faults = self_test()
    count = 0
    if not faults:
        faults, count = check(root)
    print('\n'.join(faults) or f'links: all {count} relative links in {root} lead somewhere')
    sys.exit(1 if faults else 0)
