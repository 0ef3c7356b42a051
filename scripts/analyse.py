#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""The static analysis of .ci/run, over the product code (not the tests,
benchmarks or fuzz targets) as a build folder compiles it: clang-tidy with
the checks of .clang-tidy, cppcheck's warning, performance and portability
checks, and gcc's -fanalyzer. Prints what they find and exits with status 1
if they find anything: a finding is mended, or suppressed at its line with
the reason.

  scripts/analyse.py [BUILD]   (default: build, configured with g++)
"""

import json
import os
import shlex
import subprocess
import sys
from pathlib import Path

from mutate import COVERAGE, ROOT, product_directory


def product_commands(build):
    """Each compile command of a product source in the build's database, as
    (source, directory, arguments); a source built twice (the thread
    library's portable switch) comes twice."""
    entries = json.loads((build / 'compile_commands.json').read_text())
    for entry in entries:
        source = Path(entry['file']).resolve()
        try:
            rel = source.relative_to(ROOT).as_posix()
        except ValueError:
            continue
        if product_directory(rel) is not None and source.suffix in ('.c', '.cpp'):
            yield rel, entry['directory'], shlex.split(entry['command'])


def run(name, command, **kwargs):
    print(f'-- {name}', flush=True)
    done = subprocess.run(command, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)
    # clang-tidy counts the warnings it hid in system headers: noise.
    out = '\n'.join(line for line in done.stdout.split('\n') if not line.endswith('warnings generated.'))
    if out.strip():
        print(out.strip())
    return done.returncode == 0 and not out.strip()


def main():
    build = (ROOT / (sys.argv[1] if len(sys.argv) > 1 else 'build')).resolve()
    if not (build / 'compile_commands.json').exists():
        print(f'{build} has no compile_commands.json: configure it first', file=sys.stderr)
        return 2
    commands = list(product_commands(build))
    sources = sorted({rel for rel, _, _ in commands})
    clean = True

    clean &= run('clang-tidy', ['clang-tidy', '--quiet', '-p', str(build), *sources])

    filters = [f'--file-filter={d}/*' for d in COVERAGE]
    clean &= run('cppcheck', ['cppcheck', '--quiet', '--inline-suppr', '--error-exitcode=1',
                              '--enable=warning,performance,portability',
                              f'--project={os.path.relpath(build / "compile_commands.json", ROOT)}', *filters])

    # Unoptimised: at -O2 the analyser sees code the optimiser has already
    # simplified, and misses what it would report on the source.
    print('-- gcc -fanalyzer', flush=True)
    for rel, directory, args in commands:
        out = args.index('-o')
        args = args[:out + 1] + ['/dev/null'] + args[out + 2:] + ['-O0', '-fanalyzer']
        done = subprocess.run(args, cwd=directory, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0 or done.stdout.strip():
            print(done.stdout.strip() or f'{rel}: the compiler failed')
            clean = False

    print('nothing found' if clean else 'findings above')
    return 0 if clean else 1


if __name__ == '__main__':
    sys.exit(main())
