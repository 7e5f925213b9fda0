# Sourced by the scripts: installs the Debian packages the project needs
# when one of them is missing.
needed_packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev mandoc dpkg-dev file
                 iproute2 ethtool iputils-ping iperf3 procps tcpdump nftables libxdp-dev libbpf-dev
                 nlohmann-json3-dev python3-matplotlib)

# Measurement peers of the scenario benchmarks only (scripts/bench.sh).
bench_packages=(iperf3 tcpreplay tcpdump python3)

# ensure_packages [LIST-NAME]: the packages of needed_packages, or of the
# named array.
ensure_packages() {
  local -n wanted=${1:-needed_packages}
  local missing=()
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}" >&2
    if [ "$(id -u)" -ne 0 ]; then
      echo "missing packages and not root: run as root or install ${missing[*]}" >&2
      return 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >&2
    apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
  fi
}
