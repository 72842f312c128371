# The packages, made with cpack from a build directory and checked as a user
# gets them. Source this file after build.sh (and wine.sh for running a zip's
# programs); every check adds one to PK_PASSED or PK_FAILED.
#   pk_deb BUILD WORK              the .deb of a native build (configured for
#                                  /usr while cpack runs, as a .deb must be);
#                                  lintian, when installed, finds no error
#   pk_zip BUILD WORK TOOLCHAIN win64|win32
#                                  the zip of a mingw build; its programs run
#                                  under Wine when PK_RUN_WINE=1
# WORK is emptied first; logs go into it.

PK_PASSED=0
PK_FAILED=0
PK_RUN_WINE=0
PK_CONSUMER=tests/exports/consumer

# pk_check WHAT LOG COMMAND...: one check; its output goes to LOG and is shown
# when it fails.
pk_check() {
  local what=$1 log=$2
  shift 2
  echo "==== package: $what"
  if "$@" >"$log" 2>&1; then
    PK_PASSED=$((PK_PASSED + 1))
    return 0
  fi
  echo "---- failed: $what ($log):"
  tail -n 40 "$log"
  echo "----"
  PK_FAILED=$((PK_FAILED + 1))
  return 1
}

# pk_same_list NAME EXPECTED ACTUAL: two lists of lines are the same set.
pk_same_list() {
  local diff
  diff=$(diff <(printf '%s\n' "$2" | sed '/^$/d' | LC_ALL=C sort) \
              <(printf '%s\n' "$3" | sed '/^$/d' | LC_ALL=C sort)) && return 0
  echo "$1 differs (- missing, + unexpected):"
  printf '%s\n' "$diff" | sed -n 's/^< /- /p; s/^> /+ /p'
  return 1
}

pk_version() {
  sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$1/CMakeCache.txt"
}

# pk_cpack BUILD GENERATOR FILE: makes the package, which must come out as FILE.
pk_cpack() {
  rm -f "$3"
  (cd "$1" && cpack -G "$2") || return 1
  [ -f "$3" ] || { echo "cpack made no $3"; return 1; }
}

# --- Debian ------------------------------------------------------------------

pk_deb_fields() {
  local deb=$1 version=$2 field value names ok=0
  dpkg-deb -f "$deb"
  for field in Package:dudidadu "Version:$version" Architecture:"$(dpkg --print-architecture)" \
               "Recommends:libpulse0, libasound2" Section:sound; do
    value=$(dpkg-deb -f "$deb" "${field%%:*}")
    [ "$value" = "${field#*:}" ] || { echo "${field%%:*} is '$value', not '${field#*:}'"; ok=1; }
  done
  # The run-time libraries the binaries link; the sound server's client and
  # ALSA's are loaded only when present and so are no dependencies.
  value=$(dpkg-deb -f "$deb" Depends)
  names=$(sed 's/ *([^)]*)//g; s/ *[,|] */\n/g' <<<"$value")
  for field in libc6 libstdc++6; do
    grep -qxF "$field" <<<"$names" || { echo "Depends lacks $field: $value"; ok=1; }
  done
  if grep -qE 'libpulse|libasound' <<<"$names"; then echo "Depends names libpulse or libasound: $value"; ok=1; fi
  [ -n "$(dpkg-deb -f "$deb" Description)" ] || { echo "no Description"; ok=1; }
  return $ok
}

# The library folder of a .deb: Debian's multiarch one.
pk_deb_libdir() {
  echo "usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
}

pk_deb_files() {
  local deb=$1 version=$2 major=${2%%.*} lib expected actual
  lib=./$(pk_deb_libdir)
  expected="./usr/bin/dudidadu-play
./usr/include/dudidadu.h
$lib/cmake/dudidadu/dudidaduConfig.cmake
$lib/cmake/dudidadu/dudidaduConfigVersion.cmake
$lib/cmake/dudidadu/dudidaduTargets-release.cmake
$lib/cmake/dudidadu/dudidaduTargets.cmake
$lib/libdudidadu.so
$lib/libdudidadu.so.$major
$lib/libdudidadu.so.$version
$lib/pkgconfig/dudidadu.pc
./usr/share/doc/dudidadu/CHANGELOG.md
./usr/share/doc/dudidadu/README.md
./usr/share/doc/dudidadu/api.md
./usr/share/doc/dudidadu/changelog.gz
./usr/share/doc/dudidadu/copyright"
  # Files and links; directories are not listed.
  actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }')
  pk_same_list "files of $(basename "$deb")" "$expected" "$actual" || return 1
  # The licence, under the name Debian gives it.
  dpkg-deb --fsys-tarfile "$deb" | tar -xOf - ./usr/share/doc/dudidadu/copyright | grep -q 'MIT licence' || {
    echo "usr/share/doc/dudidadu/copyright does not hold the licence"
    return 1
  }
}

# Debian's own checker, when installed: errors fail, warnings are shown.
pk_deb_lintian() {
  local deb=$1 out
  if ! command -v lintian >/dev/null 2>&1; then
    echo "lintian is not installed: not checked"
    return 0
  fi
  out=$(lintian --tag-display-limit 0 "$deb" 2>&1)
  printf '%s\n' "$out"
  ! grep -q '^E: ' <<<"$out"
}

# The player finds the library it came with.
pk_deb_player() {
  local root=$1 lib out
  lib=$root/$(pk_deb_libdir)
  out=$(LD_LIBRARY_PATH="$lib" ldd "$root/usr/bin/dudidadu-play") || return 1
  printf '%s\n' "$out"
  grep -q "libdudidadu.so.* => $lib/" <<<"$out" && ! grep -q 'not found' <<<"$out"
}

pk_deb_cmake_consumer() {
  local root=$1 dir=$2
  cmake -S "$PK_CONSUMER" -B "$dir" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" &&
    ninja -C "$dir" &&
    LD_LIBRARY_PATH="$root/$(pk_deb_libdir)" "$dir/consumer"
}

pk_deb_pc_consumer() {
  local root=$1 dir=$2 lib flags
  lib=$root/$(pk_deb_libdir)
  flags=$(PKG_CONFIG_PATH="$lib/pkgconfig" pkg-config --cflags --libs dudidadu) || return 1
  echo "pkg-config: $flags"
  mkdir -p "$dir" &&
    cc -Wall -Wextra -Werror "$PK_CONSUMER/consumer.c" $flags -o "$dir/consumer" &&
    LD_LIBRARY_PATH="$lib" "$dir/consumer"
}

# pk_deb_configure BUILD PREFIX: the build's install rules for PREFIX (the
# library folder follows: multiarch for /usr).
pk_deb_configure() {
  cmake -DCMAKE_INSTALL_PREFIX="$2" "$1" >/dev/null
}

# Programs are linked with room in their RUNPATH for the one they are
# installed with, which is longer for /usr's multiarch folder: link them again
# for it before cpack installs them.
pk_deb_relink() {
  cmake --build "$1" >/dev/null
}

# A .deb from a build for another prefix is refused, with the way out.
pk_deb_refused() {
  local build=$1 out
  pk_deb_configure "$build" /usr/local || return 1
  if out=$(cd "$build" && cpack -G DEB 2>&1); then
    echo "cpack made a .deb from a build for /usr/local"
    return 1
  fi
  grep -q 'CMAKE_INSTALL_PREFIX=/usr' <<<"$out" || { printf '%s\n' "$out"; return 1; }
}

pk_deb() {
  local build=$1 work=$2 version deb
  version=$(pk_version "$build")
  deb=$build/packages/dudidadu_${version}_$(dpkg --print-architecture).deb
  rm -rf "$work" && mkdir -p "$work"
  pk_check ".deb refused from a build for /usr/local" "$work/refused.log" pk_deb_refused "$build"
  pk_check ".deb with cpack, the build configured for /usr" "$work/cpack.log" \
    eval 'pk_deb_configure "$build" /usr && pk_deb_relink "$build" && pk_cpack "$build" DEB "$deb"'
  local made=$?
  pk_deb_configure "$build" /usr/local
  [ "$made" = 0 ] || return
  pk_check ".deb control fields" "$work/fields.log" pk_deb_fields "$deb" "$version"
  pk_check ".deb files" "$work/files.log" pk_deb_files "$deb" "$version"
  pk_check ".deb: lintian finds no error" "$work/lintian.log" pk_deb_lintian "$deb"
  pk_check ".deb unpacked into a scratch root" "$work/unpack.log" dpkg-deb -x "$deb" "$work/root" || return
  pk_check ".deb: dudidadu-play finds its library" "$work/player.log" pk_deb_player "$work/root"
  pk_check ".deb: an application with find_package" "$work/cmake-consumer.log" \
    pk_deb_cmake_consumer "$work/root" "$work/cmake-consumer"
  pk_check ".deb: an application with pkg-config" "$work/pc-consumer.log" \
    pk_deb_pc_consumer "$work/root" "$work/pc-consumer"
}

# --- Windows -----------------------------------------------------------------

pk_zip_files() {
  local zip=$1 top=$2 expected actual
  expected="$top/CHANGELOG.md
$top/LICENSE
$top/README.md
$top/api.md
$top/bin/dudidadu-play.exe
$top/bin/dudidadu.dll
$top/include/dudidadu.h
$top/lib/cmake/dudidadu/dudidaduConfig.cmake
$top/lib/cmake/dudidadu/dudidaduConfigVersion.cmake
$top/lib/cmake/dudidadu/dudidaduTargets-release.cmake
$top/lib/cmake/dudidadu/dudidaduTargets.cmake
$top/lib/dudidadu.def
$top/lib/dudidadu.lib
$top/lib/libdudidadu.dll.a
$top/lib/pkgconfig/dudidadu.pc"
  actual=$(unzip -Z1 "$zip" | sed '/\/$/d')
  pk_same_list "files of $(basename "$zip")" "$expected" "$actual"
}

pk_wine() {
  [ "$PK_RUN_WINE" = 1 ] || return 0
  timeout 120 wine "$@" </dev/null
}

# An application built with the cross compiler against the unpacked zip
# through its CMake package, run under Wine when it can be.
pk_zip_cmake_consumer() {
  local prefix=$1 dir=$2 toolchain=$3
  cmake -S "$PK_CONSUMER" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_PREFIX_PATH="$prefix" &&
    ninja -C "$dir" &&
    [ -f "$dir/dudidadu.dll" ] &&
    pk_wine "$dir/consumer.exe"
}

# The MSVC import library, linked by lld-link; the program imports the
# DLL's plain names.
pk_zip_msvc_consumer() {
  local prefix=$1 dir=$2 target=$3 machine=$4 imports
  mkdir -p "$dir" &&
    clang --target="$target" -Wall -Wextra -Werror -c "$PK_CONSUMER/msvc_consumer.c" -o "$dir/consumer.obj" &&
    lld-link /nologo /nodefaultlib /subsystem:console /entry:consumer_entry /machine:"$machine" \
      "$dir/consumer.obj" "$prefix/lib/dudidadu.lib" /out:"$dir/consumer.exe" || return 1
  imports=$("$PK_OBJDUMP" -p "$dir/consumer.exe" | awk '/DLL Name:/ { dll = $3 } dll && $3 ~ /^DSound/ { print dll, $3 }')
  printf '%s\n' "$imports"
  pk_same_list "imports of the MSVC-linked program" "dudidadu.dll DSoundGetFrequency
dudidadu.dll DSoundInitialize
dudidadu.dll DSoundIsPlaying
dudidadu.dll DSoundSetVolume" "$imports" || return 1
  cp "$prefix/bin/dudidadu.dll" "$dir/" && pk_wine "$dir/consumer.exe"
}

pk_zip() {
  local build=$1 work=$2 toolchain=$3 system=$4 version zip top target machine
  version=$(pk_version "$build")
  case $system in
    win64) target=x86_64-pc-windows-msvc machine=x64 PK_OBJDUMP=x86_64-w64-mingw32-objdump ;;
    win32) target=i686-pc-windows-msvc machine=x86 PK_OBJDUMP=i686-w64-mingw32-objdump ;;
    *) echo "pk_zip: win64 or win32, not $system" >&2; return 1 ;;
  esac
  top=dudidadu-$version-$system
  zip=$build/packages/$top.zip
  rm -rf "$work" && mkdir -p "$work"
  pk_check "$system zip with cpack" "$work/cpack.log" pk_cpack "$build" ZIP "$zip" || return
  pk_check "$system zip files" "$work/files.log" pk_zip_files "$zip" "$top"
  pk_check "$system zip unpacked" "$work/unpack.log" unzip -q "$zip" -d "$work/unpacked" || return
  pk_check "$system zip: an application with find_package" "$work/cmake-consumer.log" \
    pk_zip_cmake_consumer "$work/unpacked/$top" "$work/cmake-consumer" "$toolchain"
  pk_check "$system zip: an MSVC-linked application with dudidadu.lib" "$work/msvc-consumer.log" \
    pk_zip_msvc_consumer "$work/unpacked/$top" "$work/msvc-consumer" "$target" "$machine"
}
