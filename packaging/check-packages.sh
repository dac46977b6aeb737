#!/usr/bin/env bash
# Builds the package of a build tree with CPack and checks what it holds.
#   check-packages.sh deb BUILD_DIR   the Debian package: control fields, files, working programs,
#                                     well-formed manual pages; and `cmake --install` into a prefix
#   check-packages.sh zip BUILD_DIR   the Windows zip: exactly the two programs and the text
set -euo pipefail
kind=$1
build=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
(cd "$build" && cpack -B "$scratch/out" >/dev/null)

same_list() {  # what, expected, actual
  [[ "$2" == "$3" ]] || fail "$1 differ:"$'\n'"expected:"$'\n'"$2"$'\n'"found:"$'\n'"$3"
}

check_deb() {
  local deb
  deb=$(ls "$scratch"/out/tarvo_3_*.deb)
  [[ $(basename "$deb") == "tarvo_3_$(dpkg --print-architecture).deb" ]] || fail "package name $(basename "$deb")"
  [[ $(dpkg-deb -f "$deb" Package) == tarvo ]] || fail "Package field"
  [[ $(dpkg-deb -f "$deb" Version) == 3 ]] || fail "Version field"
  [[ $(dpkg-deb -f "$deb" Architecture) == $(dpkg --print-architecture) ]] || fail "Architecture field"
  [[ -z $(dpkg-deb -f "$deb" Depends) ]] || fail "static programs need no dependencies"
  [[ $(dpkg-deb -f "$deb" Description) == *"named event"* ]] || fail "Description field"

  local root=$scratch/root
  dpkg -x "$deb" "$root"
  same_list "package files" "$(printf '%s\n' usr/bin/tarvo usr/bin/tarvo-wait usr/share/doc/tarvo/README.md \
    usr/share/man/man1/tarvo-wait.1.gz usr/share/man/man1/tarvo.1.gz)" \
    "$(cd "$root" && find . -type f | sed 's|^\./||' | sort)"

  for page in "$root"/usr/share/man/man1/*.1.gz; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || fail "$page: $warnings"
  done

  # The installed programs work: the peer wakes and the log holds the block.
  local run=$scratch/run
  mkdir "$run"
  (cd "$run" && "$root/usr/bin/tarvo-wait" --timeout 20 >peer.out) &
  local peer=$!
  for _ in $(seq 200); do grep -q waiting "$run/peer.out" 2>/dev/null && break; sleep 0.05; done
  (cd "$run" && "$root/usr/bin/tarvo")
  wait "$peer" || fail "the peer was not woken"
  grep -q signalled "$run/peer.out" || fail "the peer was not woken"
  grep -q '^{Run} = TRUE' "$run/TARVO.LOG" || fail "no result line in the log"

  cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
  same_list "installed files" "$(printf '%s\n' bin/tarvo bin/tarvo-wait share/doc/tarvo/README.md \
    share/man/man1/tarvo-wait.1.gz share/man/man1/tarvo.1.gz)" \
    "$(cd "$scratch/prefix" && find . -type f | sed 's|^\./||' | sort)"
}

check_zip() {
  local zip=$scratch/out/tarvo-3-win32.zip
  [[ -f $zip ]] || fail "no $zip"
  same_list "zip entries" "$(printf '%s\n' README.txt tarvo-wait.exe tarvo.exe)" \
    "$(python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")"
  mkdir "$scratch/unzipped"
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$scratch/unzipped"
  [[ $(file "$scratch/unzipped/tarvo.exe") == *"PE32 executable (GUI) Intel 80386"* ]] || fail "tarvo.exe: no PE32 GUI"
  [[ $(file "$scratch/unzipped/tarvo-wait.exe") == *"PE32 executable (console) Intel 80386"* ]] || fail "tarvo-wait.exe"
  for exe in "$scratch"/unzipped/*.exe; do
    local dlls
    dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p' | tr '[:lower:]' '[:upper:]' | sort | tr '\n' ' ')
    [[ $dlls =~ ^(KERNEL32.DLL |MSVCRT.DLL |USER32.DLL )+$ ]] || fail "$(basename "$exe") imports $dlls"
    # tarvo.exe loads user32 only when it needs it (a name beyond ASCII, the message box).
    [[ $(basename "$exe") != tarvo.exe || $dlls != *USER32.DLL* ]] || fail "tarvo.exe imports USER32.DLL"
  done
  python3 - "$scratch/unzipped/tarvo.exe" <<'PYTHON' || fail "tarvo.exe has no version resource saying version 3"
import re, sys
data = open(sys.argv[1], "rb").read()
wide = lambda text: re.escape(text.encode("utf-16-le"))
version = wide("FileVersion") + rb"(?:\0\0)+" + wide("3") + rb"\0\0"
sys.exit(0 if re.search(version, data) and re.search(wide("FileDescription"), data) else 1)
PYTHON
}

"check_$kind"
echo "$kind package: ok"
