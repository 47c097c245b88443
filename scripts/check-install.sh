#!/usr/bin/env bash
# Checks the kit as it is installed, from the plain build (build/, made by
# scripts/test.sh):
# - `cmake --install` into a temporary prefix holds exactly the kit (the three
#   versioned libraries, their headers and pkg-config files, the CMake package
#   configuration, the tool) and nothing of the tests, fakes, fuzz targets or
#   benchmarks; the tool finds the libraries from there;
# - the example site application (examples/) builds against that prefix
#   through find_package and through pkg-config, as C and as C++, and each
#   build finds the three fake devices of the fake site (test code from the
#   build tree) inside the test network;
# - `cpack -G DEB` makes a Debian package of the same contents with its
#   dependencies declared.
# Prints the install tree and the package's information and contents.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build
libs=(Qelm_Control Nardix PyrnBox)

fail() {
  echo "check-install: $*" >&2
  exit 1
}

# Inside the test network: the fake site beside each build of the example.
if [ "${1:-}" = --run-examples ]; then
  shift
  out=$1
  shift
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
    echo "== $app"
    "$app" | tee "$out/run.log"
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

work=$(mktemp -d "${TMPDIR:-/tmp}/kit-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

# Files and links below a tree, one a line ("path -> target" for a link).
tree() { (cd "$1" && find . \( -type f -printf '%P\n' \) -o \( -type l -printf '%P -> %l\n' \) | LC_ALL=C sort); }

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
  local want=("$bindir/devconfig" "$libdir/cmake/DeviceKit/DeviceKitConfig.cmake"
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
cmake -S examples -B "$work/example-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >/dev/null
found=$(sed -n 's/^DeviceKit_DIR:PATH=//p' "$work/example-cmake/CMakeCache.txt")
[ "$found" = "$prefix/$libdir/cmake/DeviceKit" ] || fail "find_package found DeviceKit at $found"
cmake --build "$work/example-cmake" >/dev/null

echo "== the example against the install tree: pkg-config"
mkdir -p "$work/example-pc"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
flags=$(pkg-config --cflags --libs "${libs[@]}")
echo "pkg-config --cflags --libs ${libs[*]}: $flags"
# shellcheck disable=SC2086 # the flags are words
cc -std=c99 -pedantic -Wall -Wextra -Werror examples/site_app.c $flags -o "$work/example-pc/site_app"
# shellcheck disable=SC2086
c++ -x c++ -Wall -Wextra -Werror examples/site_app.c $flags -o "$work/example-pc/site_app_cxx"

echo "== the example in the test network, beside the fake site"
# The pkg-config builds carry no run path: the prefix is named to the loader.
LD_LIBRARY_PATH="$prefix/$libdir" scripts/in-test-network.sh "$root/scripts/check-install.sh" --run-examples "$work" \
  "$work/example-cmake/site_app" "$work/example-cmake/site_app_cxx" \
  "$work/example-pc/site_app" "$work/example-pc/site_app_cxx"

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
echo "dpkg-deb -I $(basename "$deb"):"
dpkg-deb -I "$deb"
echo "dpkg-deb -c $(basename "$deb"):"
dpkg-deb -c "$deb"
mkdir "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
tree "$work/unpacked/usr" >"$work/packaged.txt"
check_tree "$work/packaged.txt" "the Debian package (below /usr)"
cmp -s <(sed 's/DeviceKitTargets-.*/DeviceKitTargets-CONFIG/' "$work/installed.txt") \
       <(sed 's/DeviceKitTargets-.*/DeviceKitTargets-CONFIG/' "$work/packaged.txt") ||
  fail "the package's contents differ from the install tree"
depends=$(dpkg-deb -f "$deb" Depends)
for want in libqt5widgets5 libqt5gui5 libqt5core5a libtinyxml2.6.2v5 fonts-wqy-microhei; do
  [[ ", $depends," == *", $want "* || ", $depends," == *", $want,"* ]] || fail "the package does not depend on $want: $depends"
done
echo "check-install: all good"
