#!/usr/bin/env bash
# The launcher's whole-process performance figures, each beside an anchor measured in the same
# run on the same machine:
#
#   bench/run.sh [FIGURE ...]
#
# It builds a Release native launcher, velm-publish and the benchmarks under build/bench (with a
# throwaway key pair and the catalogue host localhost:9443, so it never clashes with the demo on
# 8443), makes the packages the chosen figures need there, publishes them with
# `velm-publish publish`, serves them with nginx on localhost:9443 (its CA trusted only inside
# tests/https/run_with_ca.sh's mount namespace) and measures these FIGUREs, all of them when none
# is named:
#
#   hash         1. fileSha256 on a 1 GiB file against openssl dgst -sha256 and sha256sum
#                   (bench/hash_file.sh)
#   sha256       2. the Sha256 hasher in MB/s, hardware and portable path, against openssl speed
#   start        3. an up-to-date start of velm-coop (200 files, 1 GiB) against openssl dgst
#                   over those files
#   install      4. a first install of one 1 GiB file against curl -o FILE followed by openssl
#                   dgst FILE, and against the same with sync FILE (the launcher flushes a file
#                   before moving it in)
#   latency      5. a first install of 300 files of 16 KiB over a 50 ms round trip against
#                   curl -Z --parallel-max 8 fetching the same 300 URLs the same way
#   cut          6. a first install of one 256 MiB file whose transfer is cut once half-way: the
#                   bytes nginx sent for it as a multiple of its size, and the time, against
#                   curl -o FILE, then curl -C - -o FILE after the same cut
#   memory       7. the peak resident memory of the installs measured (GNU time's %M of the
#                   launcher process itself); alone, it brings in "install"
#   connections  8. the TLS connections each launcher run opened, from nginx's access log
#                   ($connection_requests == 1); alone, it brings in "start" and "install"
#   delta        9. updates of one 1 GiB file, published with velm-publish one version after
#                   another (1 MiB rewritten mid-file; 100,003 bytes inserted at the front;
#                   scattered 64 KiB rewrites and an append; and three versions behind): the
#                   bytes nginx sent for each update and its time, against zsync -i OLD fetching
#                   zsyncmake's .zsync and the new file from the same nginx over plain HTTP on
#                   localhost:9445 (needs zsync)
#
# e.g. `bench/run.sh latency cut memory` needs neither 1 GiB package. For "latency" and "cut",
# nginx moves to localhost:9444 behind bench/relay.py on 9443, which delays every chunk by 25 ms
# each way (latency), or closes one connection after 128 MiB from the server (cut).
#
# Every timing is min/median/max over 5 runs (3 when 5 would take over a minute); ratios use the
# medians. Unmet goals are reported, not failures; a step that fails ends the script non-zero.
# nginx and the relay are stopped and the generated data (up to about 4.5 GiB under
# build/bench/data, 10 GiB more for "delta") removed on exit.
# Each FIGURE is measured by bench/figures/FIGURE.sh; the set-up they share (the build, the
# packages, nginx and the relay, the timing and the summary) is in bench/common.sh.
# Needs: scripts/install-deps.sh's packages (curl, nginx, openssl, time, Google Benchmark, zsync).
# shellcheck source-path=SCRIPTDIR
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"

figures=(hash sha256 start install latency cut memory connections delta)
declare -A chosen=()
for figure in "${@:-${figures[@]}}"; do
  [[ " ${figures[*]} " == *" $figure "* ]] ||
    { echo "usage: bench/run.sh [FIGURE ...]; FIGUREs: ${figures[*]}" >&2; exit 2; }
  chosen[$figure]=1
done
wants() {
  local figure
  for figure; do [[ -n ${chosen[$figure]:-} ]] && return 0; done
  return 1
}
# memory and connections report on the runs of other figures; alone, they bring in the ones
# they always had.
if wants memory && ! wants install latency cut; then chosen[install]=1; fi
if wants connections && ! wants start install latency cut; then
  chosen[start]=1 chosen[install]=1
fi

trap cleanup EXIT
trap 'exit 130' INT TERM

check_tools
running=()
for figure in "${figures[@]}"; do
  if wants "$figure"; then running+=("$figure"); fi
done
describe_machine "${running[@]}"
build_release

# ---------------------------------------------------------------------------------------------
# Each figure is bench/figures/NAME.sh, sourced in this order: its rows join the summary, and
# memory and connections read what the figures before them left. A figure file must not end in
# a failing test such as `wants cut && ...`: "." would return it and set -e end the run.
if wants hash; then . "$here/figures/hash.sh"; fi
if wants sha256; then . "$here/figures/sha256.sh"; fi
# The launcher figures: one package per kind of install, published in one catalogue.
if wants start install latency cut; then publish_packages; fi
if wants start; then . "$here/figures/start.sh"; fi
if wants install; then . "$here/figures/install.sh"; fi
if wants latency; then . "$here/figures/latency.sh"; fi
if wants cut; then . "$here/figures/cut.sh"; fi
if wants memory; then . "$here/figures/memory.sh"; fi
if wants connections; then . "$here/figures/connections.sh"; fi
# delta publishes and serves its own site.
if wants delta; then . "$here/figures/delta.sh"; fi

print_summary
