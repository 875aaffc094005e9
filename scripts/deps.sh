#!/usr/bin/env bash
# Installs every Debian package the build and the tests need, only when it is missing.
set -euo pipefail
pkgs=(g++ cmake make libgtest-dev libgmock-dev libbenchmark-dev
      libfbclient2 firebird-dev firebird3.0-server-core firebird3.0-utils
      libxml2-dev zlib1g-dev libmd-dev uuid-dev locales
      acl)  # setfacl/getfacl: the tests that a save keeps a file's ACL
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A fresh machine has no package lists yet.
  if [ -z "$(ls -A /var/lib/apt/lists 2>/dev/null | grep -v -e lock -e partial)" ] || ! apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1; then
    apt-get update -qq
    apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi
# The Firebird server for the tests that open libraries on a server (scripts/fbserver.sh starts a private one;
# the package's own service is not used). Where it cannot be installed, those tests skip and say why.
if ! dpkg-query -W -f='${Status}' firebird3.0-server 2>/dev/null | grep -q "install ok installed"; then
  echo "Installing: firebird3.0-server"
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends firebird3.0-server >/dev/null 2>&1 ||
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends firebird3.0-server; } ||
    echo "deps: firebird3.0-server could not be installed: the server tests will skip" >&2
fi
# German locales, generated only when missing: de_DE.UTF-8 for the tests that check that number texts never follow
# the process locale, and de_DE (ISO-8859-1) for the test that the program writes its texts in the character set
# of the user's locale.
# need_locale NAME-AS-LISTED LOCALE.GEN-LINE CHARSET LOCALEDEF-NAME
need_locale() {
  locale -a 2>/dev/null | grep -qix "$1" && return 0
  echo "Generating the locale $4 ($3)"
  if [ -f /etc/locale.gen ] && grep -q "^# *$2\$" /etc/locale.gen; then
    sed -i "s/^# *\($2\)\$/\1/" /etc/locale.gen
    locale-gen >/dev/null
  else
    localedef -i de_DE -f "$3" "$4"
  fi
}
need_locale de_DE.utf8 'de_DE.UTF-8 UTF-8' UTF-8 de_DE.UTF-8
need_locale de_DE.iso88591 'de_DE ISO-8859-1' ISO-8859-1 de_DE
