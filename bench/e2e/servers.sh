# The processes of bench/e2e/run.sh (sourced): quon-backend servers and one Apache at a
# time, all on 127.0.0.x, started from files in $work and stopped by process id.
# Uses: build, work, fail (measure.sh).
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

started=()
apache_pid=""
stop_all() {
  local p
  stop_apache
  stop_apaches_side
  for p in "${started[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${started[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -n "${E2E_DIR:-}" ] || rm -rf "$work"
}

# quon-backend on host, port 0 (it picks one); sets started_quon, started_http, started_pid.
start_backend() {  # name host props-dir [extra options...]
  local name=$1 host=$2; shift 2
  local ready="$work/$name.ready"
  : >"$work/$name.out"
  start_quon_backend "$ready" "$work/$name.out" --listen "$host:0" \
    --server-props "$work/$name.props" --mappings "$work/mappings.props" "$@"
  started+=("$quon_pid")
  started_pid=$quon_pid
  wait_quon_ready "$ready" "$work/$name.out" || true
  started_quon=$(sed -n 's/^quon=//p' "$ready" 2>/dev/null)
  started_http=$(sed -n 's/^http=//p' "$ready" 2>/dev/null)
  [ -n "$started_quon" ] || fail "quon-backend $name did not start: $(tail -n 3 "$work/$name.out")"
}

# One server for proxy_http and quon-1 (both ports, a list of itself alone), and a
# cluster of three that name each other. The connector learns the members from the
# list; the ports are known once the servers listen, so the lists are written then
# and each server reads its list again on SIGHUP.
start_backends() {
  printf '/app/*=app\n' >"$work/mappings.props"
  printf 'rep_id=ONE1\nmapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n' >"$work/one.props"
  : >"$work/one-cluster.props"
  start_backend one 127.0.0.2 --http 127.0.0.2:0 --cluster "$work/one-cluster.props"
  single_pid=$started_pid single_quon=$started_quon single_http=$started_http
  printf 'ONE1=%s\n' "$single_quon" >"$work/one-cluster.props"
  cluster=() cluster_pids=()
  local i
  for i in 2 3 4; do
    printf 'rep_id=SRV%s\nmapcheck=30\nweight=1\nalgorithm=ROUNDROBIN\nsticky=true\n' "$i" \
      >"$work/srv$i.props"
    : >"$work/cluster.props"
    start_backend "srv$i" "127.0.0.$i" --cluster "$work/cluster.props"
    cluster+=("$started_quon") cluster_pids+=("$started_pid")
  done
  for i in 0 1 2; do printf 'SRV%d=%s\n' $((i + 2)) "${cluster[$i]}"; done >"$work/cluster.props"
  kill -HUP "$single_pid" "${cluster_pids[@]}"
  sleep 0.3
}

backend_addresses_of() {  # setup
  case $1 in
    static) echo "127.0.0.2:1" ;;
    proxy_http) echo "$single_http" ;;
    quon-1*) echo "$single_quon" ;;
    quon-3*) echo "${cluster[*]}" ;;
  esac
}

# The answer's bytes (byte i is 'a' + i mod 23) as files under htdocs/app.
make_static_files() {
  mkdir -p "$work/htdocs/app" "$work/run"
  local size
  for size in "${sizes[@]}"; do
    awk -v n="$size" 'BEGIN {for (i = 0; i < n; i++) printf "%c", 97 + i % 23}' \
      >"$work/htdocs/app/s$size"
  done
  chmod -R a+rX "$work/htdocs"
  apache_owns "$work/htdocs" "$work/run"
}

# The build of the module a set-up loads: BASE_MODULE for the -base twins, MODULE (this
# build's by default) for the others.
module_of() {  # setup
  case $1 in
    *-base) echo "$BASE_MODULE" ;;
    *) echo "${MODULE:-$build/apache/mod_quon22.so}" ;;
  esac
}

# The modules that make the difference between set-ups; everything else is shared.
setup_lines() {  # setup
  local modules=/usr/lib/apache2/modules
  case $1 in
    static) ;;
    proxy_http)
      printf 'LoadModule proxy_module %s/mod_proxy.so\n' "$modules"
      printf 'LoadModule proxy_http_module %s/mod_proxy_http.so\n' "$modules"
      printf 'ProxyPass /app/ http://%s/app/\n' "$single_http" ;;
    quon-1 | quon-1-base)
      printf 'LoadModule quon_module %s\nQuonConfig bootstrap %s\n' \
        "$(module_of "$1")" "$single_quon" ;;
    quon-3 | quon-3-base)
      printf 'LoadModule quon_module %s\nQuonConfig bootstrap %s\n' \
        "$(module_of "$1")" "${cluster[0]}" ;;
    *) fail "unknown set-up $1" ;;
  esac
}


start_apache() {  # setup
  local setup=$1 port
  port=$(free_port 127.0.0.1)
  base="http://127.0.0.1:$port"
  {
    apache_conf_head "$work" "$port" "$work/run" "$work/error-$setup.log"
    apache_conf_one_child "$work/htdocs"
    setup_lines "$setup"
  } >"$work/httpd-$setup.conf"
  start_apache_conf "$work/httpd-$setup.conf" "$work/apache.out" "$base/app/s100" ||
    fail "Apache ($setup) did not start: $(tail -n 3 "$work/apache.out" "$work/error-$setup.log")"
}

# Set-ups in one Apache, side by side: static in the main server, each other set-up in
# a virtual host of its own on a port of its own, so that no set-up's configuration is
# seen by another's requests. Rows of different set-ups then follow each other seconds
# apart in one child, and the machine's drift weighs on all of them alike. Two builds of
# the module cannot share an Apache: the -base set-ups get one of their own, started
# beside it (name "base"), idle while the other is measured. Sets base_of and pid_of.
declare -A base_of=() pid_of=()
side_pids=()
start_apache_side() {  # name module setup...
  local name=$1 module=$2 port setup p main=""; shift 2
  port=$(free_port 127.0.0.1)
  {
    apache_conf_head "$work" "$port" "$work/run-$name" "$work/error-$name.log"
    apache_conf_one_child "$work/htdocs"
    printf 'LoadModule proxy_module /usr/lib/apache2/modules/mod_proxy.so
'
    printf 'LoadModule proxy_http_module /usr/lib/apache2/modules/mod_proxy_http.so
'
    printf 'LoadModule quon_module %s
' "$module"
    for setup in "$@"; do
      if [ "$setup" = static ]; then main=static; continue; fi
      p=$(free_port 127.0.0.1)
      while [ "$p" = "$port" ] || [[ " ${base_of[*]} " == *":$p "* ]]; do p=$(free_port 127.0.0.1); done
      base_of[$setup]="http://127.0.0.1:$p"
      printf 'Listen 127.0.0.1:%s
<VirtualHost 127.0.0.1:%s>
' "$p" "$p"
      setup_lines "$setup" | grep -v '^LoadModule'
      printf '</VirtualHost>\n'
    done
  } >"$work/httpd-$name.conf"
  mkdir -p "$work/run-$name" && apache_owns "$work/run-$name"
  start_apache_conf "$work/httpd-$name.conf" "$work/apache-$name.out" "http://127.0.0.1:$port/app/s100" ||
    fail "Apache ($name) did not start: $(tail -n 3 "$work/apache-$name.out" "$work/error-$name.log")"
  [ -n "$main" ] && base="http://127.0.0.1:$port"
  for setup in "$@"; do pid_of[$setup]=$apache_pid; done
  side_pids+=("$apache_pid")
}

stop_apaches_side() {
  local p
  for p in "${side_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${side_pids[@]}"; do wait "$p" 2>/dev/null || true; done
  side_pids=()
}

stop_apache() {
  [ -n "$apache_pid" ] || return 0
  kill "$apache_pid" 2>/dev/null || true
  wait "$apache_pid" 2>/dev/null || true
  apache_pid=""
}

# Every row must send the client the static file's bytes; quon-3 must reach all three.
check_answers() {  # setup
  local setup=$1 size got
  for size in "${sizes[@]}"; do
    curl -sf "$(url_of "$setup" "$size")" | cmp -s - "$work/htdocs/app/s$size" ||
      fail "$setup: the answer to $(url_of "$setup" "$size") is not the expected $size bytes"
  done
  case $setup in quon-3*) ;; *) return 0 ;; esac
  got=$(for _ in 1 2 3 4 5 6; do
    curl -sf -D - -o /dev/null "$(url_of "$setup" 100)" | sed -n 's/^X-Quon-Server: \([^\r]*\).*/\1/p'
  done | sort -u | wc -l)
  [ "$got" = 3 ] || fail "quon-3: only $got of the three servers answer"
}
