#!/usr/bin/env bash
# Runs the README's install, package and removal lines in the README's
# order, with a scratch directory in place of ~/.local, and fails unless the
# install put its files there and, at the end, neither the install nor the
# Debian package left a file behind.
#
#   tests/docs/readme_install_check.sh PREFIX [README]   (from the source tree,
#                                      with build/default built)
#
# The lines are the quick start's `cmake --install` line, then every line of
# the ```sh blocks of "## Installing and removing", in order. The dpkg lines
# need root; run otherwise, they are skipped, saying so, and so is the check
# of the package (CI runs as root).
#
# Where the environment names them, the command AFTER_INSTALL runs with the
# prefix as its argument after the first install, and AFTER_PACKAGE_INSTALL
# while the package is installed, so that a caller can check what each
# installed; either failing fails the check.
set -euo pipefail
prefix=$1
readme=${2:-README.md}
[ -d "$prefix" ] && [ -z "$(ls -A "$prefix")" ] || { echo "$prefix is not an empty directory"; exit 1; }

# sh_lines HEADING [FILTER]: the lines of the ```sh blocks of the section
# HEADING (up to the next "## " heading) that match the regular expression
# FILTER (every line without one).
sh_lines() {
  awk -v heading="$1" -v filter="${2:-}" '
    $0 == heading { in_section = 1; next }
    in_section && /^## / { in_section = 0 }
    in_section && /^```sh$/ { in_block = 1; next }
    in_block && /^```$/ { in_block = 0; next }
    in_block && $0 ~ filter { print }' "$readme"
}
mapfile -t lines < <(sh_lines "## Quick start" '^cmake --install '; sh_lines "## Installing and removing")
[ ${#lines[@]} -ge 3 ] || { echo "the README shows no install, package and removal lines"; exit 1; }

# The package is removed however the check ends, if a line installed it.
package_installed=no
trap '[ "$package_installed" = no ] || dpkg -r quendix > /dev/null || true' EXIT
installed_files=""
removal_ran=no
for line in "${lines[@]}"; do
  command=${line//"~/.local"/$prefix}
  case $command in
  dpkg\ *)
    if [ "$(id -u)" -ne 0 ]; then
      echo "skipped, not root: $line"
      continue
    fi
    ;;
  esac
  echo "\$ $line"
  bash -c "$command"
  case $command in
  "cmake --install "*)
    if [ -z "$installed_files" ]; then
      installed_files=$(cd "$prefix" && find . -type f | sort)
      [ -n "$installed_files" ] || { echo "the install put nothing in the prefix"; exit 1; }
      # Not in a || list, which would keep set -e from ending the check.
      if [ -n "${AFTER_INSTALL:-}" ]; then "$AFTER_INSTALL" "$prefix"; fi
    fi
    ;;
  "dpkg -i "*)
    package_installed=yes
    package_files=$(dpkg -L quendix)
    if [ -n "${AFTER_PACKAGE_INSTALL:-}" ]; then "$AFTER_PACKAGE_INSTALL"; fi
    ;;
  "dpkg -r "*)
    package_installed=no
    if dpkg-query -W -f='${Status}' quendix 2>/dev/null | grep -q 'install ok installed'; then
      echo "quendix is still installed after dpkg -r"; exit 1
    fi
    for path in $package_files; do
      if [ -f "$path" ] || [ -L "$path" ]; then echo "dpkg -r left $path behind"; exit 1; fi
    done
    ;;
  "rm "*)
    removal_ran=yes
    ;;
  esac
done

[ -n "$installed_files" ] || { echo "no line of the README installed into ~/.local"; exit 1; }
[ "$removal_ran" = yes ] || { echo "no line of the README removes the install"; exit 1; }
left=$(cd "$prefix" && find . -type f)
[ -z "$left" ] || { echo "the README's removal left:"; echo "$left"; exit 1; }
echo "the README's lines installed $(wc -l <<< "$installed_files") files and removed them all"
