#!/usr/bin/env python3
"""The launcher's signature check against osslsigncode, on real signed programs.

usage: real_signatures.py BUILD_DIR EXPORT_ROOT_CERTIFICATES_EXE

The files and what each side is expected to decide are listed in real_signatures_expected.txt
beside this script; scripts/setup.sh fetches their packages into build/downloads/real-signatures
(this test fetches nothing). Our side is revision-probe.exe under Wine, its verdict alone (an EFI
image has no version record, which does not matter here); the other is `osslsigncode verify
-ignore-crl`, given as trusted roots, for code and for timestamps, the very roots of the test's
Wine prefix, written out by export_root_certificates.exe. Any file whose outcome is not the one
listed fails, and the line to list instead is printed.
"""
import hashlib
import os
import re
import shutil
import subprocess
import sys

BUILD = os.path.abspath(sys.argv[1])
EXPORT_ROOTS = os.path.abspath(sys.argv[2])
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
EXPECTED = os.path.join(HERE, 'real_signatures_expected.txt')
# Where scripts/setup.sh unpacks each package; keep in step with it.
DOWNLOADS = os.path.join(ROOT, 'build/downloads/real-signatures')
WORK = os.path.join(BUILD, 'real-signatures')

# Our reason for a refusal, by the words revision-probe uses; the first that matches.
CLASSES = [
    ('table', 'the certificate table must hold its signature alone'),
    ('digest', 'digest algorithm is'),
    ('expired', 'a certificate is expired or not yet valid'),
    ('partial chain', 'the chain does not reach a root'),
    ('untrusted root', 'the root is not trusted'),
    ('usage', 'not valid for the usage asked'),
    ('basic constraints', 'no CA'),
    ('basic constraints', 'path length'),
    ('signature', "the signer's signature over its signed attributes does not verify"),
    ('signature', "does not match the signer's message digest"),
    ('unreadable', 'cannot be read'),
]
TIMESTAMP_SET_ASIDE = '(a timestamp is there, but '


def wine_environment():
    """Wine's settings for BUILD's programs, from the function the scenarios use."""
    script = os.path.join(ROOT, 'scripts/wine_env.sh')
    output = subprocess.run(['bash', '-c', 'source "$0" && wine_env "$1" && env -0', script, BUILD],
                            check=True, stdout=subprocess.PIPE).stdout.decode()
    return dict(item.split('=', 1) for item in output.split('\0') if '=' in item)


def folder_of(package):
    """The folder setup.sh unpacks PACKAGE into."""
    return os.path.join(DOWNLOADS, re.sub(r'[^A-Za-z0-9._+~-]', '_', package))


def expectations():
    entries = []
    with open(EXPECTED, encoding='utf-8') as listed:
        for number, line in enumerate(listed, 1):
            if not line.strip() or line.startswith('#'):
                continue
            fields = [field.strip() for field in line.split(' | ')]
            if len(fields) != 4:
                raise SystemExit('%s:%d: not PACKAGE | PATH | SHA-256 | VERDICT' % (EXPECTED, number))
            entries.append(fields)
    return entries


def outcome_of(verdict):
    """'accepted' or 'refused (CLASS)' for revision-probe's verdict text."""
    if verdict == 'verifies':
        return 'accepted'
    for name, words in CLASSES:
        if words in verdict:
            break
    else:
        name = 'other: ' + verdict
    if TIMESTAMP_SET_ASIDE in verdict:
        name += ', timestamp set aside'
    return 'refused (%s)' % name


def verdict_line(ours, theirs):
    """The VERDICT field for these outcomes, without the reason for a difference."""
    if ours == theirs or (ours.startswith('refused') and theirs == 'refused'):
        return 'agree: ' + ours
    return 'differs: ours %s, osslsigncode %s' % (ours, theirs)


def run_wine(arguments, output_path, cwd):
    """Runs a Windows program, its standard output into OUTPUT_PATH (Wine's own service
    processes inherit the handles and would hold a pipe open); its exit status."""
    with open(output_path, 'wb') as output:
        return subprocess.run(['wine'] + arguments, cwd=cwd, env=ENV, stdout=output,
                              stderr=subprocess.DEVNULL, timeout=300).returncode


def main():
    if not shutil.which('wine', path=ENV['PATH']) or not shutil.which('osslsigncode'):
        if os.environ.get('CI') == 'true':
            print('wine or osslsigncode is not installed (scripts/setup.sh installs them)')
            return 1
        print('wine or osslsigncode is not installed; skipped')
        return 77
    entries = expectations()
    missing = sorted({package for package, path, _, _ in entries
                      if not os.path.isfile(os.path.join(folder_of(package), path))})
    # What setup tried and could not fetch on this machine is named and left out; what it never
    # tried means setup did not run, which CI must not pass over.
    unavailable = [package for package in missing
                   if os.path.isfile(folder_of(package) + '.unavailable')]
    for package in unavailable:
        with open(folder_of(package) + '.unavailable', errors='replace') as error:
            why = ' '.join(error.read().split())[-300:]
        print('left out, setup could not fetch it here: %s (%s)' % (package, why))
    if len(unavailable) < len(missing):
        print('the real signed programs are missing (scripts/setup.sh fetches them): ' +
              ', '.join(sorted(set(missing) - set(unavailable))))
        return 1 if os.environ.get('CI') == 'true' else 77
    entries = [entry for entry in entries if entry[0] not in unavailable]
    if not entries:
        print('no real signed program could be fetched here; skipped')
        return 77

    failures = []
    drive_c = os.path.join(ENV['WINEPREFIX'], 'drive_c')
    corpus = os.path.join(drive_c, 'work', 'real-signatures')
    shutil.rmtree(corpus, ignore_errors=True)
    os.makedirs(corpus)
    os.makedirs(WORK, exist_ok=True)
    names = []
    for index, (package, path, digest, _) in enumerate(entries):
        source = os.path.join(folder_of(package), path)
        with open(source, 'rb') as data:
            if hashlib.sha256(data.read()).hexdigest() != digest:
                failures.append('%s %s: not the listed file (its SHA-256 differs)' % (package, path))
        # A neutral name, so that Wine cannot substitute a built-in module of the same name.
        names.append('s%02d.bin' % index)
        shutil.copyfile(source, os.path.join(corpus, names[-1]))

    roots = os.path.join(WORK, 'roots.pem')
    probe = os.path.join(WORK, 'probe.txt')
    # One server for both runs, once any earlier one has ended; ended and waited for after.
    subprocess.run(['wineserver', '-w'], env=ENV, check=True, timeout=60)
    subprocess.run(['wineserver', '-p'], env=ENV, check=True)
    try:
        if run_wine([EXPORT_ROOTS], roots, corpus) != 0:
            print('the prefix\'s trusted roots could not be written out')
            return 1
        run_wine([os.path.join(BUILD, 'revision-probe.exe')] + names, probe, corpus)
    finally:
        subprocess.run(['wineserver', '-k'], env=ENV)
        subprocess.run(['wineserver', '-w'], env=ENV, timeout=60)
    ours = {}
    with open(probe, encoding='utf-8', errors='replace') as lines:
        for line in lines:
            fields = line.rstrip('\r\n').split('\t')
            if len(fields) == 5:
                ours[fields[0]] = fields[4]

    agreeing = 0
    for name, (package, path, digest, expected) in zip(names, entries):
        if name not in ours:
            failures.append('%s %s: revision-probe gave no line (see %s)' % (package, path, probe))
            continue
        theirs = subprocess.run(
            ['osslsigncode', 'verify', '-ignore-crl', '-CAfile', roots, '-TSA-CAfile', roots,
             '-in', os.path.join(corpus, name)],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120).returncode == 0
        observed = verdict_line(outcome_of(ours[name]), 'accepted' if theirs else 'refused')
        agreeing += observed.startswith('agree')
        print('%s %s: %s' % (package, path, observed))
        # The reason for a difference is for people; everything before it must be as listed.
        difference = re.match(r'(differs: ours .*?, osslsigncode (?:accepted|refused)): .+$',
                              expected)
        listed = difference.group(1) if difference else expected
        if listed.startswith('differs') and not difference:
            failures.append('%s %s: a listed difference must give its reason' % (package, path))
        if observed != listed:
            failures.append('%s %s: listed "%s", observed "%s" (revision-probe: %s); list it as\n'
                            '  %s | %s | %s | %s%s' % (
                                package, path, listed, observed, ours[name], package, path, digest,
                                observed, '' if observed.startswith('agree') else ': WHY'))
    print('%d real signed files: %d agree, %d differ' % (
        len(entries), agreeing, len(entries) - agreeing))
    for failure in failures:
        print('DIFFERENT:', failure)
    return 1 if failures else 0


ENV = wine_environment()

if __name__ == '__main__':
    sys.exit(main())
