#!/usr/bin/env python3
# SPDX-License-Identifier: ISC
"""Plants one small fault at a time in the product's sources and counts how
many of them the tests catch.

Each fault is a one-line change: a comparison turned round or moved by one,
&& for ||, a ! dropped, true for false, + for -, a constant plus one, or a
call left out. For each, the file is changed, the build folder rebuilt
incrementally, and the tests that cover the file's directory run one at a
time (a time limit each) until the first that fails; then the file is put
back. A fault is caught (a failure or a time limit reached, either seen
twice so that a test failing for a loaded machine is not taken for a catch),
missed, does not compile, or compiles to the very same code as the source
(the preprocessor dropped it, or the compiler proved it the same) and
cannot be caught by any test. The score of a directory is caught / (caught
+ missed).

Faults listed in scripts/mutate_equivalent.txt change nothing a test could
see; they are skipped.

  scripts/mutate.py                       20 faults drawn with seed 1
  scripts/mutate.py --count 240 --seed 7  240 faults, each directory its share
  scripts/mutate.py --file wren/main.cpp  every fault of one file
  scripts/mutate.py --list --dir duct     the faults there are, without running

Interrupted, it puts the file back before it ends; killed outright, it puts
it back on its next start.
"""

import argparse
import ctypes
import fcntl
import hashlib
import json
import os
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
EQUIVALENTS = ROOT / 'scripts' / 'mutate_equivalent.txt'

# Each product directory and the tests that cover it: a test program and a
# filter of its tests. job_control_test drives every program through a
# shell; its rows are named after the program.
COVERAGE = {
    'timeslice': [('timeslice_test', '*'), ('job_control_test', '*/timeslice_*'),
                  ('timeslice_stress_test', '*')],
    'wren': [('wren_test', '*'), ('job_control_test', '*/wren_*')],
    'lib/pipeline': [('pipeline_test', '*'), ('wren_test', '*'), ('job_control_test', '*/wren_*')],
    'slurp': [('slurp_test', '*'), ('slurp_alloc_test', '*'), ('slurp_huge_test', '*')],
    'duct': [('duct_test', '*')],
    'binview': [('binview_test', '*'), ('job_control_test', '*/binview_*')],
    'stack': [('stack_test', '*'), ('job_control_test', '*/stack_*')],
    'lib/lwp': [('lwp_test', '*'), ('lwp_portable_test', '*'), ('ladder_test', '*'),
                ('job_control_test', '*/ladder_*')],
    'ladder': [('ladder_test', '*'), ('job_control_test', '*/ladder_*')],
}
SOURCE_SUFFIXES = ('.cpp', '.c', '.h')

# A test gets this many times as long as it took on the unchanged sources,
# and never less than the floor. A test that would wait out one of the
# terminal tests' 10-second expectations is hung on what the fault broke, and
# each such catch is seen twice, so the floor stays below those 10 seconds.
LIMIT_FACTOR = 5
LIMIT_FLOOR = 5.0

KEYWORDS = {'return', 'if', 'while', 'for', 'switch', 'case', 'delete', 'throw', 'sizeof', 'new',
            'static_assert', 'do', 'else', 'goto', 'using', 'typedef'}


@dataclass
class Fault:
    path: str      # relative to the root
    line: int      # from 1
    kind: str
    before: str    # the whole line, as it is
    after: str     # the whole line, changed

    @property
    def directory(self):
        return product_directory(self.path)

    def key(self):
        return (self.path, self.before.strip(), self.after.strip())

    def where(self):
        return f'{self.path}:{self.line}'


def product_directory(path):
    for directory in COVERAGE:
        if path == directory or path.startswith(directory + '/'):
            return directory
    return None


# ---------------------------------------------------------------- finding faults

def blank_out(text):
    """The text with comments and the insides of string and character
    literals replaced by blanks (newlines kept), so that the faults are looked
    for in code alone, at the same columns."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != '\n':
                out[k] = ' '

    while i < n:
        c = text[i]
        if text.startswith('//', i):
            j = text.find('\n', i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith('/*', i):
            j = text.find('*/', i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == 'R' and text.startswith('"', i + 1) and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == '_')):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            if not m:
                i += 1
                continue
            end = text.find(')' + m.group(1) + '"', i)
            end = n if end < 0 else end + len(m.group(1)) + 2
            blank(i + 2, end - 1)
            i = end
        elif c in '"\'':
            j = i + 1
            while j < n and text[j] != c and text[j] != '\n':
                j += 2 if text[j] == '\\' else 1
            blank(i + 1, min(j, n))
            i = j + 1
        elif c.isdigit() or (c == '.' and i + 1 < n and text[i + 1].isdigit()):
            # A number, with its digit separators (10'000), which are not quotes.
            j = i
            while j < n and (text[j].isalnum() or text[j] in "_.'"
                             or (text[j] in '+-' and text[j - 1] in 'eEpP' and not text[i:j].lower().startswith('0x'))):
                j += 1
            i = j
        elif c.isalpha() or c == '_':
            j = i
            while j < n and (text[j].isalnum() or text[j] == '_'):
                j += 1
            i = j
        else:
            i += 1
    return ''.join(out)


def code_lines(text):
    """(index, original line, blanked line) for each line of code: not a
    preprocessor line, nor a compile-time check."""
    lines = text.split('\n')
    blanked = blank_out(text).split('\n')
    in_directive = False
    for index, (line, code) in enumerate(zip(lines, blanked)):
        directive = in_directive or code.lstrip().startswith('#')
        in_directive = directive and code.rstrip().endswith('\\')
        if directive or 'static_assert' in code or not code.strip():
            continue
        yield index, line, code


def literal_plus_one(token):
    m = re.fullmatch(r"(0[xX])([0-9a-fA-F']+)([uUlL]*)|([0-9']+)([uUlL]*)", token)
    if not m:
        return None
    if m.group(1):
        digits = m.group(2).replace("'", '')
        return m.group(1) + format(int(digits, 16) + 1, 'x' if digits.islower() or digits.isdigit() else 'X') + m.group(3)
    digits = m.group(4).replace("'", '')
    if len(digits) > 1 and digits.startswith('0'):
        return '0' + format(int(digits, 8) + 1, 'o') + m.group(5)
    return str(int(digits) + 1) + m.group(5)


def balanced(code):
    depth = 0
    for c in code:
        depth += {'(': 1, ')': -1}.get(c, 0)
        if depth < 0:
            return False
    return depth == 0


CALL = re.compile(r'^(\s*)((?:\(void\)!?\s*)?([A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*)\s*\(.*\);)\s*$')
STATEMENT_END = re.compile(r'([;{}):]|\belse|\bdo)\s*$')


def faults_in(path):
    """Every fault of one source file, in line order."""
    text = (ROOT / path).read_text()
    found = []

    def add(index, line, kind, start, end, replacement):
        found.append(Fault(path, index + 1, kind, line, line[:start] + replacement + line[end:]))

    previous_code = ''
    for index, line, code in code_lines(text):
        for m in re.finditer(r'(?<=\s)(==|!=|<=|>=|<|>)(?=\s)', code):
            op = m.group(1)
            turned = {'==': '!=', '!=': '==', '<': '>=', '>=': '<', '>': '<=', '<=': '>'}[op]
            add(index, line, 'comparison turned', m.start(), m.end(), turned)
            moved = {'<': '<=', '<=': '<', '>': '>=', '>=': '>'}.get(op)
            if moved:
                add(index, line, 'boundary moved', m.start(), m.end(), moved)
        for m in re.finditer(r'(?<=\s)(&&|\|\|)(?=\s)', code):
            add(index, line, 'and/or swapped', m.start(), m.end(), '||' if m.group(1) == '&&' else '&&')
        for m in re.finditer(r'(?<=\s)([+-])(?=\s)', code):
            add(index, line, 'plus/minus swapped', m.start(), m.end(), '-' if m.group(1) == '+' else '+')
        for m in re.finditer(r'(?<!\(void\))!(?!=)', code):
            add(index, line, 'not dropped', m.start(), m.end(), '')
        for m in re.finditer(r'\b(true|false)\b', code):
            add(index, line, 'true/false swapped', m.start(), m.end(), 'false' if m.group(1) == 'true' else 'true')
        for m in re.finditer(r"(?<![\w.'])(0[xX][0-9a-fA-F']+|[0-9][0-9']*)([uUlL]*)(?![\w.'])", code):
            plus = literal_plus_one(m.group(0))
            if plus is not None:
                add(index, line, 'constant plus one', m.start(), m.end(), plus)
        m = CALL.match(code)
        if (m and m.group(3).split('::')[-1] not in KEYWORDS and balanced(m.group(2))
                and STATEMENT_END.search(previous_code)):
            add(index, line, 'call left out', m.start(2), m.end(2), '{}')
        previous_code = code
    return found


def product_sources(directories):
    sources = []
    for directory in directories:
        for path in sorted((ROOT / directory).rglob('*')):
            rel = path.relative_to(ROOT).as_posix()
            if path.suffix in SOURCE_SUFFIXES and product_directory(rel) == directory:
                sources.append(rel)
    return sources


def read_equivalents():
    """The known equivalent faults: blocks of a line `path: reason`, then
    `- line as it is` and `+ line changed`."""
    known = {}
    if not EQUIVALENTS.exists():
        return known
    lines = EQUIVALENTS.read_text().split('\n')
    for i, line in enumerate(lines):
        if line.startswith('- ') and i > 0 and i + 1 < len(lines) and lines[i + 1].startswith('+ '):
            head = lines[i - 1]
            path, _, reason = head.partition(': ')
            known[(path.strip(), line[2:].strip(), lines[i + 1][2:].strip())] = reason.strip()
    return known


def draw(faults, count, seed):
    """`count` faults drawn at random: each directory gets a share of the
    count in proportion to its faults, and at least a twentieth of it."""
    rng = random.Random(seed)
    by_dir = {}
    for fault in faults:
        by_dir.setdefault(fault.directory, []).append(fault)
    total = len(faults)
    floor = max(1, count // 20)
    shares = {d: min(len(fs), max(floor, round(count * len(fs) / total))) for d, fs in by_dir.items()}
    # Rounding and the floor may miss the count; the largest shares give or take.
    order = sorted(shares, key=lambda d: -len(by_dir[d]))
    while sum(shares.values()) > count and any(shares[d] > floor for d in order):
        for d in order:
            if sum(shares.values()) > count and shares[d] > floor:
                shares[d] -= 1
    while sum(shares.values()) < count and any(shares[d] < len(by_dir[d]) for d in order):
        for d in order:
            if sum(shares.values()) < count and shares[d] < len(by_dir[d]):
                shares[d] += 1
    chosen = []
    for d in sorted(by_dir):
        chosen += rng.sample(by_dir[d], shares[d])
    # File by file, so that a file is rebuilt unchanged only once it is done.
    return sorted(chosen, key=lambda f: (f.path, f.line, f.kind, f.after))


# ---------------------------------------------------------------- putting files back

class Restorer:
    """Keeps the original of the file being changed beside the build, so that
    it is put back however the run ends: by this run, or by the next one if
    this one was killed outright."""

    def __init__(self, build):
        self.dir = build / 'mutate'
        self.dir.mkdir(parents=True, exist_ok=True)
        self.saved = self.dir / 'original'
        self.name = self.dir / 'original.path'

    def recover(self, quietly=False):
        if self.name.exists():
            path = ROOT / self.name.read_text()
            scratch_of(path).unlink(missing_ok=True)
            if self.saved.exists():
                if not quietly:
                    print(f'putting back {path}, left changed by a run that was killed', file=sys.stderr)
                write(path, self.saved.read_bytes())
            self.name.unlink()
        if self.saved.exists():
            self.saved.unlink()

    def change(self, fault):
        path = ROOT / fault.path
        original = path.read_bytes()
        with held_signals():
            self.saved.write_bytes(original)
            self.name.write_text(fault.path)
            lines = original.decode().split('\n')
            assert lines[fault.line - 1] == fault.before, f'{fault.where()} has changed'
            lines[fault.line - 1] = fault.after
            write(path, '\n'.join(lines).encode())

    def put_back(self):
        with held_signals():
            self.recover(quietly=True)


def scratch_of(path):
    return path.with_name(f'.{path.name}.mutate')


def write(path, data):
    """Replaces the file whole, so that an interruption leaves it either as it
    was or as it is meant to be. A fresh modification time makes the build
    compile it again."""
    scratch = scratch_of(path)
    scratch.write_bytes(data)
    shutil.copymode(path, scratch)
    os.replace(scratch, path)


class held_signals:
    """Holds the signals that would end the run while a file is written."""
    SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}

    def __enter__(self):
        self.old = signal.pthread_sigmask(signal.SIG_BLOCK, self.SIGNALS)

    def __exit__(self, *exc):
        signal.pthread_sigmask(signal.SIG_SETMASK, self.old)


def end_by_interrupt(signum, frame):
    raise KeyboardInterrupt


# ---------------------------------------------------------------- building

class Build:
    def __init__(self, folder):
        self.folder = folder
        self.objects = {}
        commands = folder / 'compile_commands.json'
        if commands.exists():
            for entry in json.loads(commands.read_text()):
                args = shlex.split(entry['command'])
                if '-o' in args:
                    obj = Path(entry['directory']) / args[args.index('-o') + 1]
                    self.objects.setdefault(Path(entry['file']).resolve(), []).append(obj)
        self.digests = {}

    def make(self, targets):
        run = subprocess.run(['cmake', '--build', str(self.folder), '--target', *targets],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        return run.returncode == 0, run.stdout

    def code_digest(self, obj):
        """The object's digest without its debugging information, which holds
        the columns a change of one line may shift."""
        with tempfile.NamedTemporaryFile(suffix='.o') as stripped:
            subprocess.run(['objcopy', '--strip-debug', '--remove-section=.comment', str(obj), stripped.name],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return hashlib.sha256(Path(stripped.name).read_bytes()).hexdigest()

    def remember(self, path):
        for obj in self.objects.get((ROOT / path).resolve(), []):
            if obj.exists() and obj not in self.digests:
                self.digests[obj] = self.code_digest(obj)

    def same_code(self, path, since):
        """Whether every object compiled from `path` after `since` holds the
        code it held unchanged; False if none was."""
        rebuilt = [o for o in self.objects.get((ROOT / path).resolve(), [])
                   if o in self.digests and o.exists() and o.stat().st_mtime >= since]
        return bool(rebuilt) and all(self.code_digest(o) == self.digests[o] for o in rebuilt)


# ---------------------------------------------------------------- testing

@dataclass
class Test:
    program: str
    name: str
    seconds: float = 0.0
    catches: int = 0

    def label(self):
        return f'{self.program}:{self.name}'


def list_tests(build, program, pattern):
    exe = build.folder / 'tests' / program
    out = subprocess.run([str(exe), '--gtest_list_tests', f'--gtest_filter={pattern}'],
                         stdout=subprocess.PIPE, text=True, check=True).stdout
    tests, suite = [], None
    for line in out.split('\n'):
        if not line.strip() or line.startswith('Running main()'):
            continue
        if not line.startswith(' '):
            suite = line.strip()
        else:
            name = line.split('#')[0].strip()
            if not name.startswith('DISABLED_') and not suite.startswith('DISABLED_'):
                tests.append(Test(program, suite + name))
    return tests


class Runner:
    """Runs one test at a time in a scratch folder. The script adopts what
    the tests leave behind (it is their subreaper), so that nothing a test
    started outlives it."""

    def __init__(self, build, scratch):
        self.build = build
        self.scratch = scratch
        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_CHILD_SUBREAPER = 36
        libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)

    def run(self, test, limit):
        """'pass', 'fail' or 'timeout', and the seconds it took."""
        exe = self.build.folder / 'tests' / test.program
        start = time.monotonic()
        # A test killed at its time limit leaves its temporary folder: in the
        # scratch folder, which goes at the end of the run.
        proc = subprocess.Popen([str(exe), f'--gtest_filter={test.name}'], cwd=self.scratch,
                                env={**os.environ, 'TMPDIR': str(self.scratch)},
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                start_new_session=True)
        try:
            code = proc.wait(timeout=limit)
            outcome = 'pass' if code == 0 else 'fail'
        except subprocess.TimeoutExpired:
            outcome = 'timeout'
        finally:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
            self.reap_orphans(proc.pid)
        return outcome, time.monotonic() - start

    def reap_orphans(self, session):
        """Kills what the test left: every process of its session (a fault
        may make a program start copies of itself without end, each in a
        process group of its own), and every orphan handed to this run."""
        me = os.getpid()
        for _ in range(50):
            left = []
            for entry in os.listdir('/proc'):
                if entry.isdigit():
                    try:
                        stat = Path(f'/proc/{entry}/stat').read_text()
                    except OSError:
                        continue
                    fields = stat.rsplit(')', 1)[1].split()
                    if int(fields[1]) == me or int(fields[3]) == session:
                        left.append(int(entry))
            if not left:
                return
            for pid in left:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            for pid in left:
                try:
                    os.waitpid(pid, 0)
                except ChildProcessError:
                    pass


def load():
    return ' '.join(f'{x:.2f}' for x in os.getloadavg())


def limit_for(test):
    return max(LIMIT_FLOOR, LIMIT_FACTOR * test.seconds)


# ---------------------------------------------------------------- the run

@dataclass
class Tally:
    caught: int = 0
    missed: int = 0
    no_build: int = 0
    same_code: int = 0
    missed_faults: list = field(default_factory=list)

    def score(self):
        scored = self.caught + self.missed
        return 100.0 * self.caught / scored if scored else None


def try_fault(fault, build, runner, tests, restorer):
    """What became of one fault: (outcome, detail)."""
    since = time.time()
    restorer.change(fault)
    try:
        targets = sorted({program for program, _ in COVERAGE[fault.directory]})
        built, _ = build.make(targets)
        if not built:
            return 'no build', ''
        if build.same_code(fault.path, since):
            return 'same code', ''
        notes = []
        for test in sorted(tests, key=lambda t: -t.catches):
            outcome, seconds = runner.run(test, limit_for(test))
            if outcome == 'pass':
                continue
            # Seen twice, or it is the machine's doing rather than the fault's.
            again, _ = runner.run(test, limit_for(test))
            if again == 'pass':
                notes.append(f'{test.label()} {outcome} once only')
                continue
            test.catches += 1
            return 'caught', f'by {test.label()}' + (' (time limit)' if outcome == 'timeout' else '')
        return 'missed', '; '.join(notes)
    finally:
        restorer.put_back()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog=__doc__.split('\n\n', 1)[1])
    parser.add_argument('--build', default='build', help='the build folder (default: build)')
    parser.add_argument('--count', type=int, default=20, help='faults to draw (default 20)')
    parser.add_argument('--seed', type=int, default=1, help='seed of the draw (default 1)')
    parser.add_argument('--dir', action='append', choices=sorted(COVERAGE), help='draw from this directory only (repeatable)')
    parser.add_argument('--file', action='append', metavar='PATH[:LINE]',
                        help='every fault of this file, or of this line, instead of a draw (repeatable)')
    parser.add_argument('--list', action='store_true', help='only list the faults')
    parser.add_argument('--fail-under', type=float, default=0.0, metavar='PERCENT',
                        help='exit with status 1 if the score of all faults is lower')
    args = parser.parse_args()

    build = Build((ROOT / args.build).resolve())
    restorer = Restorer(build.folder)
    # A second run on the same build folder would take the first one's
    # changed file for a killed run's and put it back under it.
    lock = open(restorer.dir / 'lock', 'w')
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print(f'another run is using {build.folder}: give this one a --build of its own', file=sys.stderr)
        return 2
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, end_by_interrupt)
    restorer.recover()

    equivalents = read_equivalents()
    if args.file:
        every = []
        for where in args.file:
            name, _, line = where.partition(':')
            path = Path(name).resolve().relative_to(ROOT).as_posix()
            if product_directory(path) is None:
                parser.error(f'{path} is not in a product directory')
            every += [f for f in faults_in(path) if not line or f.line == int(line)]
    else:
        every = [f for path in product_sources(args.dir or sorted(COVERAGE)) for f in faults_in(path)]
    faults = [f for f in every if f.key() not in equivalents]
    skipped = len(every) - len(faults)
    if not args.file:
        faults = draw(faults, args.count, args.seed)
    if args.list:
        for f in faults:
            print(f'{f.where()}: {f.kind}\n- {f.before.strip()}\n+ {f.after.strip()}')
        print(f'{len(faults)} faults; {skipped} known equivalent ones left out')
        return 0

    directories = sorted({f.directory for f in faults})
    started = time.monotonic()
    how = ' '.join(f'--file {f}' for f in args.file) if args.file else f'--count {args.count} --seed {args.seed}'
    print(f'{len(faults)} faults ({how}); load average {load()}', flush=True)
    print(f'building {build.folder}', flush=True)
    built, log = build.make(sorted({p for d in directories for p, _ in COVERAGE[d]}))
    if not built:
        print(log[-3000:])
        print('the unchanged sources do not build')
        return 2
    for path in sorted({f.path for f in faults}):
        build.remember(path)

    with tempfile.TemporaryDirectory(prefix='mutate.') as scratch:
        os.chmod(scratch, 0o1777)  # as /tmp is: a test may drop to another user
        runner = Runner(build, scratch)
        tests_of, seen = {}, {}
        for d in directories:
            tests_of[d] = []
            for program, pattern in COVERAGE[d]:
                for test in list_tests(build, program, pattern):
                    test = seen.setdefault(test.label(), test)
                    if test not in tests_of[d]:
                        tests_of[d].append(test)
        print(f'timing {len(seen)} tests on the unchanged sources', flush=True)
        for test in seen.values():
            outcome, test.seconds = runner.run(test, 600)
            if outcome != 'pass':
                outcome, test.seconds = runner.run(test, 600)
            if outcome != 'pass':
                print(f'{test.label()} fails on the unchanged sources ({outcome}); mend it first')
                return 2

        tallies = {d: Tally() for d in directories}
        width = len(str(len(faults)))
        try:
            for n, fault in enumerate(faults, 1):
                began = time.monotonic()
                outcome, detail = try_fault(fault, build, runner, tests_of[fault.directory], restorer)
                tally = tallies[fault.directory]
                if outcome == 'caught':
                    tally.caught += 1
                elif outcome == 'missed':
                    tally.missed += 1
                    tally.missed_faults.append(fault)
                elif outcome == 'no build':
                    tally.no_build += 1
                else:
                    tally.same_code += 1
                print(f'[{n:{width}}/{len(faults)}] {outcome:9} {fault.where()}: {fault.kind}'
                      f' ({time.monotonic() - began:.0f} s) {detail}'.rstrip())
                print(f'    - {fault.before.strip()}\n    + {fault.after.strip()}', flush=True)
        except KeyboardInterrupt:
            restorer.put_back()
            print('\ninterrupted; the sources are as they were')
            return 130
        finally:
            restorer.put_back()
    # The build folder back to the unchanged sources.
    build.make(sorted({p for d in directories for p, _ in COVERAGE[d]}))

    print(f'\n{"directory":14} {"caught":>6} {"missed":>6} {"score":>6}  {"no build":>8} {"same code":>9}')
    total = Tally()
    for d in directories:
        t = tallies[d]
        score = t.score()
        print(f'{d:14} {t.caught:6} {t.missed:6} {"-" if score is None else f"{score:.0f} %":>6}'
              f'  {t.no_build:8} {t.same_code:9}')
        total.caught += t.caught
        total.missed += t.missed
        total.no_build += t.no_build
        total.same_code += t.same_code
    score = total.score()
    print(f'{"all":14} {total.caught:6} {total.missed:6} {"-" if score is None else f"{score:.0f} %":>6}'
          f'  {total.no_build:8} {total.same_code:9}')
    print(f'{len(faults)} faults in {(time.monotonic() - started) / 60:.1f} min; '
          f'{skipped} known equivalent ones left out; load average {load()}')
    if score is not None and score < args.fail_under:
        print(f'below {args.fail_under:g} %')
        return 1
    return 0


if __name__ == '__main__':
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
