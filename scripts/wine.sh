# Sourced by the scripts that run Windows programs: which Windows build this machine can run under
# Wine, and one persistent wineserver for a prefix inside that build's tree.
#   wine_pick             sets WINE_PRESET (windows or windows64) and WINE_LOADER
#   wine_start            sets the prefix up once and starts its server; wine_stop ends it
# The 32-bit build is the product. Where the machine cannot execute 32-bit code at all (some
# virtual machines run 64-bit user code only), the same sources built for 64-bit Windows run the
# tests under 64-bit Wine instead.

wine_pick() {
  if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    WINE_PRESET=windows WINE_LOADER=/usr/lib/wine/wine
  else
    WINE_PRESET=windows64 WINE_LOADER=/usr/lib/wine/wine64
  fi
  export WINEPREFIX=$PWD/build/$WINE_PRESET/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export WINELOADER=$WINE_LOADER
}

wine_start() {
  mkdir -p "$WINEPREFIX"
  wineserver -k >/dev/null 2>&1 || true  # a server left from an earlier run would never end
  "$WINE_LOADER" wineboot --init >/dev/null 2>&1
  # A crashing program must not start a debugger that waits for somebody.
  "$WINE_LOADER" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d false /f \
    >/dev/null 2>&1
  wineserver -w
  wineserver -p >/dev/null 2>&1 </dev/null
  # The first program on a new server starts Wine's own services; they would inherit (and hold
  # open) the output pipes of whatever runs first, so start them here, detached.
  "$WINE_LOADER" cmd /c exit >/dev/null 2>&1 </dev/null
}

wine_stop() { wineserver -k >/dev/null 2>&1 || true; }
