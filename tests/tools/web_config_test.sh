#!/usr/bin/env bash
# The host's metrics endpoint behind a web configuration, end to end on loopback: makes a
# certificate (openssl) and a bcrypt hash (htpasswd -B), runs the host on the built-in
# simulator with --web-config, and checks with curl that HTTPS with the right user answers
# 200 on every path, a wrong or missing password gets 401 with WWW-Authenticate: Basic,
# plain HTTP to the TLS port gets no answer, the configured headers are sent, a client
# certificate is asked for when configured, and a bad file (given as an option or named in
# the settings) ends the host with exit code 2 naming the file and the key.
#   web_config_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
src="$2"
host="${build}/tools/zrt4600a-host"
for tool in openssl htpasswd curl python3; do
  command -v "${tool}" >/dev/null || { echo "web_config_test: ${tool} is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
tmp="$(mktemp -d)"
pid=""
cleanup() {
  if [ -n "${pid}" ]; then kill "${pid}" 2>/dev/null || true; wait "${pid}" 2>/dev/null || true; fi
  rm -rf "${tmp}"
}
trap cleanup EXIT
fail() {
  echo "web_config_test: FAILED: $*" >&2
  [ -f "${tmp}/host.log" ] && grep -v -e "^a:" -e "^parse" "${tmp}/host.log" | tail -5 >&2
  exit 1
}

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -keyout "${tmp}/tls.key" -out "${tmp}/tls.crt" 2>/dev/null
hash="$(htpasswd -bnBC 10 prom 's3cret' | head -1 | cut -d: -f2-)"
case "${hash}" in \$2?\$10\$*) ;; *) fail "htpasswd wrote no bcrypt hash: ${hash}" ;; esac
cat >"${tmp}/web.yml" <<EOF
tls_server_config:
  cert_file: tls.crt
  key_file: tls.key
  min_version: TLS12
http_server_config:
  headers:
    X-Content-Type-Options: nosniff
basic_auth_users:
  prom: ${hash}
EOF

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
start_host() {
  "${host}" --simulate --plant "${src}/examples/plant.json" --site ci --metrics "127.0.0.1:${port}" "$@" \
    >/dev/null 2>"${tmp}/host.log" &
  pid=$!
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/${port}") 2>/dev/null; then return 0; fi
    kill -0 "${pid}" 2>/dev/null || fail "the host ended at start"
    sleep 0.1
  done
  fail "the host never answered on port ${port}"
}
stop_host() { kill "${pid}"; wait "${pid}" 2>/dev/null || true; pid=""; }
code() { curl -s -o "${tmp}/body" -D "${tmp}/head" -w '%{http_code}' "$@" || true; }

start_host --web-config "${tmp}/web.yml"
base="https://127.0.0.1:${port}"
for path in /metrics /healthz /api/v1/status /; do
  [ "$(code --cacert "${tmp}/tls.crt" -u prom:s3cret "${base}${path}")" = 200 ] || fail "right user on ${path}: not 200"
  grep -qi '^X-Content-Type-Options: nosniff' "${tmp}/head" || fail "the configured header is missing on ${path}"
done
grep -q '^zrt4600a_http_rejected_total' <(curl -sk -u prom:s3cret "${base}/metrics") || fail "no rejected counter"
for path in /metrics /healthz /events /; do
  [ "$(code -k -u prom:wrong "${base}${path}")" = 401 ] || fail "wrong password on ${path}: not 401"
  grep -qi '^WWW-Authenticate: Basic' "${tmp}/head" || fail "401 without WWW-Authenticate: Basic on ${path}"
  [ "$(code -k -u nobody:s3cret "${base}${path}")" = 401 ] || fail "unknown user on ${path}: not 401"
  [ "$(code -k "${base}${path}")" = 401 ] || fail "no password on ${path}: not 401"
done
[ "$(code --max-time 5 "http://127.0.0.1:${port}/healthz")" != 200 ] || fail "plain HTTP answered on the TLS port"
curl -sk --tls-max 1.1 -o /dev/null "${base}/healthz" 2>/dev/null && fail "TLS 1.1 accepted below min_version TLS12"
grep -q 'zrt4600a_http_rejected_total{site="ci",reason="unauthorized"} [1-9]' \
  <(curl -sk -u prom:s3cret "${base}/metrics") || fail "401s not counted"
stop_host

# A client certificate, verified against the CA file.
cat >"${tmp}/mtls.yml" <<EOF
tls_server_config:
  cert_file: ${tmp}/tls.crt
  key_file: ${tmp}/tls.key
  client_auth_type: RequireAndVerifyClientCert
  client_ca_file: ${tmp}/tls.crt
EOF
start_host --web-config "${tmp}/mtls.yml"
curl -sk -o /dev/null "${base}/healthz" && fail "no client certificate, yet answered"
[ "$(code -k --cert "${tmp}/tls.crt" --key "${tmp}/tls.key" "${base}/healthz")" = 200 ] ||
  fail "a client certificate from the CA file was refused"
stop_host

# A bad file ends the host with exit code 2, naming the file and the key.
printf 'basic_auth_users:\n  prom: plain\n' >"${tmp}/bad.yml"
rc=0
"${host}" --simulate --metrics 127.0.0.1:0 --web-config "${tmp}/bad.yml" --cycles 1 >/dev/null 2>"${tmp}/err" || rc=$?
[ "${rc}" = 2 ] || fail "a bad web configuration: exit ${rc}, not 2"
grep -q "bad.yml: basic_auth_users.prom: not a bcrypt hash" "${tmp}/err" || fail "the message names no key: $(cat "${tmp}/err")"
printf 'tls_server_config:\n  cert_file: tls.crt\n  key_file: tls.key\n  client_auth: x\n' >"${tmp}/bad.yml"
python3 - "${src}/examples/site.json" "${tmp}/settings.json" <<'PY'
import json, sys
s = json.load(open(sys.argv[1]))
s.update({"simulate": True, "metrics": "127.0.0.1:0", "web_config": "bad.yml"})
s.pop("port", None)
json.dump(s, open(sys.argv[2], "w"))
PY
rc=0
"${host}" --settings "${tmp}/settings.json" --cycles 1 >/dev/null 2>"${tmp}/err" || rc=$?
[ "${rc}" = 2 ] || fail "a bad web configuration named in the settings: exit ${rc}, not 2 ($(cat "${tmp}/err"))"
grep -q "web_config.*${tmp}/bad.yml: tls_server_config.client_auth: unknown key" "${tmp}/err" ||
  fail "the message names no key: $(cat "${tmp}/err")"
echo "web_config_test: OK"
