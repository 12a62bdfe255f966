#!/bin/bash
# Runs a command on one recording of a study (called by study.sh through GNU
# parallel and by study.slurm as one task of a job array).
#
# usage: study-one.sh RECORDING OUTDIR SUFFIX COMMAND
#
# COMMAND runs in bash with the recording on standard input; its standard
# output goes to OUTDIR/NAME.SUFFIX and its messages to OUTDIR/NAME.log. In
# COMMAND, $REC is the recording's path, $NAME its file name without the
# extension and $DIR its folder, for files that belong to one subject:
#   'corvia_signals -s ECG-HR -e "$DIR/$NAME.events" -m study.map | glide_stats ...'
# A failing command (any part of a pipeline) leaves its output as
# NAME.SUFFIX.part, says so on standard error and passes its status on.
set -u
if [ $# -ne 4 ]; then
  echo "usage: study-one.sh RECORDING OUTDIR SUFFIX COMMAND" >&2
  exit 2
fi
rec=$1 outdir=$2 suffix=$3 command=$4
REC=$rec
NAME=$(basename "${rec%.*}")
DIR=$(dirname "$rec")
export REC NAME DIR
out="$outdir/$NAME.$suffix"
log="$outdir/$NAME.log"
bash -o pipefail -c "$command" < "$rec" > "$out.part" 2> "$log"
status=$?
if [ $status -eq 0 ]; then
  mv "$out.part" "$out"
else
  echo "study: $NAME failed with status $status; see $log" >&2
fi
exit $status
