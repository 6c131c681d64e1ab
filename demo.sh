#!/usr/bin/env bash
# Builds everything in Release, makes a demo inbound queue with healthy and
# failed messages, and runs the reset tool rswq on it: before and after, the
# message counts per status show every failed message back in status 6.
set -euo pipefail
cd "$(dirname "$0")"

step() { printf '\n==> %s\n' "$*"; }

step "Installing missing build packages"
./scripts/install-deps.sh

BUILD="${DEMO_BUILD_DIR:-build}"
step "Building (Release) into $BUILD/"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
# Only what the demo runs: the tests are ./test.sh's business.
cmake --build "$BUILD" -j"$(nproc)" --target rswq wqadmin tavlo_console

BIN="$PWD/$BUILD/bin"
DATA="$PWD/demo-data"
step "Fresh demo data directory: $DATA"
rm -rf "$DATA"
mkdir -p "$DATA"
export TAVLO_DATA="$DATA"
# Seeding is bulk work: let each message's commit skip the disk flush.  The
# tool itself runs with the same setting unless the caller chose another.
export TAVLO_SYNC="${TAVLO_SYNC:-normal}"

step "Creating the queue smtpibwq.fix (as the operator renamed smtpibwq.qds)"
"$BIN/wqadmin" create smtpibwq.fix --title "MAILHUB inbound (demo)"

# A small attachment for some of the messages.
printf 'Invoice 2026-0042\r\nAmount due: 1,250.00 EUR\r\n' >"$DATA/invoice.txt"

step "Seeding healthy messages (status 6, queued)"
"$BIN/wqadmin" seed smtpibwq.fix --count 150 --status 6 --recipients 3 --seed 1
"$BIN/wqadmin" seed smtpibwq.fix --count 30 --status 6 --type 1 --seed 2

step "Seeding failed messages (statuses 11, 9, 10, 7)"
"$BIN/wqadmin" seed smtpibwq.fix --count 60 --status 11 --recipients 2 --seed 3
"$BIN/wqadmin" seed smtpibwq.fix --count 40 --status 9 --type 1 --seed 4
"$BIN/wqadmin" seed smtpibwq.fix --count 35 --status 10 --recipients 4 \
  --body-size 20000 --seed 5
"$BIN/wqadmin" seed smtpibwq.fix --count 25 --status 7 \
  --attach "$DATA/invoice.txt" --seed 6
rm -f "$DATA/invoice.txt"

step "Queue before the reset"
"$BIN/wqadmin" stats smtpibwq.fix
"$BIN/wqadmin" verify smtpibwq.fix
step "The first five failed messages"
"$BIN/wqadmin" list smtpibwq.fix --status 11 --status 9 --status 10 --status 7 --limit 5

FIRST_FAILED=$("$BIN/wqadmin" list smtpibwq.fix --status 10 --limit 1 --json |
  sed -n 's/.*"note_id": *\([0-9]*\).*/\1/p' | head -n1)
if [[ -n "$FIRST_FAILED" ]]; then
  step "One failed message before the reset (note id $FIRST_FAILED)"
  "$BIN/wqadmin" show smtpibwq.fix "$FIRST_FAILED"
fi

step "Running rswq in $DATA"
set +e
(cd "$DATA" && "$BIN/rswq")
rc=$?
set -e
echo "rswq exit code: $rc"

step "Queue after the reset: every failed message is back in status 6"
"$BIN/wqadmin" stats smtpibwq.fix
"$BIN/wqadmin" verify smtpibwq.fix

if [[ -n "$FIRST_FAILED" ]]; then
  step "The same message after the reset"
  "$BIN/wqadmin" show smtpibwq.fix "$FIRST_FAILED"
fi

step "Done.  Rename smtpibwq.fix back to smtpibwq.qds before restarting the MAILHUB."
exit "$rc"
