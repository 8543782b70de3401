#!/usr/bin/env bash
# The mutation run: plants each fault listed in scripts/mutants.txt, one at a time, in a copy of
# the sources (build/mutate/src; the working tree is never written), rebuilds the copy
# incrementally in build/mutate/native, runs the fast native suite and prints a table of which
# test killed each mutant, which survived and which are equivalent (with the reason the list
# gives). Exits non-zero if a mutant survived or did not build.
#
#   bash scripts/mutate.sh                    # every mutant
#   bash scripts/mutate.sh --only '^frame-'   # the mutants whose name matches
#   bash scripts/mutate.sh --check            # only check that every mutant applies
#
# scripts/mutate.py --help lists the other options (the suite's exclusions, jobs, time limits).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
exec python3 scripts/mutate.py "$@"
