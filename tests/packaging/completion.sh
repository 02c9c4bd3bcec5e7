#!/usr/bin/env bash
# The bash completion offers the options, the configured bridges after --instance and file names
# after --journal: with bash's compgen alone, and again with bash-completion's helpers loaded
# when BASH_COMPLETION (its main script) is given or installed.
#   completion.sh COMPLETION_FILE [BASH_COMPLETION]
set -uo pipefail
completion=$(realpath "$1")
helpers=${2:-/usr/share/bash-completion/bash_completion}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config/NORVEL-Q" "$work/home/.config/NORVEL-Q" "$work/files/sub dir"
touch "$work/config/NORVEL-Q/"{quellor.conf,quellor-lab.conf,quellor-bench_2.conf,other.conf,quellor-a.b.conf}
mkdir "$work/config/NORVEL-Q/quellor-folder.conf"
touch "$work/home/.config/NORVEL-Q/quellor-athome.conf" "$work/files/page.har" "$work/files/plan.txt"

# Prints the sorted completions of the command line given as words, the last being completed.
cat >"$work/complete.sh" <<'EOF'
[ -z "$HELPERS" ] || source "$HELPERS" || exit 1
source "$COMPLETION" || exit 1
[ "$(complete -p quellor)" = "complete -F _quellor quellor" ] || { echo "quellor has no completion"; exit 1; }
COMP_WORDS=("$@")
COMP_CWORD=$(($# - 1))
# As bash has it: a word '=' stands in the line without blanks around it.
COMP_LINE=$1
for ((i = 1; i < $#; i++)); do
  if [ "${COMP_WORDS[i]}" = = ] || [ "${COMP_WORDS[i - 1]}" = = ]; then
    COMP_LINE+=${COMP_WORDS[i]}
  else
    COMP_LINE+=" ${COMP_WORDS[i]}"
  fi
done
COMP_POINT=${#COMP_LINE}
COMPREPLY=()
_quellor quellor "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
[ "${#COMPREPLY[@]}" -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort
EOF

failed=0
# expect WHAT EXPECTED WORD... : the completions of WORD... must be EXPECTED, one a line.
expect() {
  local what=$1 expected=$2
  shift 2
  local got
  got=$(cd "$work/files" && env -i PATH="$PATH" HOME="$work/home" ${config+XDG_CONFIG_HOME="$config"} \
        HELPERS="$with" COMPLETION="$completion" bash --norc --noprofile "$work/complete.sh" "$@" 2>&1)
  if [ "$got" != "$expected" ]; then
    echo "${label}: $what: '$*' completed"
    echo "$got" | sed 's/^/    /'
    echo "  instead of"
    echo "$expected" | sed 's/^/    /'
    failed=1
  fi
}

options=$(printf '%s\n' --check --detect --help --instance --journal --journal-sensitive --json --reload --status --version)
runs=(plain)
[ -f "$helpers" ] && runs+=(helpers)
for label in "${runs[@]}"; do
  with=
  [ "$label" = plain ] || with=$helpers
  config=$work/config

  expect "every option" "$options" quellor ""
  expect "options that begin so" $'--journal\n--journal-sensitive\n--json' quellor --j
  expect "options after a verb" "--json" quellor --status --js
  expect "options after an instance" "--reload" quellor --instance lab --rel

  expect "the configured bridges" $'bench_2\nlab' quellor --instance ""
  expect "the bridges that begin so" "lab" quellor --instance l
  expect "a bridge after a verb" "bench_2" quellor --status --instance b
  expect "no bridge begins so" "" quellor --instance x
  expect "the bridges after '='" $'bench_2\nlab' quellor --instance =
  expect "the bridges after '=' that begin so" "lab" quellor --instance = l

  expect "file names" $'page.har\nplan.txt\nsub dir' quellor --journal ""
  expect "file names that begin so" "page.har" quellor --journal pa
  expect "file names after an instance" $'page.har\nplan.txt' quellor --instance lab --journal p

  config=""
  expect "an empty XDG_CONFIG_HOME reads as ~/.config" "athome" quellor --instance ""
  unset config
  expect "without XDG_CONFIG_HOME the bridges in ~/.config" "athome" quellor --instance ""
  config=$work/none
  expect "no settings folder, no bridges" "" quellor --instance ""
done
exit "$failed"
