#!/usr/bin/env bash
# Makes the test PKI's root trusted inside this build tree's Wine prefix (and
# nowhere else), then writes the stamp file given as second argument.
set -eu
pki_dir=${1:?usage: trust-test-root.sh <pki-dir> <stamp>}
stamp=${2:?usage: trust-test-root.sh <pki-dir> <stamp>}
. "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
zel_wine_up
wine reg import "$(winepath -w "$pki_dir/root.reg")" </dev/null >/dev/null 2>&1
touch "$stamp"
