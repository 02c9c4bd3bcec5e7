#!/usr/bin/env bash
# Builds the Debian package and checks it the way a user meets it: the files validate, lintian
# finds no error, apt-get installs it with its dependencies, the installed program answers and
# its user service and the template for named bridges verify, bash-completion finds its completion
# and that completes the configured bridges; then the package is removed again.
#   tools/check-package.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/ensure-packages.sh dpkg-dev lintian desktop-file-utils appstream systemd man-db bash-completion
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
deb=$(tools/package.sh | tail -n 1)
echo "package: $deb"
dpkg-deb -f "$deb" Depends
desktop-file-validate packaging/org.quellor.Quellor.desktop
appstreamcli validate --no-net build-package/packaging/org.quellor.Quellor.metainfo.xml
lintian --fail-on error "$deb"
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "$deb"
trap 'DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get remove -y quellor >/dev/null' EXIT
version=$(quellor --version)
echo "installed: $version"
[ "$version" = "quellor $(sed -n 's/^project(Quellor VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ]
quellor --help | grep -q -- "--version"
quellor --help | grep -q -- "--instance"
desktop-file-validate /usr/share/applications/org.quellor.Quellor.desktop
runtime=$(mktemp -d)
# The template is verified as an instance of itself.
XDG_RUNTIME_DIR=$runtime systemd-analyze verify --user /usr/lib/systemd/user/quellor.service /usr/lib/systemd/user/quellor@.service
rm -rf "$runtime"
# bash-completion loads the completion by the command's name, and it completes the bridges of a
# settings folder of its own.
completion=/usr/share/bash-completion/completions/quellor
[ -f "$completion" ]
config=$(mktemp -d)
mkdir "$config/NORVEL-Q"
touch "$config/NORVEL-Q/quellor.conf" "$config/NORVEL-Q/quellor-lab.conf"
names=$(XDG_CONFIG_HOME=$config bash --norc --noprofile -c '
  source /usr/share/bash-completion/bash_completion
  _completion_loader quellor
  [[ $(complete -p quellor) == *" -F _quellor "* ]] || { echo "bash-completion loads no completion of quellor" >&2; exit 1; }
  COMP_WORDS=(quellor --instance "") COMP_CWORD=2 COMP_LINE="quellor --instance " COMP_POINT=19
  _quellor quellor "" --instance
  printf "%s\n" "${COMPREPLY[@]}"')
rm -rf "$config"
[ "$names" = lab ] || { echo "the installed completion offered '$names' after --instance"; exit 1; }
bash tests/packaging/completion.sh "$completion"
echo "package checks passed"
