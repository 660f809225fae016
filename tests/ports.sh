# Sourced by the test servers' scripts: ports on 127.0.0.1.
port_busy() { (exec 3<>/dev/tcp/127.0.0.1/$1) 2>/dev/null; }
# A port nobody listens on now.
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 20000))
    port_busy $p || { echo $p; return; }
  done
}
