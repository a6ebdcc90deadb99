#!/usr/bin/env python3
"""Our PE version reader against the Windows version API, on PE files that no one here wrote.

usage: agreement.py BUILD_DIR WINDOWS_FILE_VERSION_EXE

The corpus is the DLLs and executables shipped in Wine's own packages (32-bit from the installed
wine32 or, without it, from libwine:i386, 64-bit from libwine:amd64, both unpacked by
scripts/setup.sh into build/downloads; this test fetches nothing), plus damaged variants of a
few of them: truncated, and with single bytes of their resources flipped. Our side is revision-probe.exe; the Windows side is
windows_file_version.exe, one file per process because Wine's version API faults on some damaged
files (a fault counts as no reading).

Originals must read exactly the same. On a damaged variant our reader may give nothing or fail,
but a version it gives must be what Windows reads from that variant or, where Windows reads
nothing, what the undamaged file holds. Any difference fails and names the file.
"""
import glob
import os
import random
import shutil
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'scripts'))
from pe_fields import is_pe32_plus, sections  # noqa: E402  (found through the path above)

BUILD = os.path.abspath(sys.argv[1])
HELPER = os.path.abspath(sys.argv[2])
WORK = os.path.join(BUILD, 'agreement')
CORPUS = os.path.join(WORK, 'corpus')
# Where scripts/setup.sh unpacks libwine:amd64, and libwine:i386 where wine32 is not installed;
# keep in step with it.
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE64_DIR = os.path.join(ROOT, 'build/downloads/libwine-amd64',
                          'usr/lib/x86_64-linux-gnu/wine/x86_64-windows')
WINE32_DIR = '/usr/lib/i386-linux-gnu/wine/i386-windows'
if not glob.glob(os.path.join(WINE32_DIR, '*')):
    WINE32_DIR = os.path.join(ROOT, 'build/downloads/libwine-i386',
                              'usr/lib/i386-linux-gnu/wine/i386-windows')
SAMPLE_32, SAMPLE_64 = 260, 160


def wine_environment():
    """Wine's settings for BUILD's programs, from the function the scenarios use."""
    script = os.path.join(ROOT, 'scripts/wine_env.sh')
    output = subprocess.run(['bash', '-c', 'source "$0" && wine_env "$1" && env -0', script, BUILD],
                            check=True, stdout=subprocess.PIPE).stdout.decode()
    return dict(item.split('=', 1) for item in output.split('\0') if '=' in item)


ENV = wine_environment()


def wine64_files():
    """The 64-bit PE files of libwine:amd64, as scripts/setup.sh unpacked them."""
    return sorted(glob.glob(os.path.join(WINE64_DIR, '*')))


def sample(files, count):
    files = [f for f in files if os.path.isfile(f) and os.path.getsize(f) > 0]
    step = max(1, len(files) // count)
    return files[::step][:count]


def resource_range(data):
    """File offsets of the .rsrc section, or None."""
    try:
        for name, _, raw_size, raw_offset in sections(data):
            if name == b'.rsrc' and raw_size:
                return raw_offset, min(raw_offset + raw_size, len(data))
    except struct.error:
        pass
    return None


def is_image64(path):
    data = open(path, 'rb').read(4096)
    try:
        return is_pe32_plus(data)
    except struct.error:
        return False


def make_corpus():
    shutil.rmtree(CORPUS, ignore_errors=True)
    os.makedirs(CORPUS)
    originals = sample(glob.glob(os.path.join(WINE32_DIR, '*')), SAMPLE_32) + \
        sample(wine64_files(), SAMPLE_64)
    entries = {}  # corpus name -> (source description, original corpus name or None)
    for index, path in enumerate(originals):
        # A neutral name, so that Wine cannot substitute its built-in module of the same name.
        name = 'f%04d.bin' % index
        shutil.copyfile(path, os.path.join(CORPUS, name))
        entries[name] = (path, None)

    rng = random.Random(20261208)
    damaged = [n for n in sorted(entries) if resource_range(open(os.path.join(CORPUS, n), 'rb')
                                                            .read())][::40][:8]
    for original in damaged:
        data = open(os.path.join(CORPUS, original), 'rb').read()
        start, end = resource_range(data)
        variants = [('cut%d' % cut, data[:cut]) for cut in
                    sorted({len(data) // 2, start + 16, (start + end) // 2, end - 8, end - 60})]
        for flip in range(12):
            at = rng.randrange(start, min(end, start + 4096))
            changed = bytearray(data)
            changed[at] ^= 1 << rng.randrange(8)
            variants.append(('flip%d' % at, bytes(changed)))
        for label, content in variants:
            name = '%s-%s.bin' % (original[:-4], label)
            with open(os.path.join(CORPUS, name), 'wb') as out:
                out.write(content)
            entries[name] = ('%s %s' % (entries[original][0], label), original)
    return entries


def run_wine(arguments, timeout):
    """Runs a Windows program; its exit status and standard output. Output goes through a file:
    Wine's own service processes inherit the handles and would hold a pipe open."""
    with open(os.path.join(WORK, 'output.txt'), 'w+b') as output:
        result = subprocess.run(['wine'] + arguments, cwd=CORPUS, env=ENV, stdout=output,
                                stderr=subprocess.DEVNULL, timeout=timeout)
        output.seek(0)
        return result.returncode, output.read().decode('utf-8', 'replace').replace('\r', '')


def ours(names):
    _, output = run_wine([os.path.join(BUILD, 'revision-probe.exe')] + names, 600)
    readings = {name: None for name in names}  # None: a failure
    for line in output.splitlines():
        fields = line.split('\t')
        if len(fields) >= 3:
            readings[fields[0]] = fields[1]
    return readings


def windows(name, attempts):
    """What the API reads from NAME; None when the helper did not end with status 0 within 30 s,
    ATTEMPTS times over."""
    for _ in range(attempts):
        try:
            status, output = run_wine([HELPER, name], 30)
        except subprocess.TimeoutExpired:
            continue
        if status == 0:
            return output.strip()
    return None


def main():
    if not shutil.which('wine', path=ENV['PATH']):
        if os.environ.get('CI') == 'true':
            print('wine is not installed (scripts/setup.sh installs it)')
            return 1
        print('wine is not installed; skipped')
        return 77
    if not wine64_files():
        print('the 64-bit PE files are missing from %s; scripts/setup.sh fetches them'
              % WINE64_DIR)
        return 1
    entries = make_corpus()
    names = sorted(entries)
    # One server for all the runs, once any earlier one has ended; ended and waited for after.
    subprocess.run(['wineserver', '-w'], env=ENV, check=True, timeout=60)
    subprocess.run(['wineserver', '-p'], env=ENV, check=True)
    try:
        our_readings = ours(names)
        # An undamaged file is tried three times: once a run on one faulted under Wine and the
        # next did not. A damaged one may fault every time; that is its reading.
        their_readings = {name: windows(name, 3 if entries[name][1] is None else 1)
                          for name in names}
    finally:
        subprocess.run(['wineserver', '-k'], env=ENV)
        subprocess.run(['wineserver', '-w'], env=ENV, timeout=60)

    failures, originals, variants, versions, faults, images64 = [], 0, 0, 0, 0, 0
    for name in names:
        source, original = entries[name]
        mine, theirs = our_readings[name], their_readings[name]
        faults += theirs is None
        if original is None:
            originals += 1
            versions += bool(theirs)
            images64 += is_image64(os.path.join(CORPUS, name))
            if mine != (theirs or ''):
                failures.append('%s: ours %r, Windows %r' % (source, mine, theirs))
        else:
            variants += 1
            undamaged = their_readings[original]
            if mine and mine != theirs and not (not theirs and mine == undamaged):
                failures.append('%s: ours %r, Windows %r, undamaged %r'
                                % (source, mine, theirs, undamaged))
    print('%d original PE files (%d of them 64-bit, %d with a version), %d damaged variants, '
          '%d Windows-side faults' % (originals, images64, versions, variants, faults))
    for failure in failures:
        print('DIFFERENT:', failure)
    return 1 if failures or originals < 300 else 0


if __name__ == '__main__':
    sys.exit(main())
