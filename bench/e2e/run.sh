#!/usr/bin/env bash
# The end-to-end figures of bench/README.md ("End to end"): installs what is
# missing, builds both programs for localhost:48450 and runs bench/e2e/run.py
# (needs root for the private mount namespace). Arguments go to run.py, e.g.
#   bash bench/e2e/run.sh --runs 5
set -euo pipefail
cd "$(dirname "$0")/../.."
bash scripts/setup.sh
# GNU time gives the peak memory (/usr/bin/time -v); scripts/setup.sh does not
# install it.
if [ ! -x /usr/bin/time ]; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends time
fi
exec python3 bench/e2e/run.py "$@"
