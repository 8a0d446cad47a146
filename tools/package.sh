#!/usr/bin/env bash
# Builds the installer packages for administrators, and puts the Group Policy
# templates beside them (build/packages/policy/):
#   build/packages/KestavClientDriver-<version>-x64.msi  (64-bit Windows: the 64-bit
#       client and the 32-bit client)
#   build/packages/KestavClientDriver-<version>-x86.msi  (32-bit Windows)
#   build/packages/KestavDeveloperKit-<version>-x64.msi  (server-side developers'
#       PCs, never client PCs: the client library, examples, the local loop)
# Usage: tools/package.sh [--sign CERT.pfx [--password PASS]] [--version X.Y.Z] [--out DIR]
# With --sign, the module, the driver hosts, the tools and the packages are
# signed (Authenticode, osslsigncode). The version is the module's own, from
# CMakeLists.txt, unless --version says otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."
cert="" password="" version="" out=build/packages
while [ $# -gt 0 ]; do
  case "$1" in
    --sign) cert=$2; shift 2 ;;
    --password) password=$2; shift 2 ;;
    --version) version=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: tools/package.sh [--sign CERT.pfx [--password PASS]] [--version X.Y.Z] [--out DIR]" >&2; exit 2 ;;
  esac
done
[ "${SKIP_INSTALL:-}" = 1 ] || tools/install-deps.sh package
[ -n "$version" ] || version=$(sed -n 's/^project(KestavClientDriver VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# Where it is, on standard error (standard output lists the packages).
step() { echo "package.sh: [$1/4] $2" >&2; }
for arch in win32 win64; do
  step $([ $arch = win32 ] && echo 1 || echo 2) "building the $arch files in build/package-$arch (minutes the first time)"
  toolchain=cmake/mingw-i686.cmake
  [ $arch = win64 ] && toolchain=cmake/mingw-x86_64.cmake
  cmake -S . -B build/package-$arch -G Ninja -DCMAKE_TOOLCHAIN_FILE=$toolchain \
    -DCMAKE_BUILD_TYPE=Release -DKST_TESTS=OFF >/dev/null
  ninja -C build/package-$arch KestavClientDriverICA KestavClientDriverDVC kst_driver_host kestav-check kst_sim \
    kestav-host KestavChannel kst_wfapi example-wfapi example-library KestavRegister KestavRegisterAction >/dev/null
done

# The files as they go into the packages: stripped, and signed when asked.
step 3 "staging the files${cert:+ and signing them}"
stage=build/package-stage
rm -rf "$stage" && mkdir -p "$out"
for arch in win32 win64; do
  mkdir -p "$stage/$arch/drivers/Kestav" "$stage/$arch/server"
  strip=i686-w64-mingw32-strip
  [ $arch = win64 ] && strip=x86_64-w64-mingw32-strip
  for file in KestavClientDriverICA.dll KestavClientDriverDVC.dll KestavDriverHost32.exe KestavDriverHost64.exe \
              kestav-check.exe kestav-host.exe KestavRegister.exe KestavRegisterAction.dll drivers/Kestav/sim.dll \
              server/KestavChannel.dll \
              server/wfapi.dll server/wfapi64.dll server/example-wfapi.exe server/example-library.exe; do
    [ -f "build/package-$arch/bin/$file" ] || continue
    $strip -o "$stage/$arch/$file" "build/package-$arch/bin/$file"
  done
done
# The developer kit's import libraries for the client library, from its
# exports: for MinGW (GNU dlltool) and for MSVC (llvm-dlltool, the format
# link.exe writes); 32-bit programs import the stdcall names as "KestavOpen@16"
# decorates them, from the DLL's plain names.
for arch in win32 win64; do
  libs=$stage/libs/x64 machine=i386:x86-64 dlltool=x86_64-w64-mingw32-dlltool kill=""
  [ $arch = win32 ] && libs=$stage/libs/x86 machine=i386 dlltool=i686-w64-mingw32-dlltool kill=-k
  mkdir -p "$libs"
  { echo "LIBRARY KestavChannel.dll"; echo EXPORTS
    x86_64-w64-mingw32-objdump -p "$stage/$arch/server/KestavChannel.dll" |
      sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] \(Kestav[A-Za-z]*\(@[0-9]*\)\?\)$/\1/p' |
      if [ $arch = win32 ]; then grep @; else cat; fi
  } >"$libs/KestavChannel.def"
  [ "$(grep -c '^Kestav' "$libs/KestavChannel.def")" -ge 10 ] || { echo "package.sh: no exports read from KestavChannel.dll"; exit 1; }
  $dlltool $kill -d "$libs/KestavChannel.def" -D KestavChannel.dll -l "$libs/libKestavChannel.dll.a"
  llvm-dlltool -m $machine $kill -d "$libs/KestavChannel.def" -D KestavChannel.dll -l "$libs/KestavChannel.lib"
done

sign() {  # file
  [ -n "$cert" ] || return 0
  osslsigncode sign -pkcs12 "$cert" ${password:+-pass "$password"} -h sha256 \
    -n "Kestav client driver" -in "$1" -out "$1.signed" >/dev/null
  mv "$1.signed" "$1"
}
for file in $(find "$stage" -type f \( -name '*.dll' -o -name '*.exe' \)); do sign "$file"; done

# The administrative templates, beside the packages (never installed by them).
tools/check-policy.sh >/dev/null
rm -rf "$out/policy" && cp -r packaging/policy "$out/policy"

step 4 "writing the packages into $out"
for arch in x64 x86; do
  msi="$out/KestavClientDriver-$version-$arch.msi"
  # BinOwn: the package's own machine's files (its registration tool and action).
  own=$stage/win64
  [ $arch = x86 ] && own=$stage/win32
  wixl -a $arch -D Arch=$arch -D Version="$version" -D Bin32="$stage/win32" -D Bin64="$stage/win64" -D BinOwn="$own" \
    -o "$msi" packaging/KestavClientDriver.wxs 2> >(grep -v -e 'has no property' -e '^$' >&2 || true)
  # Each client's components only where that client is (wixl writes no
  # Component conditions).
  conditions=(Module32 ICACLIENTDIR Simulator32 ICACLIENTDIR)
  [ $arch = x64 ] && conditions+=(Module64 ICACLIENTDIR64 Simulator64 ICACLIENTDIR64)
  for ((i = 0; i < ${#conditions[@]}; i += 2)); do
    msibuild "$msi" -q "UPDATE \`Component\` SET \`Condition\` = '${conditions[i+1]}' WHERE \`Component\` = '${conditions[i]}'"
  done
  # The Citrix feature without a client: an error action (type 19, which
  # wixl cannot write) ends the install before anything changes, and puts the
  # reason into the MSI log. After costing, when the features asked for are
  # known: the Remote Desktop plug-in alone needs no Citrix client.
  message="No Citrix ICA client was found: install the Citrix Workspace app first, or give its folder with ICACLIENTDIR=... (32-bit client)"
  noclient="NOT Installed AND &Driver=3 AND NOT ICACLIENTDIR"
  [ $arch = x64 ] && message+=" or ICACLIENTDIR64=... (64-bit client)" && noclient+=" AND NOT ICACLIENTDIR64"
  message+="; for the Remote Desktop plug-in alone: ADDLOCAL=RemoteDesktop"
  msibuild "$msi" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Target\`) VALUES ('NoClientFound', 19, '$message.')"
  for sequence in InstallExecuteSequence InstallUISequence; do
    msibuild "$msi" -q "INSERT INTO \`$sequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('NoClientFound', '$noclient', 1010)"
  done
  # A setting's property out of range: an error action for each (type 19),
  # named after the property, before anything changes; the ranges are the
  # module's own (platform/Names.h).
  sequence=1020
  while read -r constant minimum maximum; do
    name=$(sed -n "s/.*constexpr const char\* $constant = \"\(.*\)\";/\1/p" platform/Names.h)
    property=${name^^}
    msibuild "$msi" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Target\`) VALUES ('Refuse$property', 19, '$property must be a number from $minimum to $maximum, not \"[$property]\"; nothing was changed.')"
    for table in InstallExecuteSequence InstallUISequence; do
      msibuild "$msi" -q "INSERT INTO \`$table\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('Refuse$property', 'NOT REMOVE~=\"ALL\" AND $property AND NOT ($property >= $minimum AND $property <= $maximum)', $sequence)"
    done
    sequence=$((sequence + 1))
  done < <(sed -n 's/.*constexpr Setting k[A-Za-z]*Setting = {\(k[A-Za-z]*\), \([0-9]*\), \([0-9]*\), [0-9]*};/\1 \2 \3/p' platform/Names.h)
  [ "$sequence" -eq 1023 ] || { echo "package.sh: 3 settings expected in platform/Names.h"; exit 1; }
  # The mark that tells an older version's removal it is part of an upgrade
  # (type 34 + 64: reg.exe from SystemFolder, its failure ignored), before
  # RemoveExistingProducts.
  views=(32)
  [ $arch = x64 ] && views+=(64)
  # The package's own machine's reg.exe: the x64 package runs no 32-bit
  # program, so it installs where Windows has no 32-bit layer.
  system=SystemFolder
  [ $arch = x64 ] && system=System64Folder
  sequence=1390
  for view in "${views[@]}"; do
    msibuild "$msi" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('MarkUpgrade$view', 98, '$system', 'reg.exe add \"HKLM\\SOFTWARE\\Kestav\\ClientDriver\\Installer\" /v Upgrading /d [ProductCode] /f /reg:$view')"
    msibuild "$msi" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('MarkUpgrade$view', 'WIX_UPGRADE_DETECTED', $sequence)"
    sequence=$((sequence + 1))
  done
  # The old version goes before anything is installed (wixl places it late).
  msibuild "$msi" -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1401 WHERE \`Action\` = 'RemoveExistingProducts'"
  sign "$msi"
  echo "$msi"
done

# The developer kit (64-bit Windows).
kit="$out/KestavDeveloperKit-$version-x64.msi"
wixl -a x64 -D Version="$version" -D Bin32="$stage/win32" -D Bin64="$stage/win64" -D Libs="$stage/libs" \
  -o "$kit" packaging/KestavDeveloperKit.wxs 2> >(grep -v -e 'has no property' -e '^$' >&2 || true)
# The stand-in WFAPI only where no real WFAPI is: a search of each system
# folder (AppSearch with a DrLocator, which wixl cannot write) for a file of
# that name with a version resource, as every Citrix release has and the
# stand-in has not (so an upgrade or an uninstall of the kit sees its own as
# what it is); each component's condition on it.
msibuild "$kit" -q "CREATE TABLE \`DrLocator\` (\`Signature_\` CHAR(72) NOT NULL, \`Parent\` CHAR(72), \`Path\` CHAR(255), \`Depth\` SHORT PRIMARY KEY \`Signature_\`, \`Parent\`, \`Path\`)"
for bits in 32 64; do
  file=wfapi.dll folder=SystemFolder
  [ $bits = 64 ] && file=wfapi64.dll folder=System64Folder
  msibuild "$kit" -q "INSERT INTO \`Signature\` (\`Signature\`, \`FileName\`, \`MinVersion\`) VALUES ('Wfapi$bits', '$file', '0.0.0.1')"
  msibuild "$kit" -q "INSERT INTO \`DrLocator\` (\`Signature_\`, \`Path\`, \`Depth\`) VALUES ('Wfapi$bits', '[$folder]', 0)"
  msibuild "$kit" -q "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('EXISTINGWFAPI$bits', 'Wfapi$bits')"
  msibuild "$kit" -q "UPDATE \`Component\` SET \`Condition\` = 'NOT EXISTINGWFAPI$bits' WHERE \`Component\` = 'StandInWfapi$bits'"
done
for table in InstallExecuteSequence InstallUISequence; do
  msibuild "$kit" -q "INSERT INTO \`$table\` (\`Action\`, \`Sequence\`) VALUES ('AppSearch', 50)"
done
sign "$kit"
echo "$kit"
