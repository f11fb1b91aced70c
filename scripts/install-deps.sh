#!/usr/bin/env bash
# Installs the Debian packages the library, its tests and its tools build against.
# Idempotent: only missing packages are installed, and apt-get update runs at most once.
# --fuzz adds what make fuzz needs (clang and its sanitizer and libFuzzer runtimes); --fleet what
# make fleet needs (gnuplot for its plot); --browser what make test needs to drive the
# collector's page (headless chromium). python3 (standard library only) drives the tests of the C
# interface and the page, and the fleet.
set -euo pipefail

packages=(
  cmake ninja-build gcc g++ pkg-config make openssl iproute2 ca-certificates python3
  libsqlite3-dev libcurl4-openssl-dev nlohmann-json3-dev libssl-dev uuid-dev
  libicu-dev libcpp-httplib-dev libgtest-dev libgmock-dev libbenchmark-dev libvalijson-dev
)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang-14 libclang-rt-14-dev llvm-14)
fi
if [ "${1:-}" = "--browser" ]; then
  packages+=(chromium)
fi
if [ "${1:-}" = "--fleet" ]; then
  packages+=(gnuplot-nox)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

cmd="apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Run as root: sudo sh -c '$cmd'" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
