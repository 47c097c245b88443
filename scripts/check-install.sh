#!/usr/bin/env bash
# Checks the kit as it is installed and packaged, from the plain build
# (build/, made by scripts/test.sh):
# - `cmake --install` into a temporary prefix holds exactly the kit (the three
#   versioned libraries, their headers and pkg-config files, the CMake package
#   configuration, the tool with its desktop entry and manual page) and
#   nothing of the tests, fakes, fuzz targets or benchmarks; the tool finds
#   the libraries from there;
# - the example site application (examples/) builds against that prefix
#   through find_package and through pkg-config, as C and as C++, and each
#   build finds the three fake devices of the fake site (test code from the
#   build tree) inside the test network;
# - `cpack -G DEB` makes the five Debian packages (libqelm-control1,
#   libnardix1, libpyrnbox1, device-kit-dev, devconfig), each holding exactly
#   its part of the same files below /usr, with its Depends (no Qt for the
#   libraries) and an Installed-Size that counts each file once, and
#   lintian reports no error and no warning for any of them; the example
#   builds against the unpacked packages both ways and runs;
# - as root, or with sudo that asks for no password: apt installs the five
#   packages, the example builds with no search path both ways and runs, the
#   libraries' packages pull in no Qt, and the packages are purged at the end.
# Prints the install tree, each package's information and contents, and
# lintian's output.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build
libs=(Qelm_Control Nardix PyrnBox)
runtime_packages=(libqelm-control1 libnardix1 libpyrnbox1)
packages=("${runtime_packages[@]}" device-kit-dev devconfig)
declare -A lib_of=([libqelm-control1]=Qelm_Control [libnardix1]=Nardix [libpyrnbox1]=PyrnBox)

fail() {
  echo "check-install: $*" >&2
  exit 1
}

# Inside the test network (see run_examples): the fake site beside each
# program, run as the given user ("" for the one running this script).
if [ "${1:-}" = --run-examples ]; then
  out=$2
  user=$3
  shift 3
  "$build/tests/fake_site" 60 >"$out/fake_site.log" 2>&1 &
  fake=$!
  trap 'kill "$fake" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    grep -q '^ready$' "$out/fake_site.log" && break
    kill -0 "$fake" 2>/dev/null || fail "the fake site did not start: $(cat "$out/fake_site.log")"
    sleep 0.1
  done
  grep -q '^ready$' "$out/fake_site.log" || fail "the fake site is not ready after 10 s"
  for app in "$@"; do
    if [ -n "$user" ]; then
      echo "== $app (as user $user)"
      setpriv --reuid="$user" --regid="$user" --clear-groups -- "$app" | tee "$out/run.log"
    else
      echo "== $app"
      "$app" | tee "$out/run.log"
    fi
    for want in 'traffic camera 198\.51\.100\.21 IPNC-site camera' \
                'plate-recognition camera 198\.51\.100\.30 MOLQ-SDA1' \
                'controller box 198\.51\.100\.40 VELD-site box' \
                'found 1 traffic cameras, 1 plate-recognition cameras, 1 controller boxes'; do
      grep -qx "$want" "$out/run.log" || fail "$app did not print: $want"
    done
  done
  exit 0
fi

[ -f "$build/CMakeCache.txt" ] || fail "no plain build in build/: run scripts/test.sh first"
cmake --build "$build" >/dev/null
cache() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
bindir=$(cache CMAKE_INSTALL_BINDIR)
libdir=$(cache CMAKE_INSTALL_LIBDIR)
includedir=$(cache CMAKE_INSTALL_INCLUDEDIR)
datarootdir=$(cache CMAKE_INSTALL_DATAROOTDIR)
datadir=$(cache CMAKE_INSTALL_DATADIR)
mandir=$(cache CMAKE_INSTALL_MANDIR)
datadir=${datadir:-$datarootdir}
mandir=${mandir:-$datarootdir/man}
# Debian's multiarch folder, where the packages must hold the libraries.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)

work=$(mktemp -d "${TMPDIR:-/tmp}/kit-install.XXXXXX")
apt_cleanup=:
cleanup() {
  $apt_cleanup
  rm -rf "$work"
}
trap cleanup EXIT
prefix=$work/prefix
# Whatever per-user files the libraries keep go to this run's folder.
export XDG_STATE_HOME=$work/state
# An ordinary user (nobody) runs the example too: it must reach the programs.
chmod a+rx "$work"
ordinary_user=65534

# Files and links below a tree, one a line ("path -> target" for a link).
tree() { (cd "$1" && find . \( -type f -printf '%P\n' \) -o \( -type l -printf '%P -> %l\n' \) | LC_ALL=C sort); }

# run_examples <user> <program>...: each program in the test network beside
# the fake site, as <user> ("" for the one running this script), with this
# environment (LD_LIBRARY_PATH for a kit outside the loader's folders).
run_examples() {
  scripts/in-test-network.sh "$root/scripts/check-install.sh" --run-examples "$work" "$@"
}

# gbk <text>: the text's GBK bytes, as the libraries write their logs.
gbk() { printf '%s' "$1" | iconv -f UTF-8 -t GBK; }

# check_own_files <folder> <what>: the libraries' per-user folder, private to
# its user, holds each library's log of the example's run (the camera's
# control log and the box's daily log in "DLLLog/", the plate library's in
# "LPRLog/") and the camera's "XML/" folder.
check_own_files() {
  local own=$1 what=$2 mode kind pattern text file
  [ -d "$own" ] || fail "$what: no per-user folder $own"
  mode=$(stat -c %a "$own")
  [ "$mode" = 700 ] || fail "$what: the per-user folder $own has mode $mode, not 700"
  [ -d "$own/XML" ] || fail "$what: no XML folder in $own"
  echo "$what: the libraries' files in ${own#"$work"/}:"
  (cd "$own" && find . -mindepth 1 -printf '  %P\n' | LC_ALL=C sort)
  for kind in 'DLLLog/control-[0-9]*.log|动态库开始初始化' 'DLLLog/[0-9]*.log|搜索相机执行成功' \
              'LPRLog/[0-9]*.log|初始化成功'; do
    pattern=${kind%%|*}
    text=${kind#*|}
    # shellcheck disable=SC2086 # the pattern is a glob
    file=$(ls $own/$pattern 2>/dev/null | head -n 1)
    [ -n "$file" ] || fail "$what: no log $pattern in $own"
    LC_ALL=C grep -qF "$(gbk "$text")" "$file" || fail "$what: $file lacks the line \"$text\""
  done
}

# run_keeping_files <what> <user> <per-user folder> <watched folder> <program>...:
# the programs run beside the fake site as <user> ("" for the one running this
# script); the libraries keep their files in <per-user folder> and write
# nothing below <watched folder> (where the libraries are installed).
run_keeping_files() {
  local what=$1 user=$2 own=$3 watched=$4 stamp made
  shift 4
  stamp=$work/stamp
  touch "$stamp"
  run_examples "$user" "$@"
  check_own_files "$own" "$what"
  made=$(find "$watched" -xdev -newer "$stamp" -print)
  [ -z "$made" ] || fail "$what: the libraries wrote below $watched: $made"
  echo "$what: nothing written below $watched"
}

# run_as_ordinary_user <what> <watched folder> <program>...: as a site
# application is run by an ordinary user of an installed kit: uid 65534 with a
# fresh home of its own and no XDG_STATE_HOME.
run_as_ordinary_user() {
  local what=$1 watched=$2 home
  shift 2
  home=$(mktemp -d "$work/home.XXXXXX")
  chown "$ordinary_user:$ordinary_user" "$home"
  (unset XDG_STATE_HOME && HOME=$home run_keeping_files "$what" "$ordinary_user" \
     "$home/.local/state/device-kit" "$watched" "$@")
}

# build_with_cmake <build folder> <where DeviceKit must be found> [cmake arguments]:
# the example through find_package(DeviceKit), as C and as C++.
build_with_cmake() {
  local dir=$1 want=$2 found
  shift 2
  cmake -S examples -B "$dir" -G Ninja -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "$@" >/dev/null
  found=$(sed -n 's/^DeviceKit_DIR:PATH=//p' "$dir/CMakeCache.txt")
  [ "$found" = "$want" ] || fail "find_package found DeviceKit at $found, not at $want"
  cmake --build "$dir" >/dev/null
}

# build_with_pkg_config <build folder>: the example through pkg-config (with
# the PKG_CONFIG_* settings of the call), as C and as C++.
build_with_pkg_config() {
  local dir=$1 flags
  mkdir -p "$dir"
  flags=$(pkg-config --cflags --libs "${libs[@]}")
  echo "pkg-config --cflags --libs ${libs[*]}: $flags"
  # shellcheck disable=SC2086 # the flags are words
  cc -std=c99 -pedantic -Wall -Wextra -Werror examples/site_app.c $flags -o "$dir/site_app"
  # shellcheck disable=SC2086
  c++ -x c++ -Wall -Wextra -Werror examples/site_app.c $flags -o "$dir/site_app_cxx"
}

# Every entry of an installed tree is one the kit installs, and each of those
# is there: anything else (a test, a fake, a fuzz target, a benchmark, a
# static library of the build) fails the check.
check_tree() {
  local listing=$1 where=$2 line path
  local -A seen=()
  while IFS= read -r line; do
    path=${line%% -> *}
    case "$line" in
      "$bindir/devconfig" | "$bindir/logo.ico" | \
      "$datadir/applications/devconfig.desktop" | "$mandir/man1/devconfig.1.gz" | \
      "$includedir/Qelm_Control.h" | "$includedir/Nardix.h" | "$includedir/PyrnBox.h" | \
      "$libdir/cmake/DeviceKit/DeviceKitConfig.cmake" | \
      "$libdir/cmake/DeviceKit/DeviceKitConfigVersion.cmake" | \
      "$libdir/cmake/DeviceKit/DeviceKitTargets.cmake" | \
      "$libdir/cmake/DeviceKit/DeviceKitTargets-"*.cmake | \
      "$libdir/pkgconfig/Qelm_Control.pc" | "$libdir/pkgconfig/Nardix.pc" | "$libdir/pkgconfig/PyrnBox.pc")
        ;;
      "$libdir/lib"*.so.[0-9]*.[0-9]*.[0-9]*)
        ;;
      # The link chain libX.so -> libX.so.N -> libX.so.N.M.P.
      "$libdir/lib"*.so" -> lib"*.so.[0-9]* | "$libdir/lib"*.so.[0-9]*" -> lib"*.so.[0-9]*.[0-9]*.[0-9]*)
        ;;
      *) fail "$where holds what the kit does not install: $line" ;;
    esac
    seen[$path]=1
  done <"$listing"
  grep -qiE 'test|fake|fuzz|bench|gtest|gmock' "$listing" && fail "$where holds test code: $(grep -iE 'test|fake|fuzz|bench|gtest|gmock' "$listing")"
  local want=("$bindir/devconfig" "$datadir/applications/devconfig.desktop" "$mandir/man1/devconfig.1.gz"
              "$libdir/cmake/DeviceKit/DeviceKitConfig.cmake"
              "$libdir/cmake/DeviceKit/DeviceKitConfigVersion.cmake" "$libdir/cmake/DeviceKit/DeviceKitTargets.cmake")
  [ -f devconfig/logo.ico ] && want+=("$bindir/logo.ico")
  local lib real
  for lib in "${libs[@]}"; do
    want+=("$includedir/$lib.h" "$libdir/pkgconfig/$lib.pc" "$libdir/lib$lib.so")
    real=$(grep -E "^$libdir/lib$lib\.so\.[0-9]+\.[0-9]+\.[0-9]+$" "$listing") || fail "$where: no versioned lib$lib.so"
    want+=("$real")
    grep -qxE "$libdir/lib$lib\.so -> lib$lib\.so\.[0-9]+" "$listing" || fail "$where: lib$lib.so is not a link to its soname"
    grep -qxE "$libdir/lib$lib\.so\.[0-9]+ -> ${real##*/}" "$listing" || fail "$where: lib$lib's soname is not a link to ${real##*/}"
  done
  for path in "${want[@]}"; do
    [ -n "${seen[$path]:-}" ] || fail "$where lacks $path"
  done
}

echo "== cmake --install build --prefix <prefix>"
cmake --install "$build" --prefix "$prefix" >/dev/null
tree "$prefix" >"$work/installed.txt"
echo "install tree (<prefix>/...):"
sed 's/^/  /' "$work/installed.txt"
check_tree "$work/installed.txt" "the install tree"
for lib in "${libs[@]}"; do
  real=$(basename "$(readlink -f "$prefix/$libdir/lib$lib.so")")
  soname=$(readelf -d "$prefix/$libdir/$real" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
  [ -L "$prefix/$libdir/$soname" ] || fail "lib$lib: soname $soname is not installed"
done
# The tool finds the kit's libraries from the install tree.
missing=$(ldd "$prefix/$bindir/devconfig" | grep -E 'not found|Qelm|Nardix|Pyrn' | grep -v "=> $prefix/" || true)
[ -z "$missing" ] || fail "the installed tool does not find the installed libraries: $missing"

echo "== the example against the install tree: find_package"
build_with_cmake "$work/example-cmake" "$prefix/$libdir/cmake/DeviceKit" -DCMAKE_PREFIX_PATH="$prefix"
echo "== the example against the install tree: pkg-config"
PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" build_with_pkg_config "$work/example-pc"
# The pkg-config builds carry no run path: the prefix is named to the loader.
prefix_examples=("$work/example-cmake/site_app" "$work/example-cmake/site_app_cxx"
                 "$work/example-pc/site_app" "$work/example-pc/site_app_cxx")
if [ "$(id -u)" = 0 ]; then
  echo "== the example against the install tree, as an ordinary user who cannot write the prefix"
  LD_LIBRARY_PATH="$prefix/$libdir" run_as_ordinary_user "an ordinary user of the prefix" "$prefix" "${prefix_examples[@]}"
else
  echo "check-install: SKIPPED the run as an ordinary user: it needs root (setpriv)"
  echo "== the example against the install tree, in the test network beside the fake site"
  LD_LIBRARY_PATH="$prefix/$libdir" run_examples "" "${prefix_examples[@]}"
fi

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
debs=()
for package in "${packages[@]}"; do
  deb=$(ls "$work"/deb/"${package}"_*.deb 2>/dev/null) || fail "cpack made no package $package"
  debs+=("$deb")
done
[ "$(ls "$work"/deb/*.deb | wc -l)" = "${#packages[@]}" ] || fail "cpack made other packages: $(ls "$work"/deb/*.deb)"
version=$(dpkg-deb -f "${debs[0]}" Version)
major=${version%%.*}
pkgroot=$work/pkgroot
mkdir "$pkgroot"

# expected_contents <package>: the package's files and links below /, as tree
# lists them (the CMake targets file of the build's configuration as
# DeviceKitTargets-CONFIG.cmake).
expected_contents() {
  local package=$1 lib
  local ma=usr/lib/$multiarch
  {
    echo "usr/share/doc/$package/changelog.gz"
    echo "usr/share/doc/$package/copyright"
    case $package in
      device-kit-dev)
        for lib in "${libs[@]}"; do
          echo "usr/include/$lib.h"
          echo "$ma/lib$lib.so -> lib$lib.so.$major"
          echo "$ma/pkgconfig/$lib.pc"
        done
        for f in DeviceKitConfig DeviceKitConfigVersion DeviceKitTargets DeviceKitTargets-CONFIG; do
          echo "$ma/cmake/DeviceKit/$f.cmake"
        done
        ;;
      devconfig)
        echo "usr/bin/devconfig"
        [ -f devconfig/logo.ico ] && echo "usr/bin/logo.ico"
        echo "usr/share/applications/devconfig.desktop"
        echo "usr/share/man/man1/devconfig.1.gz"
        ;;
      *)
        lib=${lib_of[$package]}
        echo "$ma/lib$lib.so.$major -> lib$lib.so.$version"
        echo "$ma/lib$lib.so.$version"
        ;;
    esac
  } | LC_ALL=C sort
}
normalise_config() { sed 's/DeviceKitTargets-.*\.cmake$/DeviceKitTargets-CONFIG.cmake/'; }

# has_depends <package> <Depends> <wanted>...: each wanted relation is there.
has_depends() {
  local package=$1 depends=$2 want
  shift 2
  for want in "$@"; do
    [[ ", $depends," == *", $want,"* || ", $depends," == *", $want ("* ]] ||
      fail "$package does not depend on $want: $depends"
  done
}

for deb in "${debs[@]}"; do
  package=$(dpkg-deb -f "$deb" Package)
  echo "-- $package: dpkg-deb -I $(basename "$deb")"
  dpkg-deb -I "$deb"
  echo "-- $package: dpkg-deb -c $(basename "$deb")"
  dpkg-deb -c "$deb"
  [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$package is not at version $version"
  mkdir "$work/unpacked-$package"
  dpkg-deb -x "$deb" "$work/unpacked-$package"
  dpkg-deb -x "$deb" "$pkgroot"
  tree "$work/unpacked-$package" | normalise_config | LC_ALL=C sort >"$work/contents-$package.txt"
  expected_contents "$package" >"$work/expected-$package.txt"
  diff -u "$work/expected-$package.txt" "$work/contents-$package.txt" >&2 ||
    fail "$package does not hold what it should (- expected, + held)"
  # Installed-Size counts each file, link and folder once: the bytes they
  # hold in KiB, give or take the rounding of each up to a whole KiB.
  declared=$(dpkg-deb -f "$deb" Installed-Size)
  bytes=$(find "$work/unpacked-$package" \( -type f -o -type l \) -printf '%s\n' | awk '{ s += $1 } END { print s + 0 }')
  entries=$(find "$work/unpacked-$package" | wc -l)
  low=$(( (bytes + 1023) / 1024 ))
  high=$(( bytes / 1024 + entries ))
  (( declared >= low && declared <= high )) ||
    fail "$package declares Installed-Size $declared KiB; its $entries files, links and folders hold $bytes bytes ($low to $high KiB)"
  echo "$package: Installed-Size $declared KiB for $bytes bytes in $entries files, links and folders"
  control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -v '^$' | LC_ALL=C sort | tr '\n' ' ')
  depends=$(dpkg-deb -f "$deb" Depends)
  case $package in
    lib*)
      lib=${lib_of[$package]}
      [ "$(dpkg-deb -f "$deb" Section)" = libs ] || fail "$package is not in Section libs"
      [ "$control" = "control md5sums shlibs triggers " ] || fail "$package's control files are $control"
      [ "$(dpkg-deb --info "$deb" shlibs)" = "lib$lib $major $package (>= $version)" ] ||
        fail "$package's shlibs: $(dpkg-deb --info "$deb" shlibs)"
      [ "$(dpkg-deb --info "$deb" triggers)" = "activate-noawait ldconfig" ] ||
        fail "$package's triggers: $(dpkg-deb --info "$deb" triggers)"
      has_depends "$package" "$depends" libc6
      [ "$lib" != Qelm_Control ] || has_depends "$package" "$depends" libtinyxml2.6.2v5
      if grep -qiE 'qt|x11|xcb|font|libgl' <<<"$depends"; then fail "$package depends on a desktop package: $depends"; fi
      ;;
    device-kit-dev)
      [ "$(dpkg-deb -f "$deb" Section)" = libdevel ] || fail "$package is not in Section libdevel"
      for p in "${runtime_packages[@]}"; do has_depends "$package" "$depends" "$p (= $version)"; done
      ;;
    devconfig)
      [ "$(dpkg-deb -f "$deb" Section)" = net ] || fail "$package is not in Section net"
      for p in "${runtime_packages[@]}"; do has_depends "$package" "$depends" "$p (= $version)"; done
      has_depends "$package" "$depends" libqt5widgets5 libqt5core5a fonts-wqy-microhei
      if readelf -d "$work/unpacked-$package/usr/bin/devconfig" | grep -qE 'RPATH|RUNPATH'; then
        fail "the packaged tool carries a run path: $(readelf -d "$work/unpacked-$package/usr/bin/devconfig" | grep -E 'RPATH|RUNPATH')"
      fi
      desktop-file-validate --no-hints "$work/unpacked-$package/usr/share/applications/devconfig.desktop" ||
        fail "the desktop entry is not valid"
      ;;
  esac
done

# Together the packages hold the files of the install tree (in /usr's
# folders), plus each one's copyright and changelog.
map_tree_dirs() {
  sed -e "s|^$mandir/|share/man/|;t" -e "s|^$datadir/|share/|;t" -e "s|^$libdir/|lib/$multiarch/|;t" \
      -e "s|^$includedir/|include/|;t" -e "s|^$bindir/|bin/|"
}
map_tree_dirs <"$work/installed.txt" | normalise_config | LC_ALL=C sort >"$work/installed-mapped.txt"
tree "$pkgroot/usr" | normalise_config | grep -v '^share/doc/' | LC_ALL=C sort >"$work/packaged.txt"
diff -u "$work/installed-mapped.txt" "$work/packaged.txt" >&2 ||
  fail "the packages' files differ from the install tree's (- tree, + packages)"

echo "== lintian"
lintian_out=$work/lintian.txt
lintian_rc=0
lintian --display-info --fail-on error,warning "${debs[@]}" >"$lintian_out" 2>&1 || lintian_rc=$?
# lintian's note that it prefers not to run as root is no finding.
grep -v '^running with root privileges is not recommended!$' "$lintian_out" || true
[ "$lintian_rc" = 0 ] || fail "lintian reports errors or warnings (exit $lintian_rc)"
grep -qE '^[EW]: ' "$lintian_out" && fail "lintian reports errors or warnings"
echo "lintian: no error and no warning for ${packages[*]}"

echo "== the example against the unpacked packages: find_package"
build_with_cmake "$work/example-deb-cmake" "$pkgroot/usr/lib/$multiarch/cmake/DeviceKit" -DCMAKE_PREFIX_PATH="$pkgroot/usr"
echo "== the example against the unpacked packages: pkg-config"
PKG_CONFIG_LIBDIR="$pkgroot/usr/lib/$multiarch/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$pkgroot" \
  build_with_pkg_config "$work/example-deb-pc"
echo "== the example against the unpacked packages, in the test network beside the fake site"
LD_LIBRARY_PATH="$pkgroot/usr/lib/$multiarch" run_examples "" \
  "$work/example-deb-cmake/site_app" "$work/example-deb-cmake/site_app_cxx" \
  "$work/example-deb-pc/site_app" "$work/example-deb-pc/site_app_cxx"

echo "== apt-get install of the five packages"
as_root=()
if [ "$(id -u)" != 0 ]; then
  if sudo -n true 2>/dev/null; then
    as_root=(sudo -n)
  else
    echo "check-install: SKIPPED the apt step (installing the packages with apt-get, building and running the example against them): neither root nor sudo without a password"
    echo "check-install: all good (the apt step skipped)"
    exit 0
  fi
fi
# The folders that the libraries would make beside themselves if they kept
# their files in the multiarch folder (the check below fails then; the
# clean-up leaves the machine as it was all the same).
system_libdir=/usr/lib/$multiarch
made_by_libraries=()
for folder in DLLLog LPRLog XML ErrorData; do
  [ -e "$system_libdir/$folder" ] || made_by_libraries+=("$system_libdir/$folder")
done
already=()
for package in "${packages[@]}"; do
  if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q ' installed$'; then already+=("$package"); fi
done
[ "${#already[@]}" = 0 ] || echo "check-install: already installed, purged at the end as well: ${already[*]}"
remove_installed() {
  echo "== apt-get purge of the five packages"
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >"$work/purge.log" 2>&1 ||
    { cat "$work/purge.log" >&2; echo "check-install: the packages could not be purged" >&2; }
  [ "${#made_by_libraries[@]}" = 0 ] || "${as_root[@]}" rm -rf "${made_by_libraries[@]}"
}
apt_cleanup=remove_installed
# apt reads local packages as its own unprivileged user.
chmod a+rx "$work" "$work/deb"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "apt-get could not install the packages"; }
dpkg-query -W -f='${Package} ${Version} ${Status}\n' "${packages[@]}"
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" | grep -q ' installed$' || fail "$package is not installed"
done
# The libraries' packages pull in no Qt, no X11 and no font, all the way down.
for package in "${runtime_packages[@]}"; do
  apt-cache depends --recurse --important "$package" | sed -n 's/^<\{0,1\}\([^ <>]\{1,\}\)>\{0,1\}$/\1/p' |
    LC_ALL=C sort -u >"$work/closure-$package.txt"
  echo "$package pulls in: $(tr '\n' ' ' <"$work/closure-$package.txt")"
  if grep -iE 'qt|x11|xcb|font|libgl' "$work/closure-$package.txt"; then fail "$package pulls in a desktop package"; fi
done
# (/lib is /usr/lib on Debian 12.)
missing=$(ldd /usr/bin/devconfig | grep -E 'not found|Qelm|Nardix|Pyrn' | grep -vE "=> (/usr)?/lib/$multiarch/" || true)
[ -z "$missing" ] || fail "the installed tool does not find the installed libraries: $missing"

echo "== the example against the installed packages, no search path given: find_package"
(unset CMAKE_PREFIX_PATH && build_with_cmake "$work/example-apt-cmake" "$system_libdir/cmake/DeviceKit")
echo "== the example against the installed packages, no search path given: pkg-config"
(unset PKG_CONFIG_PATH PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR && build_with_pkg_config "$work/example-apt-pc")
echo "== the example against the installed packages, in the test network beside the fake site"
# Root as well keeps the files in its per-user folder: nothing is written under /usr.
(unset LD_LIBRARY_PATH && run_keeping_files "root with the installed packages" "" "$XDG_STATE_HOME/device-kit" /usr \
  "$work/example-apt-cmake/site_app" "$work/example-apt-cmake/site_app_cxx" \
  "$work/example-apt-pc/site_app" "$work/example-apt-pc/site_app_cxx")
echo "== the example against the installed packages, as an ordinary user"
if [ "$(id -u)" = 0 ]; then
  (unset LD_LIBRARY_PATH && run_as_ordinary_user "an ordinary user of the installed packages" /usr \
    "$work/example-apt-cmake/site_app" "$work/example-apt-pc/site_app_cxx")
else
  echo "check-install: SKIPPED the run as an ordinary user: it needs root (setpriv)"
fi
echo "check-install: all good"
