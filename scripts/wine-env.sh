# Wine settings for running the Windows build (sourced): a prefix of the build's own,
# no display, no proxy, no debug noise. Usage: source scripts/wine-env.sh BUILD_DIR
orvane_build_dir=$(cd "${1:?build folder}" && pwd)
export WINEPREFIX="$orvane_build_dir/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY

# Creates the prefix once; later calls find it ready.
orvane_wine_prefix_ready() {
  if [ ! -f "$WINEPREFIX/.orvane-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.orvane-ready"
  fi
}

# A persistent wineserver and one warm start, with every stream redirected, so that Wine's
# background processes never hold a test's output pipe open.
orvane_wineserver_start() {
  wineserver -p </dev/null >/dev/null 2>&1 || true  # already running is fine
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

orvane_wineserver_stop() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
}
