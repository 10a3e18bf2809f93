#!/usr/bin/env bash
# Checks the Debian package; ctest runs the three steps (see CMakeLists.txt):
#   package_test.sh build DEB_DIR CPACK BUILD_DIR
#       builds the package from the build tree into DEB_DIR.
#   package_test.sh contents DEB_DIR VERSION EXPECTED_FILE...
#       checks its metadata, its files, the manual page and the maintainer
#       scripts.
#   package_test.sh install DEB_DIR
#       installs it into a throw-away root, installs it again, removes and
#       purges it, and checks the group, owner, mode and capabilities of the
#       network helper (and that the program itself is a plain one) at each
#       stage.
# Nothing is installed into this system: the throw-away root is a tmpfs in a
# private mount namespace in which / is read-only, so a maintainer script that
# reached for the real system fails the test instead of changing the system.
set -uo pipefail

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
skip() {
  echo "SKIP: $*"
  exit 77
}
finish() {
  if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo PASS
  exit 0
}

the_deb() {
  local debs=("$1"/brickfix_*.deb)
  if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} ]]; then
    echo "expected one package in $1" >&2
    exit 1
  fi
  echo "${debs[0]}"
}

# The package names in a Depends-like field, one a line: alternatives split,
# versions and architecture qualifiers dropped.
package_names() {
  tr ',|' '\n' | sed -e 's/(.*)//' -e 's/:.*//' -e 's/[[:space:]]//g' | grep -v '^$'
}

run_build() {
  local deb_dir=$1 cpack=$2 build_dir=$3
  rm -rf "$deb_dir"
  mkdir -p "$deb_dir"
  "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$deb_dir" || exit 1
  the_deb "$deb_dir"
}

# --- contents ---------------------------------------------------------------

check_control() {
  local deb=$1 version=$2
  [[ $(dpkg-deb -f "$deb" Package) == brickfix ]] || fail "Package is not brickfix"
  [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] ||
    fail "Version $(dpkg-deb -f "$deb" Version) is not the project's $version"
  [[ $(dpkg-deb -f "$deb" Architecture) == $(dpkg --print-architecture) ]] ||
    fail "Architecture is not this system's"
  [[ -n $(dpkg-deb -f "$deb" Maintainer) ]] || fail "no Maintainer"
  [[ -n $(dpkg-deb -f "$deb" Description) ]] || fail "no Description"

  local depends
  depends=$(dpkg-deb -f "$deb" Depends | package_names)
  echo "Depends: $(dpkg-deb -f "$deb" Depends)"
  for needed in libc6 libstdc++6 passwd libcap2-bin; do
    grep -qx "$needed" <<<"$depends" || fail "Depends lacks $needed"
  done
  dpkg-deb -f "$deb" Recommends | package_names | grep -qx isc-dhcp-client ||
    fail "Recommends names no DHCP client"
}

# The files, exactly: a file that the install rules forget or add shows here.
check_files() {
  local root=$1
  shift
  local missing_or_extra
  missing_or_extra=$(diff <(printf '%s\n' "$@" | sort) \
    <(cd "$root" && find . -type f -o -type l | sed 's|^\./||' | sort))
  [[ -z $missing_or_extra ]] ||
    fail "the package's files differ from the expected ones (< expected, > packaged):
$missing_or_extra"
  for program in "$root"/usr/bin/* "$root"/usr/libexec/brickfix/*; do
    [[ $(stat -c '%a %U:%G' "$program") == "755 root:root" ]] ||
      fail "${program#"$root"} is not 0755 root:root in the package"
  done
  # The helper holds the network rights: it links no toolkit, HTTP or TLS
  # library.
  local linked
  linked=$(readelf -d "$root/usr/libexec/brickfix/brickfix-nethelper" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  grep -Eq 'Qt|curl|ssl|crypto|ncurses|json' <<<"$linked" &&
    fail "the network helper links more than it needs: $linked"
  return 0
}

# Every shared library that a packaged program needs comes from a package
# that Depends names. dpkg knows a library by the path its package ships,
# which on a merged /usr may be the /lib alias that ldd prints or the
# /usr/lib file behind it; one dpkg -S call answers for all of them.
check_library_dependencies() {
  local root=$1 deb=$2 depends needs=() paths=()
  depends=$(dpkg-deb -f "$deb" Depends | package_names)
  while IFS= read -r -d '' file; do
    head -c 4 "$file" | cmp -s - <(printf '\177ELF') || continue
    local resolved
    resolved=$(ldd "$file") || {
      fail "ldd cannot read ${file#"$root"}"
      continue
    }
    for soname in $(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      local path
      path=$(awk -v lib="$soname" '$1 == lib && $2 == "=>" { print $3 }' <<<"$resolved")
      needs+=("${file#"$root"} $soname $path")
      [[ -n $path ]] && paths+=("$path" "$(readlink -f "$path")")
    done
  done < <(find "$root" -type f -print0)
  local owners
  owners=$(dpkg -S "${paths[@]}" 2>/dev/null)
  for need in "${needs[@]}"; do
    local file soname path owner
    read -r file soname path <<<"$need"
    owner=
    if [[ -n $path ]]; then
      for candidate in "$path" "$(readlink -f "$path")"; do
        owner=$(awk -v p="$candidate" '{ n = index($0, ": "); if (substr($0, n + 2) == p) { print substr($0, 1, n - 1); exit } }' <<<"$owners" | cut -d: -f1)
        [[ -n $owner ]] && break
      done
    fi
    if [[ -z $owner ]]; then
      fail "no package on this system owns $soname ($file)"
    elif ! grep -qx "$owner" <<<"$depends"; then
      fail "$file needs $soname from $owner, which Depends does not name"
    fi
  done
}

check_manual_page() {
  local root=$1 version=$2 page=$1/usr/share/man/man1/brickfix.1.gz
  local warnings
  warnings=$(zcat "$page" | groff -man -ww -z 2>&1) || fail "groff cannot format the manual page"
  [[ -z $warnings ]] || fail "groff warns about the manual page: $warnings"
  zcat "$page" | grep -q "^\.TH BRICKFIX 1 .*\"brickfix $version\"" ||
    fail "the manual page does not carry version $version"
}

check_desktop_entry() {
  local root=$1 entry=$1/usr/share/applications/brickfix.desktop
  [[ -f $entry ]] || return 0
  grep -Eq '^Exec=(.*[ /])?brickfix( |$)' "$entry" || fail "the desktop entry does not start brickfix"
  if [[ -f $root/usr/share/icons/hicolor/128x128/apps/brickfix.png ]]; then
    grep -qx 'Icon=brickfix' "$entry" || fail "the desktop entry does not use the installed icon"
  fi
}

check_maintainer_scripts() {
  local control=$1 root=$2
  for script in postinst postrm; do
    [[ -x $control/$script ]] || fail "$script is missing or not executable"
    sh -n "$control/$script" || fail "$script is not valid sh"
  done
  grep -q 'setcap cap_net_admin,cap_net_raw,cap_net_bind_service+ep "$DPKG_ROOT$helper"' "$control/postinst" ||
    fail "postinst does not give the helper the capabilities"
  grep -q 'groupadd --system' "$control/postinst" || fail "postinst does not create the group"
  grep -q 'groupdel' "$control/postrm" || fail "postrm does not delete the group"
  grep -qx 'd /run/brickfix 3770 root brickfix -' "$root/usr/lib/tmpfiles.d/brickfix.conf" ||
    fail "tmpfiles.d does not make the run lock's folder for the group alone"
}

run_contents() {
  local deb version=$2 work
  deb=$(the_deb "$1")
  shift 2
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  dpkg-deb -x "$deb" "$work/root" || exit 1
  dpkg-deb -e "$deb" "$work/control" || exit 1
  dpkg-deb -c "$deb"
  check_control "$deb" "$version"
  check_files "$work/root" "$@"
  check_library_dependencies "$work/root" "$deb"
  check_manual_page "$work/root" "$version"
  check_desktop_entry "$work/root"
  check_maintainer_scripts "$work/control" "$work/root"
  finish
}

# --- install into throw-away roots ------------------------------------------
# Two kinds of root: a copy of this system (an overlay over / with the writes
# going to a tmpfs; dpkg and the maintainer scripts run chrooted in it, as on
# a real installation) and an empty root that dpkg installs into with --root,
# running the maintainer scripts outside it with DPKG_ROOT set.

helper=/usr/libexec/brickfix/brickfix-nethelper
program=/usr/bin/brickfix
capabilities=cap_net_bind_service,cap_net_admin,cap_net_raw=ep
root_kind=

in_root() {
  local root=$1
  shift
  if [[ $root_kind == copy ]]; then
    chroot "$root" env TMPDIR=/tmp dpkg "$@" || fail "dpkg $* failed"
  else
    dpkg --root="$root" --force-script-chrootless --log="$root/var/log/dpkg.log" "$@" ||
      fail "dpkg $* failed"
  fi
}

statoverride_in() {
  local root=$1
  shift
  if [[ $root_kind == copy ]]; then
    chroot "$root" dpkg-statoverride "$@"
  else
    dpkg-statoverride --root "$root" "$@"
  fi
}

group_lines() { grep -c '^brickfix:' "$1/etc/$2"; }
group_id() { grep '^brickfix:' "$1/etc/group" | cut -d: -f3; }

# The helper as `expected` says, with the capabilities; the program plain.
check_program() {
  local root=$1 stage=$2 expected=$3
  [[ $(stat -c '%u:%g %a' "$root$helper") == "$expected" ]] ||
    fail "$stage: $helper is $(stat -c '%u:%g %a' "$root$helper"), not $expected"
  local caps
  caps=$(getcap "$root$helper" | awk '{ print $2 }')
  [[ $caps == "$capabilities" ]] || fail "$stage: $helper has capabilities '$caps'"
  statoverride_in "$root" --list "$helper" >/dev/null ||
    fail "$stage: no owner and mode entry for $helper"
  [[ $(stat -c '%u:%g %a' "$root$program") == "0:0 755" ]] ||
    fail "$stage: $program is $(stat -c '%u:%g %a' "$root$program"), not a plain program"
  [[ -z $(getcap "$root$program") ]] || fail "$stage: $program has capabilities"
  ! statoverride_in "$root" --list "$program" >/dev/null ||
    fail "$stage: $program has an owner and mode entry"
}

# Install, install again (as an upgrade does), remove, purge. $2 is the
# package's path as dpkg sees it.
check_life_cycle() {
  local root=$1 deb=$2
  echo "--- $root_kind root: install, reinstall, remove, purge"
  in_root "$root" --install "$deb"
  local gid
  gid=$(group_id "$root")
  [[ -n $gid ]] || fail "install: no group brickfix"
  [[ $(group_lines "$root" gshadow) -eq 1 ]] || fail "install: no group brickfix in gshadow"
  check_program "$root" install "0:$gid 750"
  # The run lock's folder, on a running system only (the copy is one).
  if [[ $root_kind == copy ]]; then
    [[ $(stat -c '%u:%g %a' "$root/run/brickfix" 2>&1) == "0:$gid 3770" ]] ||
      fail "install: /run/brickfix is $(stat -c '%u:%g %a' "$root/run/brickfix" 2>&1)"
  else
    [[ ! -e $root/run ]] || fail "install: another root directory got a /run/brickfix"
  fi

  # What an earlier version made of the program itself: it belonged to the
  # group, with the capabilities. An upgrade makes it a plain program.
  statoverride_in "$root" --update --add root "#$gid" 0750 "$program" || fail "cannot add the old entry"
  setcap cap_net_admin+ep "$root$program" || fail "cannot give the old capabilities"
  in_root "$root" --install "$deb"
  [[ $(group_lines "$root" group) -eq 1 ]] || fail "reinstall: the group is not there once"
  [[ $(group_id "$root") == "$gid" ]] || fail "reinstall: the group's number changed"
  check_program "$root" "upgrade from a version without the helper" "0:$gid 750"

  in_root "$root" --remove brickfix
  [[ ! -e $root$program && ! -e $root$helper ]] || fail "remove: the programs are still there"
  [[ ! -e $root/run/brickfix ]] || fail "remove: /run/brickfix is still there"
  ! statoverride_in "$root" --list "$helper" >/dev/null ||
    fail "remove: the owner and mode entry for $helper is still there"
  [[ $(group_lines "$root" group) -eq 1 ]] || fail "remove: the group went before the purge"

  in_root "$root" --purge brickfix
  [[ $(group_lines "$root" group) -eq 0 ]] || fail "purge: the group brickfix is still there"
  [[ $(group_lines "$root" gshadow) -eq 0 ]] || fail "purge: the group is still in gshadow"
}

# A copy of this system. What the package leaves behind after its purge is
# what the overlay's upper directory holds beyond dpkg's records, the indexes
# that other packages' triggers rebuild (manual pages, icons, desktop
# entries) and the shadow tools' lock and backup files.
check_system_copy() {
  local deb=$1 work=$2/copy
  if dpkg-query -W -f='${Status}' brickfix 2>/dev/null | grep -q installed; then
    echo "NOTE: brickfix is installed on this system; only the empty root is checked"
    return
  fi
  mkdir -p "$work"/{upper/etc,scratch,root,before}
  # The copy's group files are this system's as they are now, fixed in the
  # upper directory: other tests may add and remove their own users on this
  # system meanwhile.
  cp -p /etc/group /etc/gshadow "$work/before/"
  cp -p /etc/group /etc/gshadow "$work/upper/etc/"
  if ! mount -t overlay brickfix-copy -o "lowerdir=/,upperdir=$work/upper,workdir=$work/scratch" \
    "$work/root"; then
    echo "NOTE: no overlay file system here; only the empty root is checked"
    return
  fi
  if ! { mount --rbind /dev "$work/root/dev" && mount -t proc proc "$work/root/proc" &&
    mount --bind "$(dirname "$deb")" "$work/root/mnt"; }; then
    fail "cannot prepare the copy of this system"
    return
  fi
  root_kind=copy
  check_life_cycle "$work/root" "/mnt/$(basename "$deb")"
  local left
  left=$(cd "$work/upper" && find . ! -type d | sed 's|^\./||' |
    grep -Ev '^(var/lib/dpkg/|var/log/|var/cache/man/|etc/\.pwd\.lock$|etc/(group|gshadow)-?$)' |
    grep -Ev '^usr/share/(icons/hicolor/icon-theme|applications/mimeinfo)\.cache$')
  [[ -z $left ]] || fail "purge: left behind: $left"
  for file in group gshadow; do
    cmp -s "$work/upper/etc/$file" "$work/before/$file" ||
      fail "purge: /etc/$file differs from before the install"
  done
}

# An empty root that dpkg can install into: a package database that knows
# the packages brickfix depends on as this system has them (so that dpkg
# checks the Depends line for real), a group file, and an operator's firmware
# folder that must outlive the package.
new_root() {
  local root=$1 deb=$2
  mkdir -p "$root"/{etc,var/log,home/operator/Rom} "$root"/var/lib/dpkg/{info,updates,triggers}
  printf 'root:x:0:\n' >"$root/etc/group"
  printf 'root:*::\n' >"$root/etc/gshadow"
  echo firmware >"$root/home/operator/Rom/RX2001-1.0.3"
  local depends
  depends=$(dpkg-deb -f "$deb" Depends | package_names)
  [[ -n $depends ]] || fail "cannot read the package's Depends"
  # shellcheck disable=SC2086
  dpkg-query -s $depends >"$root/var/lib/dpkg/status" 2>/dev/null
  # shellcheck disable=SC2086
  for package in $(dpkg-query -W -f='${binary:Package}\n' $depends 2>/dev/null); do
    : >"$root/var/lib/dpkg/info/$package.list"
  done
}

# Everything in the root but dpkg's own records and the shadow tools' backup
# files, with owners, modes and contents.
snapshot() {
  (cd "$1" && find . \( -path ./var/lib/dpkg -o -path ./var/log \
    -o -name group- -o -name gshadow- \) -prune -o -print | sort |
    while IFS= read -r path; do
      if [[ -f $path ]]; then
        echo "$path $(stat -c '%u:%g %a' "$path") $(md5sum <"$path")"
      else
        echo "$path $(stat -c '%u:%g %a' "$path")"
      fi
    done)
}

check_empty_root() {
  local deb=$1 root=$2/empty before
  root_kind=empty
  new_root "$root" "$deb"
  before=$(snapshot "$root")
  check_life_cycle "$root" "$deb"
  local left
  left=$(diff <(echo "$before") <(snapshot "$root"))
  [[ -z $left ]] || fail "purge: the root differs from before the install:
$left"
}

# An owner and mode that the administrator chose beforehand stay; the
# capabilities are given all the same.
check_administrator_override() {
  local deb=$1 root=$2/override
  echo "--- empty root with an administrator's override"
  root_kind=empty
  new_root "$root" "$deb"
  statoverride_in "$root" --add root '#0' 0755 "$helper" || fail "cannot add an override"
  in_root "$root" --install "$deb"
  check_program "$root" "install with an override" "0:0 755"
  in_root "$root" --purge brickfix
  ! statoverride_in "$root" --list "$helper" >/dev/null ||
    fail "purge: the override for $helper is still there"
}

# Runs inside the private mount namespace; $2 is an empty directory.
install_in_sandbox() {
  local deb=$1 work=$2
  mount -o remount,bind,ro / || skip "cannot make / read-only in a mount namespace"
  if touch /.brickfix-write-probe 2>/dev/null; then
    rm -f /.brickfix-write-probe
    skip "/ stays writable in the mount namespace"
  fi
  mount -t tmpfs -o mode=0755 brickfix-roots "$work" || skip "cannot mount a tmpfs"
  mkdir "$work/tmp"
  export TMPDIR=$work/tmp
  check_system_copy "$deb" "$work"
  check_empty_root "$deb" "$work"
  check_administrator_override "$deb" "$work"
  finish
}

run_install() {
  local deb
  deb=$(the_deb "$1")
  [[ $(id -u) -eq 0 ]] || skip "installing into a throw-away root needs root (dpkg, chown, setcap)"
  unshare --mount --propagation private true 2>/dev/null ||
    skip "cannot create a mount namespace for the throw-away roots"
  local work status
  work=$(mktemp -d)
  unshare --mount --propagation private bash "$0" install-in-sandbox "$deb" "$work"
  status=$?
  rmdir "$work"  # the tmpfs went with the namespace
  exit $status
}

case "${1:-}" in
build) run_build "${@:2}" ;;
contents) run_contents "${@:2}" ;;
install) run_install "${@:2}" ;;
install-in-sandbox) install_in_sandbox "${@:2}" ;;
*)
  echo "usage: $0 build|contents|install ..." >&2
  exit 2
  ;;
esac
