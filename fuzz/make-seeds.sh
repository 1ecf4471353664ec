#!/usr/bin/env bash
# Writes the seed inputs of every fuzz target into fuzz/corpus/<target>/seed-*: the answers of
# tests/fixtures and tests/corpus in each target's input format, plus hand-made cases. Inputs that
# found a bug (regression-*) and inputs kept from fuzzing (cov-*) are left alone.
# Run it again after a fixture changes; it only rewrites seed-* files.
set -euo pipefail
cd "$(dirname "$0")"
fixtures=../tests/fixtures
lists=../tests/corpus/list
sep=$'\n=====\n'

seed() {  # seed TARGET NAME < bytes
  mkdir -p "corpus/$1"
  cat > "corpus/$1/seed-$2"
}
type_byte() {  # the list target's type number of a response key
  case "$1" in
    listprojectsresponse) echo 0 ;; listzonesresponse) echo 1 ;; listpodsresponse) echo 2 ;;
    listclustersresponse) echo 3 ;; listhostsresponse) echo 4 ;; *) echo 5 ;;
  esac
}

rm -f corpus/*/seed-*

# list_parse: one type byte (high bit: room for padding), then the body.
for file in "$fixtures"/list*.json "$lists"/*.json; do
  key=$(grep -o '"list[a-z]*response"' "$file" | head -1 | tr -d '"' || true)
  n=$(type_byte "${key:-listzonesresponse}")
  name=$(basename "$file" .json)
  { printf "\\x$(printf %02x "$n")"; cat "$file"; } | seed list_parse "$name"
  { printf "\\x$(printf %02x $((n + 128)))"; cat "$file"; } | seed list_parse "$name-padded"
done

# object_parse: job answers with values at the edges of the converters.
printf '%s' '{"queryasyncjobresultresponse":{"jobid":"j1","jobstatus":"1","jobprocstatus":null,"jobresultcode":"-2147483648"}}' | seed object_parse string-numbers
printf '%s' '{"queryasyncjobresultresponse":{"JobId":"j1","JOBSTATUS":2147483648}}' | seed object_parse out-of-range-any-case
printf '%s' '{"queryasyncjobresultresponse":{"jobid":1.5e3,"jobstatus":1.0,"cmd":true}}' | seed object_parse float-status
printf '%s' '{"stopvirtualmachineresponse":{"jobid":"\u0000\ud83d\ude00","jobstatus":[0],"jobresult":{"a":[[[]]]}}}' | seed object_parse escapes-and-array

# json_getters: members whose numbers and names sit at the edges.
printf '%s' '{"count":"007","id":-0,"name":18446744073709551615,"jobstatus":"-1","memorytotal":18446744073709551616,"cpunumber":"2147483647","Memory":"1e3","errorcode":-431,"x":{"Count":1,"COUNT":"2","count":null}}' | seed json_getters edge-numbers
printf '%s' '{"a":{"b":{"c":{}}},"sessionkey":"","Name":"upper","name":"lower","NAME":["x"],"\u0063ount":"5"}' | seed json_getters names-and-case

# response_headers: a header block (lines cut after each '\n'), then after an empty line a login body.
printf 'HTTP/1.1 200 OK\r\nSet-Cookie: JSESSIONID=0F3A; Path=/client; HttpOnly\r\nSet-Cookie: sessionkey=jJ_NmQCrcOErJFYh05czknvs6gE\r\nContent-Type: application/json\r\n\r\n' | seed response_headers login
printf 'HTTP/1.1 100 Continue\r\nSet-Cookie: interim=1\r\n\r\nHTTP/1.1 200 OK\r\nSet-Cookie:nospace=1\r\nset-cookie: a=b;\r\n \t folded; Secure\r\n\r\n' | seed response_headers interim-and-folded
printf 'HTTP/1.1 200 OK\r\nSet-Cookie: a=b\rInjected: 1\r\nSet-Cookie: c=\x00d\r\nSet-Cookie: e=\x7f\r\nSet-Cookie:\r\nSet-Cookie: sessionkey=a b&c%%\r\n\r\n' | seed response_headers controls
{ printf 'HTTP/2 200\n'; for i in $(seq 1 60); do printf 'Set-Cookie: c%d=v%d\n' "$i" "$i"; done; printf '\n'; } | seed response_headers sixty-cookies
{ printf 'HTTP/1.1 200 OK\r\n'; for i in $(seq 1 101); do printf 'X-Filler-%d: x\r\n' "$i"; done; printf '\r\n'; } | seed response_headers too-many-lines
printf 'HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\nSet-Cookie: sessionkey=\r\n\r\n{"loginresponse":{"sessionkey":"k\\r\\nX: y"}}' | seed response_headers body-session-key
printf 'HTTP/1.1 531 531\r\nSet-Cookie: sessionkey=x\r\n\r\n{"loginresponse":{"errorcode":531,"errortext":"denied"}}' | seed response_headers refused

# query_string: any bytes; used as a value, as "name=value", and as a query.
printf '%s' 'name=a value & more=+%41%zz%' | seed query_string mixed
printf 'command=listZones&name=\xc3\xa9t\xc3\xa9&id=&=&&x' | seed query_string utf8-and-empty
printf 'a\x00b=c\x00' | seed query_string nul
printf '%s' '?command=login#frag&command=second' | seed query_string command-twice

# request_signer: the secret key on the first line, then the query string.
printf 'VDaACYb0LV9eNjTetIOElcVQkvJck_J_QljX_FcHRj87ZKiy0z0ty0ZsYBkoXkY9b7eq1EhwJaw7FF3akA3KBQ\napikey=plgWJfZK4gyS3mOMTVmjUVg-X-jlWlnfaUJ9GAbBbf9EdM-kAYMmAiLqzzq1ElZLYq_u38zCm0bewzGUdP66mg&command=listUsers&response=json&signatureversion=3&expires=2025-10-30T14%%3A13%%3A11%%2B0000\n' | seed request_signer documented
printf 'k\nB=1&a=2&A=3&b=4&a=5&signature=x&Signature=y\n' | seed request_signer case-and-duplicates
printf '\nna%%26me=v%%20w&x+y=a+b&%%E2%%82%%AC=%%F0%%9F%%98%%80&*=~\n' | seed request_signer encoded-names

# wrapper: a switch byte, then the answers in request order.
vm=$(printf '%s' '{"listvirtualmachinesresponse":{"count":1,"virtualmachine":[{"id":"fcbea053-779e-4c4b-8c30-b22ece7c5b3d","name":"web-01","state":"Stopped"}]}}')
capabilities='{"listcapabilitiesresponse":{"capability":{"cloudstackversion":"4.19.1.0","apilimitmax":25}}}'
reboot='{"rebootvirtualmachineresponse":{"jobid":"7e3a5d1c-0b1a-4a4e-9f43-2c1d0e0f1a2b"}}'
volumes1='{"listvolumesresponse":{"count":3,"volume":[{"id":"v1","name":"ROOT-1"},{"id":"v2","name":"ROOT-2"}]}}'
volumes2='{"listvolumesresponse":{"count":3,"volume":[{"id":"v3","name":"ROOT-3"}]}}'
logout='{"logoutresponse":{"description":"success"}}'
login_http=$(printf 'HTTP/1.1 200 OK\r\nSet-Cookie: JSESSIONID=0F3A; Path=/client; HttpOnly\r\nSet-Cookie: sessionkey=jJ_NmQCrcOErJFYh05czknvs6gE; Path=/client\r\n\r\n'; cat "$fixtures/login-success.json")
session() {  # session SWITCH FIRST-ANSWER: every call of the target answered as a server would
  printf "\\x$(printf %02x "$1")"
  local answers=("$2" "$(cat "$fixtures/listZones.json")" "$(cat "$fixtures/listPods.json")"
    "$(cat "$fixtures/listClusters.json")" "$(cat "$fixtures/listHosts.json")"
    "$(cat "$fixtures/listVirtualMachines.json")" "$(cat "$fixtures/listProjects.json")"
    "$(cat "$fixtures/listClusters.json")" "$(cat "$fixtures/listHosts.json")" "$vm"
    "$(cat "$fixtures/listVirtualMachines.json")" "$(cat "$fixtures/stopVirtualMachine.json")"
    "$(cat "$fixtures/queryAsyncJobResult-pending.json")" "$(cat "$fixtures/queryAsyncJobResult-success.json")"
    "$(cat "$fixtures/startVirtualMachine.json")" "$(cat "$fixtures/queryAsyncJobResult-failure-533.json")"
    "$capabilities" "$reboot" "$(cat "$fixtures/queryAsyncJobResult-success.json")" "$volumes1" "$volumes2"
    "$logout")
  local first=1
  for answer in "${answers[@]}"; do
    [ $first -eq 1 ] || printf '%s' "$sep"
    first=0
    printf '%s' "$answer"
  done
}
session 0 "$login_http" | seed wrapper session
session 1 "$login_http" | seed wrapper session-debug
session 2 "$capabilities" | seed wrapper api-key
session 12 "$(cat "$fixtures/login-success-older-server.json")" | seed wrapper list-all-domain
{ printf '\x00'; cat "$fixtures/login-bad-credentials.json"; printf '%s' "$sep"; cat "$fixtures/error-401-no-session.json"
  printf '%s!\x01HTTP/1.1 200 OK\r\n\r\n{"listpodsresponse":' "$sep"
  printf '%sHTTP/1.1 302 Found\r\nLocation: https://other.example/client/api?x=1\r\n\r\n' "$sep"
  printf '%sHTTP/1.1 401 Unauthorized\r\n\r\n' "$sep"; cat "$fixtures/error-401-bad-sessionkey.json"
  printf '%s' "$sep"; cat "$fixtures/login-success.json"
  printf '%s' "$sep"; cat "$fixtures/error-431-bad-uuid.json"
  printf '%s{"listvirtualmachinesresponse":{"count":1000001,"virtualmachine":[{"id":"a"}]}}' "$sep"
  printf '%s{"listvirtualmachinesresponse":{"count":5,"virtualmachine":[{"id":"a"}]}}%s{"listvirtualmachinesresponse":{"count":5,"virtualmachine":[{"id":"a"}]}}' "$sep" "$sep"
} | seed wrapper failures
{ printf '\x00'; cat "$fixtures/login-success.json"
  for answer in "$(cat "$fixtures/listZones-empty.json")" "$(cat "$fixtures/listPods-page-past-end.json")" \
    '{"listclustersresponse":{}}' '{"listhostsresponse":{"count":0}}' "$(cat "$fixtures/listVirtualMachines-empty.json")" \
    "$(cat "$fixtures/listProjects-empty.json")" '{"listclustersresponse":{}}' '{"listhostsresponse":{}}' \
    '{"listvirtualmachinesresponse":{}}' "$(cat "$fixtures/listVirtualMachines.json")" \
    "$(cat "$fixtures/startVirtualMachine-missing-id-431.json")"; do
    printf '%s%s' "$sep" "$answer"
  done
} | seed wrapper empty-lists-and-refused-power
# Nine calls that find no server, then a stop whose job stays pending past the time-out.
{ printf '\x00'; cat "$fixtures/login-success.json"; for i in 1 2 3 4 5 6 7 8 9; do printf '%s!\x00' "$sep"; done
  for file in listVirtualMachines stopVirtualMachine queryAsyncJobResult-pending queryAsyncJobResult-pending \
    startVirtualMachine queryAsyncJobResult-cancelled-530; do
    printf '%s' "$sep"; cat "$fixtures/$file.json"
  done
} | seed wrapper job-times-out
