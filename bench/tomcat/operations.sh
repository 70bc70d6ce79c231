# The operations section of bench/tomcat/run.sh (sourced): the lines of Apache
# configuration each set-up needs for the three Tomcats and one application, counted from
# the lines this bench's Apache runs with (tomcats.sh writes them); what adding an
# application or a Tomcat takes, with an application deployed into the running Tomcats
# and polled through every set-up; and each connector's status page fetched.

# The lines an administrator writes for a set-up: its modules, its server-wide lines, its
# virtual host's lines and (mod_jk) its workers.properties; comments and blank lines not
# counted.
config_of() {  # setup
  local m modules=/usr/lib/apache2/modules
  case $1 in
    quon) printf 'LoadModule quon_module %s\n' "$build/apache/mod_quon22.so" ;;
    jk)
      printf 'LoadModule jk_module %s/mod_jk.so\n' "$modules"
      grep -E '^Jk(WorkersFile|ShmFile)' "$work/httpd.conf"
      printf 'worker.list=lb\n'
      jk_lb lb "" ;;
    proxy_*)
      for m in proxy "$1" proxy_balancer slotmem_shm lbmethod_byrequests; do
        printf 'LoadModule %s_module %s/mod_%s.so\n' "$m" "$modules" "$m"
      done ;;
  esac
  setup_lines "$1"
}
status_of() {  # setup
  case $1 in
    quon) setup_lines quon-status ;;
    jk) printf 'worker.list=jkstatus\nworker.jkstatus.type=status\n'; setup_lines jk-status ;;
    proxy_*) setup_lines proxy-status ;;
  esac
}
count_lines() { grep -cvE '^\s*(#|$)' || true; }

# Seconds until a new application, deployed into the running Tomcats, is served through
# each set-up (at most 30 s; Tomcat's auto-deployer takes up to a second of its own).
row_new_application() {
  local setup i t0 left=("${speed_setups[@]:1}") next
  for i in 0 1 2; do
    cp "$work/app.war" "$work/${names[i]}/temp/shop.war"
    mv "$work/${names[i]}/temp/shop.war" "$work/${names[i]}/webapps/shop.war"
  done
  t0=$(now_ms)
  declare -A served=()
  while [ ${#left[@]} -gt 0 ] && [ $(($(now_ms) - t0)) -lt 30000 ]; do
    next=()
    for setup in "${left[@]}"; do
      if curl -sf -o /dev/null "${base_of[$setup]}/shop/echo"; then
        served[$setup]=$(secs "$t0" "$(now_ms)")
      else
        next+=("$setup")
      fi
    done
    left=("${next[@]}")
    sleep 0.2
  done
  echo
  echo "a new application (shop.war) copied into the three running Tomcats' webapps/:" \
    "seconds until GET /shop/echo is served through each set-up, Apache untouched"
  echo
  echo "| set-up | /shop/echo served after s | answer at the end |"
  echo "|---|---:|---:|"
  for setup in "${speed_setups[@]:1}"; do
    echo "| $setup | ${served[$setup]:-never (30 s)} | $(curl -s -o /dev/null -w '%{http_code}' "${base_of[$setup]}/shop/echo") |"
  done
}

section_operations() {
  local setup page
  echo
  echo "operations: lines of Apache configuration for three Tomcats and one application" \
    "(modules, server-wide lines, virtual host lines, workers.properties), at defaults"
  echo
  echo "| set-up | lines | status page: lines | for one more application | for one more Tomcat |"
  echo "|---|---:|---:|---|---|"
  for setup in quon jk proxy_ajp proxy_http; do
    local app tomcat
    case $setup in
      quon) app="none: learned from Tomcat" tomcat="none in Apache: its host:port in the Tomcats' members" ;;
      jk) app="1 JkMount per virtual host" tomcat="$(jk_lb lb "" | grep -c "${names[0]}\.") worker lines, balance_workers changed, Apache restarted" ;;
      proxy_*) app="1 ProxyPass per virtual host (and a ProxyPassReverse)" tomcat="1 BalancerMember, Apache restarted (or added in balancer-manager until the next restart)" ;;
    esac
    echo "| $setup | $(config_of "$setup" | count_lines) | $(status_of "$setup" | count_lines) | $app | $tomcat |"
  done
  row_new_application
  echo
  echo "status pages (saved in $work/status-*):"
  for page in "quon /quon-status?format=json" "jk /jkstatus?mime=prop" "proxy_ajp /balancer-manager"; do
    set -- $page
    curl -s -o "$work/status-$1" "${base_of[$1]}$2" -w "  $1 $2: HTTP %{http_code}, %{size_download} bytes\n"
  done
}
