#!/bin/sh
# Runs the black-box tests against the Windows service under Wine.
# usage: run_under_wine.sh PYTHON WINE EbbmarkSvc.exe NAME [PYTEST ARGUMENTS...]
# NAME keeps the folders of runs that go side by side apart.
#
# Windows has no sticky bit, so Wine shows /tmp (and anything below it, a
# checkout or a build tree included) as a folder everyone may change, and the
# service rightly refuses to run from there or to start a run file below it.
# The program and the tests' temporary folders therefore live below the home
# folder, which only its owner may change.
set -eu
python=$1 wine=$2 exe=$3 name=$4
shift 4
work="${HOME:-/root}/.cache/ebbmark-blackbox-wine/$name"
rm -rf "$work"
mkdir -p "$work/program" "$work/tmp"
chmod 755 "$work/.." "$work" "$work/program"
cp "$exe" "$work/program/EbbmarkSvc.exe"
EBBMARK_SVC_CMD="$wine $work/program/EbbmarkSvc.exe"
# The password files' writer of the same build (tests/CMakeLists.txt names it;
# this is its place there, for a run by hand).
exe_dir=$(cd "$(dirname "$exe")" && pwd)
: "${EBBMARK_SECRET_WRITER:=$exe_dir/../tests/ebbmark_write_secret.exe}"
export EBBMARK_SVC_CMD EBBMARK_SECRET_WRITER
exec "$python" -m pytest -q -p no:cacheprovider --basetemp="$work/tmp" "$@"
