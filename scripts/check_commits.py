#!/usr/bin/env python3
"""Checks commit subjects against the README's contributing section: at most 72 characters,
beginning with one or more of its component prefixes joined by ", ", then ": " and the subject.

  scripts/check_commits.py              every commit after the one that set the rule
  scripts/check_commits.py MESSAGE_FILE one message: as .git/hooks/commit-msg, git gives the file

Merge commits are not checked: their subjects are git's. In a clone without the starting commit
(a shallow one) the history check says so and passes.
"""

import os
import re
import subprocess
import sys

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
# The last commit before the rule; every later one is held to it.
RULE_SINCE = "7f96f1cbfe1b415dcb3202f9180d22e5a90aad0b"
MAX_LENGTH = 72


def prefixes():
    """The backticked words of the README's 'Component prefixes:' paragraph."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as readme:
        text = readme.read()
    match = re.search(r"Component prefixes:(.*?)(?:\n\n|$)", text, re.S)
    if not match:
        sys.exit("check_commits: README.md has no 'Component prefixes:' paragraph")
    return set(re.findall(r"`([^`]+)`", match.group(1)))


def problem(subject, known):
    if len(subject) > MAX_LENGTH:
        return "longer than %d characters" % MAX_LENGTH
    head, colon, rest = subject.partition(": ")
    if not colon or not rest.strip():
        return "no 'component: ' before the subject"
    unknown = [part for part in head.split(", ") if part not in known]
    if unknown:
        return "not a component prefix: " + ", ".join(unknown)
    return None


def git(*arguments):
    return subprocess.run(["git", "-C", ROOT] + list(arguments), check=True,
                          capture_output=True, text=True).stdout


def main():
    known = prefixes()
    if len(sys.argv) == 2:
        with open(sys.argv[1], encoding="utf-8") as message:
            subject = message.readline().rstrip("\n")
        reason = problem(subject, known)
        if reason:
            print("commit subject: %s -- %s" % (subject, reason))
            return 1
        return 0
    try:
        found = subprocess.run(["git", "-C", ROOT, "cat-file", "-e", RULE_SINCE + "^{commit}"],
                               capture_output=True).returncode == 0
    except FileNotFoundError:
        found = False
    if not found:
        print("commits: %s is not in this clone's history; nothing checked" % RULE_SINCE[:12])
        return 0
    bad = 0
    lines = git("log", "--no-merges", "--format=%h %s", RULE_SINCE + "..HEAD").splitlines()
    for line in lines:
        commit, _, subject = line.partition(" ")
        reason = problem(subject, known)
        if reason:
            print("commits: %s %s -- %s" % (commit, subject, reason))
            bad += 1
    if bad:
        return 1
    print("commits: %d subjects, each a component prefix and at most %d characters"
          % (len(lines), MAX_LENGTH))
    return 0


if __name__ == "__main__":
    sys.exit(main())
