#!/usr/bin/env bash
# Runs a command in a session of its own and fails, naming them, when any process of that session
# is still alive once the command has ended, so that a test that leaves a process behind is caught
# by the run that brought it in. An interrupted run ends the whole session.
#   tools/run-in-session.sh COMMAND [ARGUMENT]...
set -uo pipefail
sidfile=$(mktemp)
# The session's leader writes its id, which is the session's, and becomes the command. A job in
# the background starts with SIGINT ignored; the command gets it back.
setsid --wait env --default-signal=INT,QUIT bash -c 'echo $$ >"$0" && exec "$@"' "$sidfile" "$@" &
runner=$!

session_processes() {
  ps -e -o sid=,pid=,args= | awk -v sid="$1" '$1 == sid { $1 = ""; print substr($0, 2) }'
}

end_session() {
  [ -s "$sidfile" ] || return 0
  pkill -TERM -s "$(cat "$sidfile")"
  sleep 2
  pkill -KILL -s "$(cat "$sidfile")"
}

trap 'end_session; rm -f "$sidfile"; exit 130' INT TERM
wait "$runner"
status=$?
trap - INT TERM
sid=$(cat "$sidfile")
rm -f "$sidfile"
# Processes ending just as the command ended get a moment to go.
left=
for _ in $(seq 30); do
  left=$(session_processes "$sid")
  [ -z "$left" ] && break
  sleep 0.1
done
if [ -n "$left" ]; then
  echo "Processes left running by the tests (now killed):" >&2
  echo "$left" >&2
  pkill -KILL -s "$sid"
  exit 1
fi
exit "$status"
