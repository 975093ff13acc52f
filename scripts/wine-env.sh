# Wine settings for running the Windows build (sourced): a prefix of the build's own,
# no display, no proxy, no debug noise. Usage: source scripts/wine-env.sh BUILD_DIR
orvane_build_dir=$(cd "${1:?build folder}" && pwd)
export WINEPREFIX="$orvane_build_dir/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY

# Creates the prefix once; later calls find it ready. Then makes it trust the build's test CA.
orvane_wine_prefix_ready() {
  if [ ! -f "$WINEPREFIX/.orvane-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
    touch "$WINEPREFIX/.orvane-ready"
  fi
  orvane_trust_test_ca
}

# Adds the build's test CA (test-pki/ca.der) to the prefix's LocalMachine Root store, once per
# CA; the prefix keeps a copy of the CA it trusts. A running wineserver of the prefix is
# stopped first, so that the store is saved to disk when the tool ends.
orvane_trust_test_ca() {
  local der="$orvane_build_dir/test-pki/ca.der"
  local tool="$orvane_build_dir/tests/tools/trust_ca/trust_ca.exe"
  [ -f "$der" ] && [ -f "$tool" ] || return 0
  cmp -s "$der" "$WINEPREFIX/.orvane-trusted-ca.der" && return 0
  orvane_wineserver_stop
  if ! wine "$tool" "Z:${der//\//\\}" </dev/null >"$orvane_build_dir/trust_ca.log" 2>&1; then
    cat "$orvane_build_dir/trust_ca.log" >&2
    return 1
  fi
  wineserver -w
  cp "$der" "$WINEPREFIX/.orvane-trusted-ca.der"
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
