#!/usr/bin/env bash
# test_debs.sh <folder of .deb files> <tree> <package tests>: unpacks the two packages
# that ./dev package built into tree with dpkg -x and runs the package tests on them.
# Exits 77 (skipped) when there are none.
set -euo pipefail
debs=$1 tree=$2 tests=$3
shopt -s nullglob
files=("$debs"/libapache2-mod-quon22_*.deb "$debs"/quon-backend_*.deb)
if [ ${#files[@]} -ne 2 ]; then
  echo "no packages in $debs (./dev package builds them): skipped"
  exit 77
fi
rm -rf "$tree"
mkdir -p "$tree"
for f in "${files[@]}"; do
  echo "unpacking $f"
  dpkg -x "$f" "$tree"
done
QUON_PACKAGE_ROOT=$tree exec "$tests"
