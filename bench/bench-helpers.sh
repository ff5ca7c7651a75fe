# Shell functions that the benchmark scripts share; sourced, not run.

# A TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits up to 10 s (or the seconds given) until something accepts connections on the port.
wait_for_port() {  # port[, seconds]
  for _ in $(seq $((${2:-10} * 10))); do
    if /usr/bin/python3 -c "import socket,sys; socket.create_connection(('127.0.0.1',$1),1)" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}

# Resident memory of a process in KiB.
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

# Installs the Debian packages named when the test command fails; they serve the benchmark only.
install_when_missing() {  # test command (a string), packages...
  local test=$1
  shift
  eval "$test" >/dev/null 2>&1 && return 0
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}
