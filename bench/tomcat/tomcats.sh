# The Tomcats and the Apache of bench/tomcat/run.sh (sourced after bench/lib.sh and
# bench/e2e/measure.sh): three Tomcat 10.1 instances (a CATALINA_BASE each under $work,
# the system's /usr/share/tomcat10 as CATALINA_HOME) on 127.0.0.2, .3 and .4, each with
# the Quon connector, an AJP connector (secretRequired="false") and an HTTP connector on
# one shared executor, serving the bench's application as /app; and one Apache (event
# MPM, one child of 128 threads) with a virtual host per set-up. Everything is started
# from files in $work and stopped by process id. Uses: top, build, work, fail.

home=/usr/share/tomcat10
jar=$build/tomcat/quon22-tomcat.jar
names=(SRV1 SRV2 SRV3)
hosts=(127.0.0.2 127.0.0.3 127.0.0.4)
# Threads of each Tomcat's executor, shared by its three connectors.
tomcat_threads=${TOMCAT_THREADS:-50}
qport=() aport=() hport=() tomcat_pid=(0 0 0) tomcat_start=(0 0 0) tomcat_ready=(0 0 0) tomcat_mark=(0 0 0)

# The application's war, built from bench/tomcat/app.
make_war() {
  local app=$work/war
  mkdir -p "$app/WEB-INF/classes"
  cp "$top/bench/tomcat/app/WEB-INF/web.xml" "$app/WEB-INF/"
  javac --release 17 -nowarn -encoding UTF-8 -cp /usr/share/java/tomcat10-servlet-api.jar \
    -d "$app/WEB-INF/classes" "$top"/bench/tomcat/app/src/*.java || fail "the bench application does not compile"
  jar cf "$work/app.war" -C "$app" .
}

# Three free ports on each Tomcat's host: Quon, AJP and HTTP.
pick_ports() {
  local i p used
  for i in 0 1 2; do
    used=" "
    for p in q a h; do
      local port
      port=$(free_port "${hosts[i]}")
      while [[ "$used" == *" $port "* ]]; do port=$(free_port "${hosts[i]}"); done
      used+="$port "
      case $p in q) qport[i]=$port ;; a) aport[i]=$port ;; h) hport[i]=$port ;; esac
    done
  done
}

# CATALINA_BASE of Tomcat i: the three connectors, our Listener, jvmRoute set to the
# replication id (what mod_jk and mod_proxy's balancers route sessions by), the war.
make_base() {  # index
  local i=$1 b=$work/${names[$1]} members=""
  local j
  for j in 0 1 2; do members+="${hosts[j]}:${qport[j]},"; done
  mkdir -p "$b"/{conf,logs,webapps,work,temp,lib}
  cp "$home/skel/conf/web.xml" "$b/conf/"
  cp "$jar" "$b/lib/"
  cp "$work/app.war" "$b/webapps/app.war"
  printf '%s\n' 'common.loader="${catalina.base}/lib","${catalina.base}/lib/*.jar","${catalina.home}/lib","${catalina.home}/lib/*.jar"' \
    'tomcat.util.scan.StandardJarScanFilter.jarsToSkip=*.jar' >"$b/conf/catalina.properties"
  cat >"$b/conf/server.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<Server port="-1" shutdown="SHUTDOWN">
  <Service name="Catalina">
    <Executor name="pool" namePrefix="exec-" maxThreads="$tomcat_threads" minSpareThreads="8"/>
    <Connector executor="pool" protocol="org.quon22.tomcat.QuonNioProtocol" address="${hosts[i]}"
               port="${qport[i]}" repId="${names[i]}" buddies="${names[(i + 1) % 3]}"
               members="${members%,}"/>
    <Connector executor="pool" protocol="AJP/1.3" address="${hosts[i]}" port="${aport[i]}"
               secretRequired="false"/>
    <Connector executor="pool" protocol="HTTP/1.1" address="${hosts[i]}" port="${hport[i]}"
               maxKeepAliveRequests="-1"/>
    <Engine name="Catalina" defaultHost="localhost" jvmRoute="${names[i]}">
      <Listener className="org.quon22.tomcat.QuonListener"/>
      <Host name="localhost" appBase="webapps" unpackWARs="true" autoDeploy="true"
            backgroundProcessorDelay="1"/>
    </Engine>
  </Service>
</Server>
XML
}

# Starts Tomcat i (java directly, as catalina.sh would); tomcat_start[i] is the epoch ms
# just before, tomcat_ready[i] when its log said "Server startup in" (seen within 0.1 s).
# With wait, waits (at most 90 s) until then.
start_tomcat() {  # index [wait]
  local i=$1 b=$work/${names[$1]} log=$work/${names[$1]}/logs/catalina.out
  tomcat_mark[i]=0
  [ -f "$log" ] && tomcat_mark[i]=$(wc -l <"$log")
  tomcat_start[i]=$(now_ms)
  (cd "$b" && exec java -XX:+UseSerialGC -Xms256m -Xmx256m -Xss512k \
    -Dcatalina.base="$b" -Dcatalina.home="$home" -Djava.io.tmpdir="$b/temp" \
    -Dquon.bench.server="${hosts[i]}:${qport[i]}" \
    -cp "$home/bin/bootstrap.jar:$home/bin/tomcat-juli.jar" \
    org.apache.catalina.startup.Bootstrap start >>"$log" 2>&1) &
  tomcat_pid[i]=$!
  [ "${2:-}" = wait ] || return 0
  wait_tomcat "$i"
}
# Waits for the "Server startup in" line the last start of Tomcat i wrote.
wait_tomcat() {  # index
  local i=$1 log=$work/${names[$1]}/logs/catalina.out
  for _ in $(seq 900); do
    if tail -n +$((tomcat_mark[i] + 1)) "$log" 2>/dev/null | grep -q "Server startup in"; then
      tomcat_ready[i]=$(now_ms)
      return 0
    fi
    kill -0 "${tomcat_pid[i]}" 2>/dev/null || break
    sleep 0.1
  done
  fail "Tomcat ${names[i]} did not start: $(tail -n 5 "$log")"
}
kill_tomcat() {  # index
  kill -9 "${tomcat_pid[$1]}" 2>/dev/null || fail "${names[$1]} was not running"
  wait "${tomcat_pid[$1]}" 2>/dev/null || true
  tomcat_pid[$1]=0
}

start_tomcats() {
  make_war
  pick_ports
  local i
  for i in 0 1 2; do make_base "$i"; done
  for i in 0 1 2; do start_tomcat "$i"; done
  for i in 0 1 2; do wait_tomcat "$i"; done
}

# --- Apache -----------------------------------------------------------------------------

# workers.properties: an lb worker over three ajp13 workers, at mod_jk's defaults (lb) and
# with the settings its documentation recommends for production (lbp): CPing/CPong
# before each request and on idle connections (ping_mode=A), connections closed when
# idle longer than Tomcat's (connection_pool_timeout with connectionTimeout), a bounded
# connect; and the status worker. route: the Tomcat's jvmRoute, for sticky sessions.
jk_lb() {  # lb-name worker-suffix [prod]
  local i w
  for i in 0 1 2; do
    w=${names[i]}$2
    printf 'worker.%s.type=ajp13\nworker.%s.host=%s\nworker.%s.port=%s\nworker.%s.route=%s\n' \
      "$w" "$w" "${hosts[i]}" "$w" "${aport[i]}" "$w" "${names[i]}"
    [ -n "${3:-}" ] || continue
    printf 'worker.%s.ping_mode=A\nworker.%s.ping_timeout=2000\n' "$w" "$w"
    printf 'worker.%s.socket_connect_timeout=2000\nworker.%s.connection_pool_timeout=60\n' "$w" "$w"
  done
  printf 'worker.%s.type=lb\nworker.%s.balance_workers=%s%s,%s%s,%s%s\n' "$1" "$1" \
    "${names[0]}" "$2" "${names[1]}" "$2" "${names[2]}" "$2"
}
jk_workers() {
  printf 'worker.list=lb,lbp,jkstatus\nworker.jkstatus.type=status\n'
  jk_lb lb ""
  jk_lb lbp p prod
}

# The lines of one set-up's virtual host. -prod: the production settings of its docs.
setup_lines() {  # setup
  local i scheme port opts=""
  case $1 in
    static) ;;
    quon) printf 'QuonConfig bootstrap %s:%s\n' "${hosts[0]}" "${qport[0]}" ;;
    jk) printf 'JkMount /app/* lb\n' ;;
    jk-prod) printf 'JkMount /app/* lbp\n' ;;
    quon-status) printf '<Location /quon-status>\n  SetHandler quon-status\n</Location>\n' ;;
    jk-status) printf 'JkMount /jkstatus jkstatus\n' ;;
    proxy-status) printf '<Location /balancer-manager>\n  SetHandler balancer-manager\n</Location>\n' ;;
    proxy_ajp* | proxy_http*)
      scheme=ajp
      [[ $1 == proxy_http* ]] && scheme=http
      [[ $1 == *-prod ]] && opts=" ping=2 retry=5 connectiontimeout=2"
      printf '<Proxy balancer://%s>\n' "${1//-/_}"
      for i in 0 1 2; do
        port=${aport[i]}
        [ "$scheme" = http ] && port=${hport[i]}
        printf '  BalancerMember %s://%s:%s route=%s%s\n' "$scheme" "${hosts[i]}" "$port" \
          "${names[i]}" "$opts"
      done
      printf '</Proxy>\nProxyPass /app/ balancer://%s/app/ stickysession=JSESSIONID|jsessionid\n' \
        "${1//-/_}" ;;
    *) fail "unknown set-up $1" ;;
  esac
}

# One Apache: static in the main server, each set-up in a virtual host on a port of its
# own (base_of), every module loaded. LogLevel, MPM and keep-alive as bench/e2e's; the
# static files of the answers' bytes under htdocs/app.
declare -A base_of=()
apache_pid=0
start_apache() {  # setup...
  local port setup p modules=/usr/lib/apache2/modules m
  port=$(free_port 127.0.0.1)
  base=http://127.0.0.1:$port
  mkdir -p "$work/htdocs/app" "$work/run"
  local size
  for size in 100 16384; do
    awk -v n="$size" 'BEGIN {for (i = 0; i < n; i++) printf "%c", 97 + i % 23}' \
      >"$work/htdocs/app/s$size"
  done
  jk_workers >"$work/workers.properties"
  {
    apache_conf_head "$work" "$port" "$work/run" "$work/error.log"
    for m in proxy proxy_http proxy_ajp proxy_balancer slotmem_shm lbmethod_byrequests jk; do
      printf 'LoadModule %s_module %s/mod_%s.so\n' "$m" "$modules" "$m"
    done
    printf 'LoadModule quon_module %s\n' "$build/apache/mod_quon22.so"
    apache_conf_one_child "$work/htdocs"
    cat <<CONF
JkWorkersFile $work/workers.properties
JkShmFile $work/run/jk.shm
JkLogFile $work/jk.log
JkLogLevel error
CONF
    for setup in "$@"; do
      [ "$setup" = static ] && continue
      p=$(free_port 127.0.0.1)
      while [ "$p" = "$port" ] || [[ " ${base_of[*]} " == *":$p "* ]]; do p=$(free_port 127.0.0.1); done
      base_of[$setup]=http://127.0.0.1:$p
      printf 'Listen 127.0.0.1:%s\n<VirtualHost 127.0.0.1:%s>\n' "$p" "$p"
      setup_lines "$setup"
      case $setup in
        quon) setup_lines quon-status ;;
        jk*) setup_lines jk-status ;;
        proxy*) setup_lines proxy-status ;;
      esac
      printf '</VirtualHost>\n'
    done
  } >"$work/httpd.conf"
  apache_owns "$work/htdocs" "$work/run"
  start_apache_conf "$work/httpd.conf" "$work/apache.out" "$base/app/s100" ||
    fail "Apache did not start: $(tail -n 3 "$work/apache.out" "$work/error.log")"
}
