# Sourced by the scripts: which Windows machine the tests can run here.
# The product is 32-bit. Its tests run the 32-bit build under 32-bit Wine wherever the
# kernel executes 32-bit programs; a kernel booted without 32-bit emulation (ia32_emulation
# off) cannot start 32-bit Wine at all, and the tests then run a 64-bit build of the same
# sources under 64-bit Wine. NVPC_ARCH (i686 or x86_64) overrides the choice.
nvpc_test_arch() {
  if [ -n "${NVPC_ARCH:-}" ]; then
    echo "$NVPC_ARCH"
  elif [ -x /usr/lib/wine/wineserver32 ] && /usr/lib/wine/wineserver32 --version >/dev/null 2>&1; then
    echo i686
  elif [ ! -x /usr/lib/wine/wineserver32 ] && [ "$(getconf LONG_BIT)" = 32 ]; then
    echo i686
  else
    echo x86_64
  fi
}
