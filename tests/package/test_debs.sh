#!/usr/bin/env bash
# test_debs.sh <folder of .deb files> <tree> <package tests>: unpacks the packages that
# ./dev package built into tree with dpkg -x and runs the package tests on them, checks
# the Tomcat connector's jar and its links;
# then, as root and where the module's package is not installed already, installs it with
# apt-get as an administrator would, lets a child's server store appear, enables the
# module, and purges the package: nothing it or the module made may be left.
# Exits 77 (skipped) when there are no packages.
set -euo pipefail
debs=$1 tree=$2 tests=$3
shopt -s nullglob
files=("$debs"/libapache2-mod-quon22_*.deb "$debs"/quon-backend_*.deb
       "$debs"/libquon22-tomcat-java_*.deb)
if [ ${#files[@]} -ne 3 ]; then
  echo "no packages in $debs (./dev package builds them): skipped"
  exit 77
fi
rm -rf "$tree"
mkdir -p "$tree"
for f in "${files[@]}"; do
  echo "unpacking $f"
  dpkg -x "$f" "$tree"
done
QUON_PACKAGE_ROOT=$tree "$tests"

# Tomcat's common class loader reads /usr/share/tomcat10/lib: the link there must lead,
# through the unversioned name, to the versioned jar, which holds the protocol handler.
jar=$(readlink -f "$tree/usr/share/tomcat10/lib/quon22-tomcat.jar")
[ "$(readlink "$tree/usr/share/java/quon22-tomcat.jar")" = "$(basename "$jar")" ] &&
  [[ $jar == "$tree"/usr/share/java/quon22-tomcat-*.jar ]] &&
  jar tf "$jar" | grep -qx 'org/quon22/tomcat/QuonNioProtocol.class' ||
  { echo "FAILED: the Tomcat lib link does not lead to the connector's jar ($jar)"; exit 1; }

package=libapache2-mod-quon22
installed() { dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; }
if [ "$(id -u)" != 0 ] || installed || [ -e /var/lib/quon22 ]; then
  echo "install and purge not tried: needs root and no $package installed"
  exit 0
fi

# Package scripts must not start or reload the system's Apache, which the tests never use.
policy=/usr/sbin/policy-rc.d own_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && own_policy=1
fi
cleanup() {
  installed && apt-get purge -y -qq "$package" >/dev/null 2>&1 || true
  [ "$own_policy" = 1 ] && rm -f "$policy"
  return 0
}
trap cleanup EXIT
apt=(env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -y -qq)
fail() { echo "FAILED: $*"; exit 1; }

"${apt[@]}" install --no-install-recommends "$debs"/${package}_*.deb >/dev/null
installed || fail "$package is not installed"
[ "$(stat -c %U:%a /var/lib/quon22)" = www-data:750 ] || fail "/var/lib/quon22 is $(stat -c %U:%a /var/lib/quon22)"
# What Apache's children write there: the store and the file it is replaced through.
printf 'proxyservers=127.0.0.2:7001;\n' >/var/lib/quon22/servers
touch /var/lib/quon22/servers.new
chown -R www-data:www-data /var/lib/quon22
a2enmod -q quon22 >/dev/null
[ -L /etc/apache2/mods-enabled/quon22.load ] || fail "a2enmod did not enable quon22"

"${apt[@]}" purge "$package" >/dev/null
installed && fail "$package is still installed"
left=()
for path in /var/lib/quon22 /etc/apache2/mods-available/quon22.conf \
  /etc/apache2/mods-available/quon22.load /etc/apache2/mods-enabled/quon22.conf \
  /etc/apache2/mods-enabled/quon22.load /usr/lib/apache2/modules/mod_quon22.so; do
  [ -e "$path" ] || [ -L "$path" ] && left+=("$path")
done
[ ${#left[@]} -eq 0 ] || fail "purge left ${left[*]}"
echo "install, enable and purge: nothing left"
