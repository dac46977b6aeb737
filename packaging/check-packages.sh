#!/usr/bin/env bash
# Builds the package of a build tree with CPack and checks what it holds.
#   check-packages.sh deb BUILD_DIR   the Debian package: control fields, files, working programs,
#                                     well-formed manual pages, lintian, the example systemd units;
#                                     and `cmake --install` into a prefix
#   check-packages.sh zip BUILD_DIR   the Windows zip: exactly the two programs and the texts, their
#                                     imports and version resources
# Both: the SHA-256 checksum written beside the package.
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

check_checksum() {  # package
  [[ -f $1.sha256 ]] || fail "no $(basename "$1").sha256"
  (cd "$(dirname "$1")" && sha256sum --check --status "$(basename "$1").sha256") || fail "$(basename "$1").sha256"
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
  check_checksum "$deb"
  # No errors; the static linking is deliberate and overridden with the reason.
  local report
  report=$(lintian --fail-on error "$deb" 2>&1) || fail "lintian:"$'\n'"$report"
  report=$(lintian --show-overrides "$deb" 2>&1) || true
  [[ $report == *"O: tarvo: statically-linked-binary"* ]] || fail "lintian override unused:"$'\n'"$report"

  local root=$scratch/root
  dpkg -x "$deb" "$root"
  local docs=usr/share/doc/tarvo
  same_list "package files" "$(printf '%s\n' usr/bin/tarvo usr/bin/tarvo-wait $docs/README.md $docs/changelog.gz \
    $docs/copyright $docs/examples/tarvo-waiter.service $docs/examples/tarvo.service $docs/examples/tarvo.timer \
    usr/share/lintian/overrides/tarvo usr/share/man/man1/tarvo-wait.1.gz usr/share/man/man1/tarvo.1.gz)" \
    "$(cd "$root" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
  head -n 1 "$root/$docs/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    || fail "copyright is not in the machine-readable format"

  # The example units are valid, and their programs are the package's.
  local units=$scratch/units
  mkdir "$units"
  for unit in "$root/$docs"/examples/*; do
    sed "s|/usr/bin/tarvo|$root/usr/bin/tarvo|g" "$unit" >"$units/$(basename "$unit")"
  done
  report=$(cd "$units" && systemd-analyze verify ./*.service ./*.timer 2>&1) || fail "systemd-analyze verify:"$'\n'"$report"
  [[ -z $report ]] || fail "systemd-analyze verify:"$'\n'"$report"

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
  same_list "installed files" "$(cd "$root/usr" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)" \
    "$(cd "$scratch/prefix" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)"
}

check_zip() {
  local zip=$scratch/out/tarvo-3-win32.zip
  [[ -f $zip ]] || fail "no $zip"
  check_checksum "$zip"
  same_list "zip entries" "$(printf '%s\n' LICENSE.txt README.txt tarvo-wait.exe tarvo.exe)" \
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
  for text in README.txt LICENSE.txt; do
    python3 -c 'import sys; data = open(sys.argv[1], "rb").read(); sys.exit(data.count(b"\n") != data.count(b"\r\n"))' \
      "$scratch/unzipped/$text" || fail "$text: not CR LF line ends"
  done
  python3 - "$scratch/unzipped" <<'PYTHON' || fail "version resources"
import os, sys

def strings(data):
    """The StringFileInfo entries of a version resource: key, NUL padding, value (UTF-16)."""
    found = {}
    for key in ("FileDescription", "ProductName", "FileVersion", "ProductVersion", "OriginalFilename",
                "InternalName", "LegalCopyright"):
        at = data.find(key.encode("utf-16-le") + b"\0\0")
        if at < 0 or at % 2:
            continue
        at += 2 * len(key) + 2
        while data[at:at + 2] == b"\0\0":
            at += 2
        end = at
        while data[end:end + 2] != b"\0\0":
            end += 2
        found[key] = data[at:end].decode("utf-16-le")
    return found

ok = True
for name in ("tarvo", "tarvo-wait"):
    with open(os.path.join(sys.argv[1], name + ".exe"), "rb") as file:
        found = strings(file.read())
    expected = {"ProductName": "tarvo", "FileVersion": "3", "ProductVersion": "3", "InternalName": name,
                "OriginalFilename": name + ".exe"}
    for key, value in expected.items():
        if found.get(key) != value:
            print("%s.exe: %s is %r, not %r" % (name, key, found.get(key), value))
            ok = False
    for key in ("FileDescription", "LegalCopyright"):
        if not found.get(key, "").strip():
            print("%s.exe: no %s" % (name, key))
            ok = False
    if "MIT" not in found.get("LegalCopyright", ""):
        print("%s.exe: LegalCopyright names no licence" % name)
        ok = False
sys.exit(0 if ok else 1)
PYTHON
}

"check_$kind"
echo "$kind package: ok"
