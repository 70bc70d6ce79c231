#!/usr/bin/env bash
# The demo with real Java applications: three Tomcat 10.1 instances (their own
# CATALINA_BASE each, on 127.0.0.2, .3 and .4, the system's /usr/share/tomcat10 as
# CATALINA_HOME) with the Quon connector, serving the sample application of
# tomcat/demo-app (a servlet, a JSP, a session counter, a static file) and replicating
# its sessions to one another, behind a real Apache 2.4 with mod_quon22 on 127.0.0.1 that
# knows nothing but the first Tomcat's address. Then requests that show, each with its
# output: round robin, the JSP and static file, a sticky session, a kill -9 of the
# session's Tomcat with the session going on at its buddy, and an application deployed
# into the running Tomcats that Apache picks up by itself. Run from a terminal, it keeps
# everything running until Enter is pressed; everything it starts is stopped by process
# id when it ends. The files live in /tmp/quon-demo-tomcat (or $QUON_DEMO_DIR).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${BUILD:-$top/build}" && pwd)
demo=${QUON_DEMO_DIR:-/tmp/quon-demo-tomcat}
module=$build/apache/mod_quon22.so
jar=$build/tomcat/quon22-tomcat.jar
home=/usr/share/tomcat10
source "$top/bench/lib.sh"
for f in "$module" "$jar" "$build/bench/backend/quon_backend_load"; do
  [ -f "$f" ] || { echo "build first: ./dev build ($f is missing)" >&2; exit 1; }
done
[ -f "$home/bin/bootstrap.jar" ] || { echo "Tomcat 10 is missing: ./dev setup" >&2; exit 1; }

declare -A pid=()
stop_all() {
  for p in "${pid[@]}"; do stop_pid "$p" 15; done
}
trap stop_all EXIT

rm -rf "$demo" && mkdir -p "$demo/htdocs" "$demo/run" && chmod 755 "$demo"
names=(SRV1 SRV2 SRV3)
declare -A host=([SRV1]=127.0.0.2 [SRV2]=127.0.0.3 [SRV3]=127.0.0.4)
declare -A buddy=([SRV1]=SRV2 [SRV2]=SRV3 [SRV3]=SRV1)
declare -A port=() cport=()
for n in "${names[@]}"; do
  port[$n]=$(free_port "${host[$n]}")
  cport[$n]=$(free_port "${host[$n]}")
done
members=$(for n in "${names[@]}"; do printf '%s:%s,' "${host[$n]}" "${port[$n]}"; done)
members=${members%,}

echo "== building the demo application (tomcat/demo-app) into $demo/demo.war"
mkdir -p "$demo/war"
cp -r "$top/tomcat/demo-app/web/." "$demo/war/"
javac --release 17 -nowarn -encoding UTF-8 -cp /usr/share/java/tomcat10-servlet-api.jar \
  -d "$demo/war/WEB-INF/classes" "$top"/tomcat/demo-app/src/org/quon22/demo/*.java
jar cf "$demo/demo.war" -C "$demo/war" .

# A tribes member id: 16 signed bytes, made unique by the address and the port.
member_id() {  # name
  local n=$1 last=${host[$1]##*.}
  echo "{0,0,0,0,0,0,0,0,0,0,0,0,$((last - 128)),0,$((cport[$n] / 256 - 128)),$((cport[$n] % 256 - 128))}"
}

# CATALINA_BASE of one Tomcat: the Quon connector (no HTTP connector), our Listener,
# session replication to the two others (DeltaManager, static membership), the demo
# application, the connector's jar in lib/.
make_base() {  # name
  local n=$1 b=$demo/$1 others=""
  mkdir -p "$b"/{conf,logs,webapps,work,temp,lib}
  cp "$home/skel/conf/web.xml" "$b/conf/"
  cp "$jar" "$b/lib/"
  cp "$demo/demo.war" "$b/webapps/demo.war"
  printf '%s\n' 'common.loader="${catalina.base}/lib","${catalina.base}/lib/*.jar","${catalina.home}/lib","${catalina.home}/lib/*.jar"' \
    'tomcat.util.scan.StandardJarScanFilter.jarsToSkip=*.jar' >"$b/conf/catalina.properties"
  for o in "${names[@]}"; do
    [ "$o" = "$n" ] && continue
    others+="          <Member className=\"org.apache.catalina.tribes.membership.StaticMember\" host=\"${host[$o]}\" port=\"${cport[$o]}\" uniqueId=\"$(member_id "$o")\"/>
"
  done
  cat >"$b/conf/server.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<Server port="-1" shutdown="SHUTDOWN">
  <Service name="Catalina">
    <Connector protocol="org.quon22.tomcat.QuonNioProtocol" address="${host[$n]}" port="${port[$n]}"
               repId="$n" buddies="${buddy[$n]}" members="$members" mapcheck="2"/>
    <Engine name="Catalina" defaultHost="localhost">
      <Listener className="org.quon22.tomcat.QuonListener"/>
      <Cluster className="org.apache.catalina.ha.tcp.SimpleTcpCluster" channelSendOptions="6">
        <Manager className="org.apache.catalina.ha.session.DeltaManager"
                 expireSessionsOnShutdown="false" notifyListenersOnReplication="true"
                 stateTransferTimeout="5"/>
        <Channel className="org.apache.catalina.tribes.group.GroupChannel">
          <Membership className="org.apache.catalina.tribes.membership.StaticMembershipService">
            <LocalMember className="org.apache.catalina.tribes.membership.StaticMember" uniqueId="$(member_id "$n")"/>
$others          </Membership>
          <Receiver className="org.apache.catalina.tribes.transport.nio.NioReceiver"
                    address="${host[$n]}" port="${cport[$n]}" autoBind="0" maxThreads="6"/>
          <Sender className="org.apache.catalina.tribes.transport.ReplicationTransmitter">
            <Transport className="org.apache.catalina.tribes.transport.nio.PooledParallelSender"/>
          </Sender>
          <Interceptor className="org.apache.catalina.tribes.group.interceptors.TcpFailureDetector"/>
          <Interceptor className="org.apache.catalina.tribes.group.interceptors.MessageDispatchInterceptor"/>
        </Channel>
        <ClusterListener className="org.apache.catalina.ha.session.ClusterSessionListener"/>
      </Cluster>
      <Host name="localhost" appBase="webapps" unpackWARs="true" autoDeploy="true"
            backgroundProcessorDelay="1"/>
    </Engine>
  </Service>
</Server>
XML
}

# Starts one Tomcat (java directly, as catalina.sh would) and waits (at most 60 s) until
# it says it has started.
start_tomcat() {  # name
  local n=$1 b=$demo/$1 log=$demo/$1/logs/catalina.out
  local mark=0
  [ -f "$log" ] && mark=$(wc -l <"$log")
  (cd "$b" && exec java -XX:TieredStopAtLevel=1 -XX:+UseSerialGC -Xmx128m \
    --add-opens=java.base/java.lang=ALL-UNNAMED --add-opens=java.base/java.io=ALL-UNNAMED \
    --add-opens=java.rmi/sun.rmi.transport=ALL-UNNAMED \
    -Dcatalina.base="$b" -Dcatalina.home="$home" -Djava.io.tmpdir="$b/temp" \
    -Dquon.demo.name="$n" -cp "$home/bin/bootstrap.jar:$home/bin/tomcat-juli.jar" \
    org.apache.catalina.startup.Bootstrap start >>"$log" 2>&1) &
  pid[$n]=$!
  for _ in $(seq 600); do
    tail -n +$((mark + 1)) "$log" 2>/dev/null | grep -q "Server startup in" && return 0
    kill -0 "${pid[$n]}" 2>/dev/null || break
    sleep 0.1
  done
  echo "Tomcat $n did not start: $(tail -n 5 "$log")" >&2
  return 1
}

for n in "${names[@]}"; do make_base "$n"; done
echo "== starting Tomcat SRV1, SRV2 and SRV3"
for n in "${names[@]}"; do start_tomcat "$n"; done

aport=$(free_port 127.0.0.1)
echo "<h1>served by Apache itself</h1>" >"$demo/htdocs/index.html"
apache_owns "$demo/htdocs" "$demo/run"
{
  apache_conf_head "$demo" "$aport" "$demo/run" "$demo/error.log"
  cat <<CONF
LoadModule quon_module $module
StartServers 1
ServerLimit 1
DocumentRoot $demo/htdocs
<Directory />
  Require all granted
</Directory>
QuonConfig bootstrap ${host[SRV1]}:${port[SRV1]}
QuonConfig proxyretryinterval 1
CONF
} >"$demo/httpd.conf"
start_apache_conf "$demo/httpd.conf" "$demo/stderr.log" "http://127.0.0.1:$aport/index.html" ||
  { echo "Apache did not start: $(tail -n 3 "$demo/stderr.log" "$demo/error.log")" >&2; exit 1; }
pid[apache]=$apache_pid
base="http://127.0.0.1:$aport"
echo "== Apache on $base knows only SRV1 (${host[SRV1]}:${port[SRV1]}); it learns the rest from Tomcat"
for _ in $(seq 50); do
  curl -sf --noproxy '*' -o /dev/null "$base/demo/hello" && break
  sleep 0.1
done

# One request: the status, which Tomcat answered (or Apache) and the answer's first line;
# the answer stays in $demo/last.
show() {  # path [curl options...]
  local path=$1; shift
  curl -sS --noproxy '*' -D "$demo/head" "$@" "$base$path" >"$demo/last" 2>&1 || true
  printf '  GET %-20s -> %s  %-12s %s\n' "$path" \
    "$(sed -n '1s/^HTTP\/[0-9.]* \([0-9]*\).*/\1/p' "$demo/head")" \
    "$(sed -n 's/^X-Demo-Server: \([^\r]*\).*/by \1/p' "$demo/head" | grep . || echo "by Apache")" \
    "$(head -n 1 "$demo/last" | cut -c1-90)"
}

echo "== requests without a session, round robin over the three Tomcats"
for _ in 1 2 3 4 5 6; do show /demo/hello; done
echo "== a JSP and a static file of the application; a page no Tomcat announced"
show /demo/index.jsp
show /demo/readme.txt
show /index.html
echo "== a session: its id names its Tomcat and, after TR, its buddy; it stays there"
show /demo/counter
session=$(sed -n 's/.*session=\([^ ]*\).*/\1/p' "$demo/last")
holder=${session:0:4}
for _ in 1 2 3; do show /demo/counter -H "Cookie: JSESSIONID=$session"; done
echo "== kill -9 of $holder: the session goes on at its buddy ${buddy[$holder]}, count and all"
kill -9 "${pid[$holder]}"; wait "${pid[$holder]}" 2>/dev/null || true
unset "pid[$holder]"
for _ in 1 2 3; do show /demo/counter -H "Cookie: JSESSIONID=$session"; done
echo "== $holder is started again and takes requests again"
start_tomcat "$holder"
for _ in 1 2 3 4 5 6; do show /demo/hello; done
echo "== a new application (shop.war) is deployed into the running Tomcats; Apache is not touched"
show /shop/hello
for n in "${names[@]}"; do
  cp "$demo/demo.war" "$demo/$n/temp/shop.war" && mv "$demo/$n/temp/shop.war" "$demo/$n/webapps/shop.war"
done
for _ in $(seq 100); do
  curl -sf --noproxy '*' -o /dev/null "$base/shop/hello" && break
  sleep 0.1
done
for _ in 1 2 3; do show /shop/hello; done
echo "== files: $demo (error.log, SRV1/logs/catalina.out ...)"
if [ -t 0 ]; then
  echo "== try it: curl $base/demo/hello"
  read -r -p "Apache and the Tomcats keep running - press Enter to stop them. "
fi
