# Shared by the bench scripts and scripts/demo.sh (sourced after `build` is set): free
# ports, quon-backend started with a ready file, and Apache (event MPM) started from a
# generated file and waited for. Each script keeps its own MPM sizing and modules, which
# are part of what it measures; what is here is what every one of them needs alike.
# Processes are stopped only by their process ids.

# A fresh directory /tmp/quon-NAME-XXXXXX that Apache's children can read; sets work.
make_work_dir() {  # name
  work=$(mktemp -d "/tmp/quon-$1-XXXXXX")
  chmod 755 "$work"
}

# The processes a script started, stopped by stop_pids: TERM to each, then a wait for each.
pids=()
stop_pids() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}

# One process stopped by its pid: woken if stopped (SIGCONT), TERM, then KILL when it
# outlives the grace time; reaped. A pid of 0 or none is nothing to stop.
stop_pid() {  # pid [seconds]
  local p=$1 grace=${2:-10}
  [ "$p" -gt 0 ] 2>/dev/null || return 0
  kill -CONT "$p" 2>/dev/null || true
  kill "$p" 2>/dev/null || return 0
  for _ in $(seq $((grace * 10))); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$p" 2>/dev/null || true
  wait "$p" 2>/dev/null || true
}

# Milliseconds since the epoch, and a sleep until such a time (none when it has passed).
now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }
sleep_until() {  # epoch ms
  local d=$(($1 - $(now_ms)))
  if [ "$d" -gt 0 ]; then sleep "$(printf '%d.%03d' $((d / 1000)) $((d % 1000)))"; fi
}

# A port on host that is free now (the load driver binds port 0 and reports it).
free_port() {  # host
  "$build/bench/backend/quon_backend_load" --free-port "$1"
}

# quon-backend with the given options and --ready-file ready, its output appended to
# out; sets quon_pid. The ready file is removed first, so that a restart waits anew.
start_quon_backend() {  # ready out options...
  local ready=$1 out=$2; shift 2
  rm -f "$ready"
  "$build/backend/quon-backend" "$@" --ready-file "$ready" >>"$out" 2>&1 &
  quon_pid=$!
}

# Waits (at most 5 s) for the ready file; 1 when it has not come, with out's last lines
# on stderr.
wait_quon_ready() {  # ready out
  for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.05; done
  echo "quon-backend did not come up: $(tail -n 3 "$2")" >&2
  return 1
}

# The lines every generated httpd.conf starts with: server root, one listener on
# 127.0.0.1, the pid file and runtime files in rundir, the error log, User/Group
# www-data when run as root (the children then must own what they write), the event MPM
# and authz_core.
apache_conf_head() {  # root port rundir errorlog
  cat <<CONF
ServerRoot "$1"
ServerName 127.0.0.1
Listen 127.0.0.1:$2
PidFile "$3/httpd.pid"
DefaultRuntimeDir "$3"
ErrorLog "$4"
LoadModule mpm_event_module /usr/lib/apache2/modules/mod_mpm_event.so
LoadModule authz_core_module /usr/lib/apache2/modules/mod_authz_core.so
CONF
  if [ "$(id -u)" = 0 ]; then printf 'User www-data\nGroup www-data\n'; fi
}

# Keep-alive without a request limit, and responses written rather than mapped or sent
# from the file: the defaults (100 requests, mmap and sendfile on) would distort a bench.
apache_conf_keepalive() {  # keep-alive timeout in seconds
  cat <<CONF
KeepAlive On
MaxKeepAliveRequests 0
KeepAliveTimeout $1
EnableMMAP Off
EnableSendfile Off
CONF
}

# One child of 128 threads (more than any bench's connections, so that the event MPM never
# closes a keep-alive connection for want of a worker), kept for the whole run, with the
# keep-alive above and the document root docroot.
apache_conf_one_child() {  # docroot
  cat <<CONF
LogLevel warn
StartServers 1
ServerLimit 1
ThreadLimit 128
ThreadsPerChild 128
MaxRequestWorkers 128
MinSpareThreads 1
MaxSpareThreads 256
MaxConnectionsPerChild 0
CONF
  apache_conf_keepalive 30
  cat <<CONF
DocumentRoot "$1"
<Directory />
  AllowOverride None
  Require all granted
</Directory>
CONF
}

# Gives the given files and directories to www-data when run as root.
apache_owns() {  # path...
  if [ "$(id -u)" = 0 ]; then chown -R www-data:www-data "$@"; fi
}

# Starts Apache in the foreground from conf, its output appended to out, and waits (at
# most 15 s) until url answers with a success; sets apache_pid. 1 when it does not answer
# or Apache has ended.
start_apache_conf() {  # conf out url
  chmod 644 "$1"
  /usr/sbin/apache2 -f "$1" -DFOREGROUND >>"$2" 2>&1 &
  apache_pid=$!
  for _ in $(seq 150); do
    curl -sf --noproxy '*' -o /dev/null "$3" 2>/dev/null && return 0
    kill -0 "$apache_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
