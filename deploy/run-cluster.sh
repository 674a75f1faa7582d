#!/usr/bin/env bash
# Skalo as a small cluster on this machine: several skalo-httpd instances
# sharing one cache folder, behind nginx configured from
# deploy/nginx/skalo-cluster.conf. Nothing is installed; everything lives under
# the output folder:
#   instance-N.args      the command line of instance N, one argument a line
#   skalo-cluster.conf   the snippet with this run's instances and address
#   nginx.conf           the top-level configuration that includes it
#   cache/               the shared cache folder (unless --cache says otherwise)
#   logs/, tmp/          logs of every process; nginx's temporary folders
#
# Run without --generate-only, it starts the instances and then nginx, prints
# the URL and stays in the foreground; on Ctrl-C, on SIGTERM, or when any of
# them ends, it stops every process it started, by its PID.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: deploy/run-cluster.sh [--generate-only] [options]
  --build DIR      build folder with skalo-httpd and skalo.so (default: build)
  --out DIR        folder for the generated files (default: BUILD/cluster)
  --module FILE    module of every instance (default: BUILD/skalo.so; its
                   settings name /skalo-cache as the cache's URL path)
  --root DIR       the site (default: demo/www)
  --cache DIR      the shared cache folder, /skalo-cache (default: OUT/cache)
  --listen H:PORT  nginx's address (default: 127.0.0.1:8082)
  --ports P,P,...  the instances' ports on 127.0.0.1 (default: 8091,8092,8093)
  --nginx FILE     the nginx program (default: nginx on PATH, or /usr/sbin/nginx)
  --generate-only  write the files and stop
EOF
}

fail() {
  echo "run-cluster: $*" >&2
  exit 1
}

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_root=$(dirname "$here")
snippet="$here/nginx/skalo-cluster.conf"

build="$source_root/build"
out="" module="" cache="" nginx=""
root="$source_root/demo/www"
listen="127.0.0.1:8082"
ports="8091,8092,8093"
generate_only=false

while (($#)); do
  case "$1" in
    --generate-only) generate_only=true; shift; continue ;;
    -h | --help) usage; exit 0 ;;
    --build | --out | --module | --root | --cache | --listen | --ports | --nginx)
      (($# >= 2)) || fail "$1 needs a value"
      value="$2"
      ;;
    *) usage >&2; exit 2 ;;
  esac
  case "$1" in
    --build) build="$value" ;;
    --out) out="$value" ;;
    --module) module="$value" ;;
    --root) root="$value" ;;
    --cache) cache="$value" ;;
    --listen) listen="$value" ;;
    --ports) ports="$value" ;;
    --nginx) nginx="$value" ;;
  esac
  shift 2
done

build=$(realpath -m -- "$build")
out=$(realpath -m -- "${out:-$build/cluster}")
module=$(realpath -m -- "${module:-$build/skalo.so}")
cache=$(realpath -m -- "${cache:-$out/cache}")
root=$(realpath -m -- "$root")
httpd="$build/skalo-httpd"

# Each argument is one line of an .args file, and nginx takes the paths in
# double quotes: neither may hold a line break, and nginx's paths no quote,
# backslash or "$".
for path in "$build" "$out" "$module" "$cache" "$root"; do
  [[ "$path" != *$'\n'* ]] || fail "a path with a line break: $path"
done
[[ "$out" != *[\"\\\$]* ]] || fail "the output folder's path may not hold \", \\ or \$: $out"
listen_re='^[][A-Za-z0-9.:-]+:[0-9]+$'
[[ "$listen" =~ $listen_re ]] || fail "--listen wants HOST:PORT, not \"$listen\""
[[ "$ports" =~ ^[0-9]+(,[0-9]+)*$ ]] || fail "--ports wants P,P,..., not \"$ports\""
IFS=, read -r -a port_list <<<"$ports"
for port in "${port_list[@]}"; do
  ((port > 0 && port < 65536)) || fail "no such port: $port"
done
[[ -x "$httpd" ]] || fail "$httpd is missing: build first (make build)"
[[ -f "$module" ]] || fail "$module is missing: build first (make build)"
[[ -d "$root" ]] || fail "no site folder $root"

# --- the files ------------------------------------------------------------------

mkdir -p "$out/logs" "$cache"
for sub in client_body proxy fastcgi uwsgi scgi; do mkdir -p "$out/tmp/$sub"; done

for i in "${!port_list[@]}"; do
  n=$((i + 1))
  printf '%s\n' --listen "127.0.0.1:${port_list[i]}" --root "$root" \
    --alias "/skalo-cache=$cache" --module "$module" \
    --metrics /metrics --healthz /healthz \
    --access-log "$out/logs/instance-$n.access.log" >"$out/instance-$n.args"
done
# Instances from an earlier run with more of them.
n=$((${#port_list[@]} + 1))
while [[ -e "$out/instance-$n.args" ]]; do
  rm -f "$out/instance-$n.args"
  n=$((n + 1))
done

# The snippet with this run's instances: its first server line, with its
# parameters, once for each port in place of all of its server lines; and
# this run's address on the listen line.
server_re='^([[:space:]]*server[[:space:]]+)127\.0\.0\.1:[0-9]+([[:space:]].*)?;[[:space:]]*$'
template=$(grep -E -m1 "$server_re" "$snippet") || fail "no server line in $snippet"
[[ "$template" =~ $server_re ]]
: >"$out/servers.conf"
for port in "${port_list[@]}"; do
  printf '%s127.0.0.1:%s%s;\n' "${BASH_REMATCH[1]}" "$port" "${BASH_REMATCH[2]}" >>"$out/servers.conf"
done
sed -E -e "0,/$server_re/{/$server_re/{r $out/servers.conf
d}}" -e "/$server_re/d" \
  -e "s/^([[:space:]]*listen[[:space:]]+)[^;]*;/\1$listen;/" "$snippet" >"$out/skalo-cluster.conf"
rm -f "$out/servers.conf"

# As root, nginx would hand its workers to an unprivileged user that cannot
# write the temporary folders here; they stay with the user running this.
user_line=""
if [[ $(id -u) = 0 ]]; then user_line="user $(id -un);"; fi
cat >"$out/nginx.conf" <<EOF
# Generated by deploy/run-cluster.sh; edit deploy/nginx/skalo-cluster.conf instead.
daemon off;
$user_line
worker_processes 2;
pid "$out/nginx.pid";
error_log "$out/logs/nginx-error.log" warn;
events { worker_connections 1024; }
http {
    access_log "$out/logs/nginx-access.log";
    client_body_temp_path "$out/tmp/client_body";
    proxy_temp_path "$out/tmp/proxy";
    fastcgi_temp_path "$out/tmp/fastcgi";
    uwsgi_temp_path "$out/tmp/uwsgi";
    scgi_temp_path "$out/tmp/scgi";
    include "$out/skalo-cluster.conf";
}
EOF

if $generate_only; then
  echo "run-cluster: files written to $out"
  exit 0
fi

# --- running --------------------------------------------------------------------

if [[ -z "$nginx" ]]; then
  nginx=$(command -v nginx || true)
  [[ -n "$nginx" ]] || nginx=/usr/sbin/nginx
fi
[[ -x "$nginx" ]] || fail "nginx is missing (make deps installs it)"
command -v curl >/dev/null || fail "curl is missing (make deps installs it)"

pids=()
names=()

# Whether child `pid` still runs, as this shell knows it: it collects its
# children when they end, so a PID it no longer lists is never signalled.
running() {
  local pid
  for pid in $(jobs -rp); do
    [[ "$pid" != "$1" ]] || return 0
  done
  return 1
}

# shellcheck disable=SC2317  # run from the traps
stop_all() {
  trap - EXIT INT TERM
  local i pid tries
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    if running "${pids[i]}"; then kill -TERM "${pids[i]}" 2>/dev/null || true; fi
  done
  for pid in "${pids[@]}"; do
    for ((tries = 0; tries < 100; tries++)); do
      running "$pid" || break
      sleep 0.1
    done
    if running "$pid"; then kill -KILL "$pid" 2>/dev/null || true; fi
    wait "$pid" 2>/dev/null || true
  done
  ((${#pids[@]} == 0)) || echo "run-cluster: stopped ${names[*]}"
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits until `url` answers (any HTTP status), while child `pid` runs.
await() {
  local name="$1" pid="$2" url="$3" tries
  for ((tries = 0; tries < 100; tries++)); do
    running "$pid" || fail "$name ended at start-up; see $out/logs/"
    if curl -s -o /dev/null --max-time 1 "$url"; then return 0; fi
    sleep 0.1
  done
  fail "$name did not answer $url within 10 s; see $out/logs/"
}

for i in "${!port_list[@]}"; do
  n=$((i + 1))
  mapfile -t args <"$out/instance-$n.args"
  "$httpd" "${args[@]}" >"$out/logs/instance-$n.log" 2>&1 &
  pids+=($!)
  names+=("instance-$n($!)")
done
for i in "${!port_list[@]}"; do
  await "instance-$((i + 1))" "${pids[i]}" "http://127.0.0.1:${port_list[i]}/healthz"
done

"$nginx" -p "$out" -c "$out/nginx.conf" -e "$out/logs/nginx-error.log" &
pids+=($!)
names+=("nginx($!)")
await nginx "$!" "http://$listen/"

echo "Skalo cluster on http://$listen/ (instances on 127.0.0.1:${ports//,/, }; logs in $out/logs)"
echo "Ctrl-C stops it."
set +e
wait -n "${pids[@]}"
status=$?
echo "run-cluster: a process of the cluster ended (status $status); stopping the others" >&2
exit 1
