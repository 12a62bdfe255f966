#!/bin/bash
# Runs one command (a pipeline of the toolchain, or an export) on every
# recording of a study folder in parallel with GNU parallel: on all cores of
# this machine, or across machines with --sshlogin. See study-one.sh for
# what the command sees and where its output goes.
set -u
usage() {
  cat >&2 <<'USAGE'
usage: scripts/study.sh [OPTIONS] FOLDER OUTDIR COMMAND

Runs COMMAND on every recording FOLDER/*.raw, the recording on standard
input, standard output into OUTDIR/NAME.SUFFIX, messages into OUTDIR/NAME.log.
In COMMAND, $NAME is the recording's name without .raw, $DIR its folder and
$REC its path. GNU parallel's job log goes to OUTDIR/joblog.

OPTIONS:
  --jobs=N          Jobs at a time per machine (default: one per core).
  --sshlogin=LOGIN  Run on these machines too (GNU parallel's --sshlogin,
                    e.g. 8/user@node1,node2 or : for this one; repeatable).
                    FOLDER, OUTDIR and this script must lie at the same paths
                    there (a shared file system) and the programs on PATH.
  --suffix=EXT      Extension of the outputs (default: out).
  --pattern=GLOB    Which recordings to take (default: *.raw).

Example: the mean heart rate of every subject, and every recording as BDF+:
  scripts/study.sh study/ results/ 'corvia_signals -s ECG-HR -p 2048 | vecpick --discard-nan | vecshow --features'
  scripts/study.sh --suffix=bdf study/ bdf/ 'corvia_edf --bdf --events="$DIR/$NAME.events"'
USAGE
  exit 2
}
jobs=100% suffix=out pattern='*.raw'
logins=()
while [ $# -gt 0 ]; do
  case $1 in
    --jobs=*) jobs=${1#*=} ;;
    --sshlogin=*) logins+=(--sshlogin "${1#*=}") ;;
    --suffix=*) suffix=${1#*=} ;;
    --pattern=*) pattern=${1#*=} ;;
    -h|--help) usage ;;
    --*) echo "study.sh: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
  shift
done
[ $# -eq 3 ] || usage
folder=$1 outdir=$2 command=$3
if ! command -v parallel > /dev/null; then
  echo "study.sh: GNU parallel is missing (Debian package parallel)" >&2
  exit 2
fi
if [ ! -d "$folder" ]; then
  echo "study.sh: $folder is no folder" >&2
  exit 2
fi
shopt -s nullglob
recs=("$folder"/$pattern)
if [ ${#recs[@]} -eq 0 ]; then
  echo "study.sh: no recordings $pattern in $folder" >&2
  exit 2
fi
mkdir -p "$outdir" || exit 2
# Absolute paths, so that other machines find the same files.
outdir=$(cd "$outdir" && pwd)
for i in "${!recs[@]}"; do recs[$i]=$(realpath "${recs[$i]}"); done
one=$(cd "$(dirname "$0")" && pwd)/study-one.sh

parallel --will-cite --jobs "$jobs" "${logins[@]}" --joblog "$outdir/joblog" -q \
  "$one" {} "$outdir" "$suffix" "$command" ::: "${recs[@]}"
failed=$?
echo "study.sh: $(( ${#recs[@]} - failed )) of ${#recs[@]} recordings done into $outdir" >&2
exit $(( failed > 0 ? 1 : 0 ))
