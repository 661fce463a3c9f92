#!/usr/bin/env bash
# Makes what a Windows site installs from a Windows build folder ($1):
#   $1/windows/folder/            the terminal with every DLL it loads
#   $1/lectora-windows-VERSION.zip  that folder, zipped
#   $1/lectora-setup-VERSION.exe    the NSIS installer
# The folder needs nothing but Windows' own DLLs and an ODBC driver.
set -euo pipefail
build=$(cd "$1" && pwd)
prefix=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
triple=x86_64-w64-mingw32
version=$(cat "$build/windows/version.txt")
folder=$build/windows/folder
rm -rf "$folder"
mkdir -p "$folder/platforms" "$folder/sqldrivers" "$folder/styles"

cp "$build/app/main/lectora.exe" "$folder/"
for dll in Qt6Core Qt6Gui Qt6Widgets Qt6Sql; do
  cp "$prefix/bin/$dll.dll" "$folder/"
done
cp "$prefix/plugins/platforms/qwindows.dll" "$folder/platforms/"
cp "$prefix/plugins/sqldrivers/qsqlodbc.dll" "$folder/sqldrivers/"
cp "$prefix/plugins/styles/qwindowsvistastyle.dll" "$folder/styles/"
# The MinGW runtime the program and Qt were built with (the -posix flavour).
gcc_dir=$(dirname "$($triple-gcc-posix -print-libgcc-file-name)")
for dll in libstdc++-6.dll libgcc_s_seh-1.dll; do
  cp "$gcc_dir/$dll" "$folder/"
done
cp "/usr/$triple/lib/libwinpthread-1.dll" "$folder/"
find "$folder" -name '*.dll' -o -name '*.exe' | xargs $triple-strip --strip-unneeded

# The example profile, for Windows: its places and its driver, CRLF lines.
sed -e 's|Copy this file to /etc/lectora/lectora.ini|Copy this file to %PROGRAMDATA%\\LectoraVelmor\\lectora.ini|' \
    -e 's|; machine at the site.s server; a user.s own ~/.config/LectoraVelmor/lectora.ini|; machine at the site'"'"'s server; a user'"'"'s own %APPDATA%\\LectoraVelmor\\lectora.ini|' \
    -e 's|^driver=FreeTDS$|driver=ODBC Driver 18 for SQL Server|' \
    -e 's|as registered in /etc/odbcinst.ini|as the ODBC Data Source Administrator lists it|' \
    -e 's|/etc/lectora/|C:\\ProgramData\\LectoraVelmor\\|g' \
    "$top/packaging/lectora.ini" | sed 's/$/\r/' > "$folder/lectora.example.ini"

# Every DLL the folder's files import is in the folder or is Windows' own:
# one MinGW has an import library for, or one of Windows' API sets.
system_dlls=$(ls /usr/$triple/lib | sed -n 's/^lib\(.*\)\.a$/\1.dll/p' | tr 'A-Z' 'a-z')
missing=$(find "$folder" -name '*.dll' -o -name '*.exe' | while read -r f; do
            $triple-objdump -p "$f" | sed -n 's/^\s*DLL Name: //p'
          done | sort -u | while read -r dll; do
            lower=$(echo "$dll" | tr 'A-Z' 'a-z')
            [ -e "$folder/$dll" ] || [[ $lower == api-ms-win-* ]] || grep -qxF "$lower" <<<"$system_dlls" || echo "$dll"
          done)
if [ -n "$missing" ]; then
  echo "the Windows folder needs DLLs that Windows does not have: $missing" >&2
  exit 1
fi

rm -f "$build"/lectora-windows-*.zip "$build"/lectora-setup-*.exe
(cd "$build/windows" && rm -rf "lectora-$version" && cp -r folder "lectora-$version" \
   && zip -qr "$build/lectora-windows-$version.zip" "lectora-$version" && rm -rf "lectora-$version")
(cd "$build/windows" && makensis -V2 lectora.nsi && mv "lectora-setup-$version.exe" "$build/")
du -sh "$folder" | sed 's/\t.*//; s/^/folder: /'
ls -1 "$build"/lectora-windows-*.zip "$build"/lectora-setup-*.exe
