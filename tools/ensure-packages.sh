# Installs the Debian packages the build needs, when any is missing (sourced by run.sh and test.sh).
quellor_packages=(cmake ninja-build g++ qt6-base-dev libgtest-dev "$@")
quellor_missing=()
for package in "${quellor_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || quellor_missing+=("$package")
done
if [ "${#quellor_missing[@]}" -gt 0 ]; then
  echo "Installing: ${quellor_missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${quellor_missing[@]}"
fi
